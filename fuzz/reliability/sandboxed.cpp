// Every reliability target runs in the tests' private mount namespace, so
// that it may write the library's fixed paths and bind files over /proc.
#include "sandbox.h"
#include "tq_runtime.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	tqrt_set_quiet(1);
	if (syslib_test::enter_sandbox())
		return 0;
	std::fprintf(stderr, "the reliability fuzz targets need root for a private mount namespace\n");
	std::exit(1);
}
