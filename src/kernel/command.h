// One kernel command: the guard, exactly one ioctl on the control device,
// the command's own result test and its report.
#pragma once

#include "../frame/control_device.h"
#include "../frame/report.h"

#include <sys/ioctl.h>
#include <tuple>

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

// Stands for "no third argument at all" where a command takes none.
struct no_argument {};

inline int control_ioctl(unsigned long number, void *arg) noexcept
{
	return ioctl(tq_sysdev_fd, number, arg);
}

inline int control_ioctl(unsigned long number) noexcept
{
	return ioctl(tq_sysdev_fd, number);
}

inline int control_ioctl(unsigned long number, no_argument) noexcept
{
	return control_ioctl(number);
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
	sited_command(const command &c, int at = __builtin_LINE()) noexcept
		: cmd(c), line(at)
	{
	}
};

// Issues the command after the guard has passed and returns its raw
// result. A result the command's test fails is reported with the values
// that `values(rc)` gives as a tuple: they are taken after the call, so
// a message can show what the module left in the request.
template <class Arg, class Values>
int issue_raw(sited_command c, Arg arg, Values values) noexcept
{
	int rc = control_ioctl(c.cmd.number, arg);
	if (failed(c.cmd.test, rc))
		std::apply([&](auto... v) { report(c.cmd.on_failure, c.line, v...); }, values(rc));
	return rc;
}

// The same with values known before the call; a failed result gives -1,
// anything else 0.
template <class... Values>
int issue(sited_command c, void *arg, Values... values) noexcept
{
	int rc = issue_raw(c, arg, [=](int) { return std::tuple<Values...>(values...); });
	return failed(c.cmd.test, rc) ? -1 : 0;
}

// The same with values read from the request after the call.
template <class Values>
int issue_then(sited_command c, void *arg, Values values) noexcept
{
	int rc = issue_raw(c, arg, [&](int) { return values(); });
	return failed(c.cmd.test, rc) ? -1 : 0;
}

} // namespace syslib
