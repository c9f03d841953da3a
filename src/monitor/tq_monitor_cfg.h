// The monitor module's assertion report.
#pragma once

namespace syslib {

// Reports a failed condition to the system log and as an error report;
// the caller decides what happens next.
void tq_assert_fail(const char *condition, const char *file, int line) noexcept;

} // namespace syslib
