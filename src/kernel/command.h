// One kernel command: the guard, exactly one ioctl on the control device,
// the command's own result test and its report.
#pragma once

#include "../frame/control_device.h"
#include "../frame/report.h"

#include <source_location>
#include <sys/ioctl.h>

namespace syslib {

// The commands of the module do not agree on what a failed result is.
enum class result_test {
	minus_one,  // only exactly -1 fails
	negative,   // any negative value fails
	nonzero,    // anything but 0 fails
};

constexpr bool failed(result_test test, int rc) noexcept
{
	switch (test) {
	case result_test::minus_one: return rc == -1;
	case result_test::negative: return rc < 0;
	case result_test::nonzero: return rc != 0;
	}
	return true;
}

inline int control_ioctl(unsigned long number, void *arg) noexcept
{
	return ioctl(tq_sysdev_fd, number, arg);
}

// For the commands that take no third argument at all.
inline int control_ioctl(unsigned long number) noexcept
{
	return ioctl(tq_sysdev_fd, number);
}

struct command {
	unsigned long number;
	result_test test;
	failure on_failure;
};

// A command together with the line that issues it, taken from the call
// site by the implicit conversion, for the report.
struct sited_command {
	const command &cmd;
	int line;
	sited_command(const command &c,
		      std::source_location at = std::source_location::current()) noexcept
		: cmd(c), line(static_cast<int>(at.line()))
	{
	}
};

// Issues the command with `arg` after the guard has passed: a failed
// result is reported with `values` and gives -1, anything else 0.
template <class... Values>
int issue(sited_command c, void *arg, Values... values) noexcept
{
	int rc = control_ioctl(c.cmd.number, arg);
	if (!failed(c.cmd.test, rc))
		return 0;
	report(c.cmd.on_failure, c.line, values...);
	return -1;
}

} // namespace syslib
