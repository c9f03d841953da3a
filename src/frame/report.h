// How the library reports a failure: once, where it is found, through the
// runtime library's error report or its leveled log. Every report keeps
// errno as the failing call left it: a runtime may change errno while it
// writes, and the caller may still want to read the failing call's.
#pragma once

#include "tq_runtime.h"

#include <cerrno>

namespace syslib {

// The library's tag on every error report.
inline constexpr char tag[] = " ";

// Puts errno back as it was when the report began.
class errno_kept {
public:
	errno_kept() noexcept : saved_(errno) {}
	~errno_kept() { errno = saved_; }
	errno_kept(const errno_kept &) = delete;
	errno_kept &operator=(const errno_kept &) = delete;

private:
	int saved_;
};

template <class... Values>
void report_err(int line, const char *fmt, Values... values) noexcept
{
	errno_kept keep;
	__tq_err(tag, line, fmt, values...);
}

template <class... Values>
void report_log(int level, const char *fmt, Values... values) noexcept
{
	errno_kept keep;
	tq_log(level, fmt, values...);
}

inline void report_flash(int level, const char *fmt) noexcept
{
	errno_kept keep;
	tq_log_flash(level, fmt);
}

enum class channel { err, log };

// Where and how a failure is reported; the values come at the call.
struct failure {
	channel via;
	int level;        // syslog level, for channel::log
	const char *fmt;  // passed to the runtime exactly as it stands
};

constexpr failure error_report(const char *fmt) { return {channel::err, 3, fmt}; }
constexpr failure log_report(int level, const char *fmt) { return {channel::log, level, fmt}; }

template <class... Values>
void report(const failure &f, int line, Values... values) noexcept
{
	if (f.via == channel::err)
		report_err(line, f.fmt, values...);
	else
		report_log(f.level, f.fmt, values...);
}

} // namespace syslib

// An error report from this very line; a leveled log record.
#define TQ_ERR(...) ::syslib::report_err(__LINE__, __VA_ARGS__)
#define TQ_LOG(...) ::syslib::report_log(__VA_ARGS__)
