// Checks the kernel command tests share: the one failure report, and the
// guard's refusal before init.
#pragma once

#include "kmod.h"

#include <string>

namespace syslib_test {

// Exactly one report, with its format, text, channel and, off the error
// channel, its level.
inline void expect_one_report(const report_capture &reports, tqrt_channel channel, int level,
			      const std::string &fmt, const std::string &text)
{
	report r = reports.only();
	EXPECT_EQ(r.channel, channel) << text;
	if (channel != TQRT_ERR) {
		EXPECT_EQ(r.level, level) << text;
	}
	EXPECT_EQ(r.fmt, fmt);
	EXPECT_EQ(r.text, text);
}

// `n` refusals by the guard and nothing sent to the module.
inline void expect_guarded(const report_capture &reports, size_t n)
{
	EXPECT_EQ(tqsys_module_request_count(), 0);
	auto all = reports.all();
	ASSERT_EQ(all.size(), n);
	for (const report &r : all) {
		EXPECT_EQ(r.channel, TQRT_ERR);
		EXPECT_EQ(r.fmt, "syslib not initialized\n");
	}
}

} // namespace syslib_test
