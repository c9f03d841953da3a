// The pid file reader over arbitrary file contents: it returns -1 or the
// leading decimal number of the first 15 bytes, and nothing else.
#include "tq_syslib.h"
#include "tq_runtime.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
std::string path;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	tqrt_set_quiet(1);
	char dir[] = "pidfuzz.XXXXXX";
	if (!mkdtemp(dir))
		std::abort();
	path = std::string(dir) + "/daemon.pid";
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FILE *f = std::fopen(path.c_str(), "wb");
	if (!f)
		std::abort();
	std::fwrite(data, 1, size, f);
	std::fclose(f);

	int got = tq_read_pid_file(path.c_str());
	char text[16] = {};
	std::memcpy(text, data, size < 15 ? size : 15);
	int want = size && text[0] >= '0' && text[0] <= '9' ? std::atoi(text) : -1;
	if (want == 0)
		want = -1;
	if (got != want) {
		std::fprintf(stderr, "read %d, expected %d\n", got, want);
		std::abort();
	}
	return 0;
}
