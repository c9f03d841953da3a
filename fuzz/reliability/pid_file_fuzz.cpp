// The pid file reader over arbitrary file contents: it returns -1 or the
// leading decimal number of the first 15 bytes, and nothing else.
#include "sandbox.h"
#include "tq_syslib.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (!syslib_test::write_file("/tmp/daemon.pid", {reinterpret_cast<const char *>(data), size}))
		std::abort();
	char text[16] = {};
	std::memcpy(text, data, size < 15 ? size : 15);
	const int want = text[0] >= '0' && text[0] <= '9' && std::atoi(text) ? std::atoi(text) : -1;
	if (tq_read_pid_file("/tmp/daemon.pid") != want)
		std::abort();
	return 0;
}
