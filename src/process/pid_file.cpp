// Reading the process id a daemon left in its pid file.
#include "../frame/owned.h"
#include "../frame/report.h"
#include "tq_syslib.h"

#include <climits>
#include <cstdlib>

namespace syslib {
namespace {

// A pid never needs more; one read of this many bytes, no retry on a
// short count.
constexpr int pid_text_max = 15;

int parse_pid(const char *path, const char *text) noexcept
{
	if (text[0] < '0' || text[0] > '9') {
		TQ_ERR("Unexpected character in pid file %s: [%s]\n", path, text);
		return -1;
	}
	// atoi as the device's C library has it: its strtol saturates at
	// the 32-bit LONG_MAX, so a 64-bit host clamps as well instead of
	// keeping the low 32 bits ("4294967297" would otherwise be init).
	// At most 15 digits: strtoll cannot overflow.
	long long value = std::strtoll(text, nullptr, 10);
	int pid = value > INT_MAX ? INT_MAX : static_cast<int>(value);
	if (pid == 0) {
		TQ_ERR("Unexpected content in pid file %s: [%s]\n", path, text);
		return -1;
	}
	return pid;
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_read_pid_file(const char *path) noexcept
{
	if (!path || !*path)
		return -1;
	runtime_fd fd(tq_open(path, 0));
	if (!fd) {
		TQ_ERR("Error opening pid file %s\n", path);
		return -1;
	}
	char text[pid_text_max + 1];
	int got = tq_read(fd.get(), text, pid_text_max);
	if (got <= 0) {
		TQ_ERR("Error reading pid file %s\n", path);
		return -1;
	}
	// Only the bytes read take part, in the number and in the reports.
	text[got] = '\0';
	return parse_pid(path, text);
}
