// How the library reports a failure: once, where it is found, through the
// runtime library's error report or its leveled log.
#pragma once

#include "tq_runtime.h"

namespace syslib {

// The library's tag on every error report.
inline constexpr char tag[] = " ";

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
void report(const failure &f, int line, Values... values)
{
	if (f.via == channel::err)
		__tq_err(tag, line, f.fmt, values...);
	else
		tq_log(f.level, f.fmt, values...);
}

} // namespace syslib

// An error report from this very line.
#define TQ_ERR(...) __tq_err(::syslib::tag, __LINE__, __VA_ARGS__)
