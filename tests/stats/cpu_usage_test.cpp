// The CPU sampler: two fixture /proc/stat samples, the second written by
// the sleep hook between them, so no test sleeps a real second.
#include "proc_mount.h"
#include "reports.h"
#include "sandbox.h"
#include "tq_runtime.h"
#include "tq_syslib.h"

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>

using namespace syslib_test;

namespace {

struct counters {
	uint64_t user, nice, system, idle, iowait, irq, softirq;
};

std::string stat_text(const counters &c)
{
	auto s = [](uint64_t v) { return std::to_string(v); };
	return "cpu  " + s(c.user) + " " + s(c.nice) + " " + s(c.system) + " " + s(c.idle) + " " +
	       s(c.iowait) + " " + s(c.irq) + " " + s(c.softirq) + " 0 0 0\n" +
	       "cpu0 1 2 3 4 5 6 7 0 0 0\nintr 12345\n";
}

// Stands in for the runtime's sleep: counts the sleeps and runs `between`.
struct sleep_hook {
	int calls = 0;
	int seconds = -1;
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

class cpu_usage : public ::testing::Test {
protected:
	void SetUp() override { REQUIRE_SANDBOX(); }
};

} // namespace

struct cpu_case {
	const char *name;
	counters old_sample, new_sample;
	uint32_t percent, thousandths;
};

class cpu_cases : public cpu_usage, public ::testing::WithParamInterface<cpu_case> {};

TEST_P(cpu_cases, growth_between_the_samples_gives_the_load)
{
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

constexpr uint64_t wrap = 0x1fffffff0ull;  // low word 16 short of wrapping

INSTANTIATE_TEST_SUITE_P(
	stats, cpu_cases,
	::testing::Values(
		// busy 37 of 400 ticks
		cpu_case{"fraction_in_thousandths", {100, 10, 50, 1000, 7, 3, 2},
			 {120, 15, 60, 1363, 7, 4, 3}, 9, 250},
		cpu_case{"no_idle_growth_is_full_load", {100, 0, 0, 500, 0, 0, 0},
			 {150, 0, 0, 500, 0, 0, 0}, 100, 0},
		cpu_case{"idle_falling_is_full_load", {100, 0, 0, 500, 0, 0, 0},
			 {150, 0, 0, 480, 0, 0, 0}, 100, 0},
		cpu_case{"identical_samples", {1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7}, 0, 0},
		cpu_case{"iowait_alone_changes_nothing", {1, 2, 3, 4, 5, 6, 7},
			 {1, 2, 3, 4, 99999, 6, 7}, 0, 0},
		cpu_case{"iowait_counts_in_neither_sum", {0, 0, 0, 0, 0, 0, 0},
			 {30, 0, 0, 70, 5000, 0, 0}, 30, 0},
		cpu_case{"irq_and_softirq_are_busy", {0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 60, 0, 25, 15},
			 40, 0},
		cpu_case{"low_word_wraps_between_samples", {wrap, 10, 50, wrap, 7, 3, 2},
			 {wrap + 37, 10, 50, wrap + 363, 7, 3, 2}, 9, 250},
		cpu_case{"whole_idle", {5, 5, 5, 5, 5, 5, 5}, {5, 5, 5, 1005, 5, 5, 5}, 0, 0}),
	[](const auto &info) { return std::string(info.param.name); });

TEST_F(cpu_usage, unopenable_stat_at_the_first_sample_does_not_sleep)
{
	empty_proc none;
	ASSERT_TRUE(none.ok());
	sleep_hook hook;
	report_capture reports;
	uint32_t percent = 7, thousandths = 7;
	EXPECT_EQ(tq_sys_get_cpu_total_utilize(&percent, &thousandths), -1);
	EXPECT_EQ(hook.calls, 0);
	EXPECT_EQ(percent, 7u);
	EXPECT_EQ(thousandths, 7u);
	report r = reports.only();
	EXPECT_EQ(r.channel, TQRT_ERR);
	EXPECT_EQ(r.fmt, "ERROR: get system cpu information failed because can not open file :%s!\n");
	EXPECT_EQ(r.text,
		  "ERROR: get system cpu information failed because can not open file :/proc/stat!\n");
}

TEST_F(cpu_usage, unopenable_stat_at_the_second_sample_fails_after_the_sleep)
{
	sleep_hook hook;
	std::unique_ptr<empty_proc> none;
	hook.between = [&] { none = std::make_unique<empty_proc>(); };
	report_capture reports;
	uint32_t percent = 7, thousandths = 7;
	EXPECT_EQ(tq_sys_get_cpu_total_utilize(&percent, &thousandths), -1);
	ASSERT_TRUE(none && none->ok());
	EXPECT_EQ(hook.calls, 1);
	EXPECT_EQ(percent, 7u);
	EXPECT_EQ(reports.only().text,
		  "ERROR: get system cpu information failed because can not open file :/proc/stat!\n");
}

TEST_F(cpu_usage, unparsable_first_line_counts_as_zero)
{
	file_over stat("/proc/stat", "garbage\n");
	ASSERT_TRUE(stat.ok());
	sleep_hook hook;
	hook.between = [&] { write_file(stat.path(), stat_text({10, 0, 0, 30, 0, 0, 0})); };
	uint32_t percent = 0, thousandths = 0;
	ASSERT_EQ(tq_sys_get_cpu_total_utilize(&percent, &thousandths), 0);
	EXPECT_EQ(percent, 25u);
	EXPECT_EQ(thousandths, 0u);
}

TEST(cpu_usage_real, real_stat_gives_a_load_in_range)
{
	sleep_hook hook;  // the two samples come back to back
	uint32_t percent = 1000, thousandths = 1000;
	ASSERT_EQ(tq_sys_get_cpu_total_utilize(&percent, &thousandths), 0);
	EXPECT_LE(percent, 100u);
	EXPECT_LT(thousandths, 1000u);
}
