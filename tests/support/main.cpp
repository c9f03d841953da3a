// main() of every test program: the sandbox first, while the process has
// one thread, then GoogleTest.
#include "leak_check.h"
#include "sandbox.h"

#include "tq_runtime.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
	bool sandboxed = syslib_test::enter_sandbox();
	// The flash log of the runtime stays inside the test's scratch.
	setenv("TQRT_FLASH_LOG", (syslib_test::scratch_dir() + "/flash.log").c_str(), 1);
	tqrt_set_quiet(1);
	std::fprintf(stderr, "[syslib tests] %s\n",
		     sandboxed ? "private mount namespace" : "no sandbox: fixed-path tests skip");
	testing::InitGoogleTest(&argc, argv);
	syslib_test::install_leak_check();
	int rc = RUN_ALL_TESTS();
	return rc ? rc : (syslib_test::leak_check_failures() ? 1 : 0);
}
