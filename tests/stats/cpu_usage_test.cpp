// The CPU sampler: two fixture /proc/stat samples, the second written by
// the sleep hook between them, so no test sleeps a real second.
#include "fixtures.h"
#include "reports.h"
#include "tq_runtime.h"
#include "tq_syslib.h"

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using namespace syslib_test;

namespace {

// The aggregate line (user nice system idle iowait irq softirq), then a
// cpu0 line the sampler must not take; no counters: a line it cannot parse.
std::string stat_text(const std::vector<uint64_t> &counters)
{
	if (counters.empty())
		return "garbage\n";
	std::string s = "cpu ";
	for (uint64_t c : counters)
		s += " " + std::to_string(c);
	return s + " 0 0 0\ncpu0 1 2 3 4 5 6 7 0 0 0\nintr 12345\n";
}

// Stands in for the runtime's sleep: counts the sleeps and runs `between`.
struct sleep_hook {
	int calls = 0, seconds = -1;
	std::function<void()> between;

	sleep_hook() { tqrt_set_sleep(&sleep_hook::sleep, this); }
	~sleep_hook() { tqrt_set_sleep(nullptr, nullptr); }
	static void sleep(int s, int, void *ctx)
	{
		auto *self = static_cast<sleep_hook *>(ctx);
		++self->calls;
		self->seconds = s;
		if (self->between)
			self->between();
	}
};

struct cpu_case {
	const char *name;
	std::vector<uint64_t> old_sample, new_sample;
	uint32_t percent, thousandths;
};

class cpu_cases : public ::testing::TestWithParam<cpu_case> {};

constexpr uint64_t wrap = 0x1fffffff0ull;  // low word 16 short of wrapping

} // namespace

TEST_P(cpu_cases, growth_between_the_samples_gives_the_load)
{
	REQUIRE_SANDBOX();
	const cpu_case &c = GetParam();
	file_over stat("/proc/stat", stat_text(c.old_sample));
	ASSERT_TRUE(stat.ok());
	sleep_hook hook;
	hook.between = [&] { write_file(stat.path(), stat_text(c.new_sample)); };
	uint32_t percent = 0xdead, thousandths = 0xbeef;
	ASSERT_EQ(tq_sys_get_cpu_total_utilize(&percent, &thousandths), 0);
	EXPECT_EQ(hook.calls, 1);
	EXPECT_EQ(hook.seconds, 1);
	EXPECT_EQ(percent, c.percent);
	EXPECT_EQ(thousandths, c.thousandths);
}

INSTANTIATE_TEST_SUITE_P(
	stats, cpu_cases,
	::testing::Values(
		// busy 37 of 400 ticks, irq and softirq among them
		cpu_case{"fraction", {100, 10, 50, 1000, 7, 3, 2}, {120, 15, 60, 1363, 7, 4, 3}, 9, 250},
		cpu_case{"low_word_wraps", {wrap, 10, 50, wrap, 7, 3, 2},
			 {wrap + 37, 10, 50, wrap + 363, 7, 3, 2}, 9, 250},
		cpu_case{"idle_falling_is_full_load", {100, 0, 0, 500, 0, 0, 0},
			 {150, 0, 0, 480, 0, 0, 0}, 100, 0},
		cpu_case{"identical_samples", {1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7}, 0, 0},
		cpu_case{"iowait_counts_in_neither_sum", {0, 0, 0, 0, 0, 0, 0},
			 {30, 0, 0, 70, 5000, 0, 0}, 30, 0},
		cpu_case{"unparsable_line_counts_as_zero", {}, {10, 0, 0, 30, 0, 0, 0}, 25, 0}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(cpu_usage, unopenable_stat_fails_at_either_sample)
{
	REQUIRE_SANDBOX();
	for (bool at_first : {true, false}) {
		SCOPED_TRACE(at_first ? "first sample" : "second sample");
		std::unique_ptr<bound> none;
		auto cover = [&] { none = std::make_unique<bound>(new_dir(), "/proc"); };
		sleep_hook hook;
		if (at_first)
			cover();
		else
			hook.between = cover;
		report_capture reports;
		uint32_t percent = 7, thousandths = 7;
		EXPECT_EQ(tq_sys_get_cpu_total_utilize(&percent, &thousandths), -1);
		ASSERT_TRUE(none && none->ok());
		EXPECT_EQ(hook.calls, at_first ? 0 : 1);
		EXPECT_EQ(percent, 7u);
		EXPECT_EQ(thousandths, 7u);
		report r = reports.only();
		EXPECT_EQ(r.channel, TQRT_ERR);
		EXPECT_EQ(r.fmt,
			  "ERROR: get system cpu information failed because can not open file :%s!\n");
		EXPECT_EQ(r.text, "ERROR: get system cpu information failed because can not open "
				  "file :/proc/stat!\n");
	}
}

TEST(cpu_usage, real_stat_gives_a_load_in_range)
{
	sleep_hook hook;  // the two samples come back to back
	uint32_t percent = 1000, thousandths = 1000;
	ASSERT_EQ(tq_sys_get_cpu_total_utilize(&percent, &thousandths), 0);
	EXPECT_LE(percent, 100u);
	EXPECT_LT(thousandths, 1000u);
}
