// Watchdogs, clock and administrative controls: the software watchdog and
// the fake administrator uid on the control device, the hardware watchdog
// on the board driver, the clock, and the port test.
#include "command.h"

#include "../frame/owned.h"
#include "tq_syslib.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/time.h>

namespace syslib {
namespace {

// Only exactly -1 fails these two: the module answers other values that
// are not errors.
constexpr command fake_admin_uid_cmd{0x7001, result_test::minus_one,
				     error_report("sys ioctl %d failed")};
constexpr command swdog_cmd{0x1000, result_test::minus_one, error_report("sys ioctl %d failed")};

enum : uint32_t { swdog_enable = 0, swdog_disable = 1, swdog_set = 2 };

constexpr unsigned long hwdog_activate_number = 0x5004;
constexpr unsigned long hwdog_deactivate_number = 0x5005;
constexpr char board_path[] = "/dev/board0";
constexpr int read_write = 2;

// The word lives on the caller's stack for the one call.
int word_command(sited_command c, uint32_t word) noexcept
{
	if (!kernel_ready(c.line))
		return -1;
	return issue(c, &word, static_cast<int>(c.cmd.number));
}

int hwdog(unsigned long number, int line = __builtin_LINE()) noexcept
{
	runtime_fd board(tq_open(board_path, read_write));
	if (!board) {
		report_err(line, "open device %s failed.\n", board_path);
		return -1;
	}
	int rc = ioctl(board.get(), number, static_cast<void *>(nullptr));
	if (rc != 0) {
		report_err(line, "hwdog ioctl %x failed", static_cast<unsigned>(number));
		return -1;
	}
	return 0;
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_syslib_set_fake_admin_uid(uint32_t uid) noexcept
{
	return word_command(fake_admin_uid_cmd, uid);
}

extern "C" int tq_syslib_swdog_enable(void) noexcept
{
	return word_command(swdog_cmd, swdog_enable);
}

extern "C" int tq_syslib_swdog_disable(void) noexcept
{
	return word_command(swdog_cmd, swdog_disable);
}

extern "C" int tq_syslib_swdog_set(void) noexcept
{
	return word_command(swdog_cmd, swdog_set);
}

extern "C" int tq_syslib_settimeofday(const struct timeval *tv, const struct timezone *tz) noexcept
{
	if (settimeofday(tv, tz) < 0) {
		TQ_ERR("syslib settimeofday failed.\n");
		return -1;
	}
	return 0;
}

extern "C" int tq_syslib_hwdog_activate(void) noexcept
{
	return hwdog(hwdog_activate_number);
}

extern "C" int tq_syslib_hwdog_deactivate(void) noexcept
{
	return hwdog(hwdog_deactivate_number);
}

// A plain text search over netstat's output: the digits count anywhere in
// a line, inside longer numbers and addresses too.
extern "C" int tq_syslib_check_port_valid(int port) noexcept
{
	char line[128];
	tq_snprintf(line, sizeof line, "netstat -an|grep %d", port);
	pipe_stream out(popen(line, "r"));
	if (!out) {
		TQ_ERR("Check port (%d) inused information failed.", port);
		return -1;
	}
	line[0] = '\0';
	(void)fgets(line, sizeof line, out.get());
	// Bounded: after a read error fgets need not have terminated the line.
	return strnlen(line, sizeof line) == 0 ? 0 : -1;
}
