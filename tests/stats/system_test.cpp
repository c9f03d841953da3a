// System figures: memory from a made-up /proc/meminfo, file-system space
// from small tmpfs mounts, processor load from two made-up /proc/stat
// samples (the second written by the sleep hook between them).
#include "fixtures.h"
#include "tq_runtime.h"
#include "tq_syslib.h"

#include <array>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>

using namespace syslib_test;

namespace {

// A tmpfs of `kib` KiB at `dir` holding `used_kib` KiB, until the object goes.
struct small_tmpfs {
	std::string dir;
	bool ok;
	small_tmpfs(uint64_t kib, unsigned used_kib, std::string at = scratch_dir() + "/fs")
		: dir(std::move(at))
	{
		mkdir(dir.c_str(), 0755);
		ok = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + std::to_string(kib) + "k").c_str()) == 0 &&
		     write_file(dir + "/data", std::string(used_kib * 1024u, 'x'));
	}
	~small_tmpfs() { umount2(dir.c_str(), MNT_DETACH); }
};

constexpr uint32_t unset = 0xeeeeeeeeu;

struct summary_case {
	const char *name;
	const char *meminfo;
	int rc;
	lines reports;
	std::array<uint32_t, 6> words;
};
class summary_cases : public ::testing::TestWithParam<summary_case> {};

// The aggregate line (user nice system idle iowait irq softirq), then a
// cpu0 line the sampler must not take; no counters: a line it cannot parse.
std::string stat_text(const std::vector<uint64_t> &counters)
{
	std::string s = counters.empty() ? "garbage" : "cpu ";
	for (uint64_t c : counters)
		s += " " + std::to_string(c);
	return s + " 0 0 0\ncpu0 1 2 3 4 5 6 7 0 0 0\nintr 12345\n";
}

// Runs `between` in place of the runtime's sleep and adds up the seconds.
struct sleep_hook {
	std::function<void()> between = [] {};
	int seconds = 0;
	sleep_hook()
	{
		tqrt_set_sleep(
			[](int s, int, void *ctx) {
				static_cast<sleep_hook *>(ctx)->seconds += s;
				static_cast<sleep_hook *>(ctx)->between();
			},
			this);
	}
	~sleep_hook() { tqrt_set_sleep(nullptr, nullptr); }
};

struct cpu_case {
	const char *name;
	std::vector<uint64_t> old_sample, new_sample;
	uint32_t percent, thousandths;
};
class cpu_cases : public ::testing::TestWithParam<cpu_case> {};

constexpr uint64_t wrap = 0x1fffffff0ull;  // low word 16 short of wrapping

} // namespace

TEST(system_memory, free_figure_comes_from_the_first_memfree_word)
{
	REQUIRE_SANDBOX();
	const std::pair<std::string, uint32_t> cases[] = {
		{"MemTotal: 1000 kB\nMemFree: 200 kB\nMemFree: 3 kB\n", 200},
		{"MemTotal: 1000 kB\nCached: 4 kB\n", 0},
		// inside a line, after the reader's buffer end
		{std::string(1100, '#') + "\nx MemFree: 31 kB\n", 31},
	};
	for (const auto &[meminfo, free_kb] : cases) {
		fake_dir proc;
		ASSERT_TRUE(proc.ok());
		proc.put("meminfo", meminfo);
		uint32_t got = 0xdeadbeef;
		EXPECT_EQ(tq_mem_get_free_mem(&got), 0);
		EXPECT_EQ(got, free_kb);
	}
}

// /tmp is a tmpfs of 4000 KiB with 600 used.
TEST_P(summary_cases, words_of_the_first_four_lines_and_tmp)
{
	REQUIRE_SANDBOX();
	const summary_case &c = GetParam();
	fake_dir proc;  // in the scratch /tmp: filled before /tmp is covered
	ASSERT_TRUE(proc.ok());
	proc.put("meminfo", c.meminfo);
	small_tmpfs tmp(4000, 600, "/tmp");
	ASSERT_TRUE(tmp.ok);
	tq_mem_system_info_t mem;
	std::memset(&mem, 0xee, sizeof mem);
	report_capture reports;
	EXPECT_EQ(tq_mem_get_system_memory(&mem), c.rc);
	EXPECT_EQ((std::array<uint32_t, 6>{mem.total_kb, mem.free_kb, mem.buffers_kb, mem.cached_kb,
					   mem.tmpfs_used_kb, mem.available_kb}),
		  c.words);
	EXPECT_EQ(reported(reports), c.reports);
}

INSTANTIATE_TEST_SUITE_P(
	stats, summary_cases,
	::testing::Values(
		summary_case{"usual_layout",
			     "MemTotal: 1000 kB\nMemFree: 200 kB\nBuffers: 30 kB\n"
			     "Cached: 400 kB\nSwapCached: 0 kB\n",
			     0, {}, {1000, 200, 30, 400, 600, 0}},
		// Lines are taken by position; available wraps in 32 bits.
		summary_case{"available_wraps", "A: 1 kB\nB: 200 kB\nC: 3 kB\nD: 4294967295 kB\n", 0,
			     {}, {1, 200, 3, 0xffffffffu, 600, uint32_t(200u + 0xffffffffu - 600u)}},
		summary_case{"line_without_a_number_keeps_the_word",
			     "MemTotal: 1000 kB\nMemFree:\nBuffers: 30 kB\nCached: 40 kB\n", 0,
			     {}, {1000, unset, 30, 40, 600, unset + 40 - 600}},
		// A missing line: the earlier words stay set.
		summary_case{"empty", "", -1, {"err: no memory totle info!\n"},
			     {unset, unset, unset, unset, unset, unset}},
		summary_case{"one_line", "T: 1 kB\n", -1, {"err: no memory free info!\n"},
			     {1, unset, unset, unset, unset, unset}},
		summary_case{"two_lines", "T: 1 kB\nF: 2 kB\n", -1, {"err: no memory buff info!\n"},
			     {1, 2, unset, unset, unset, unset}},
		summary_case{"three_lines", "T: 1 kB\nF: 2 kB\nB: 3 kB\n", -1,
			     {"err: no memory cach info!\n"}, {1, 2, 3, unset, unset, unset}}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(system_memory, unopenable_meminfo)
{
	REQUIRE_SANDBOX();
	fake_dir proc;
	ASSERT_TRUE(proc.ok());
	report_capture reports;
	uint32_t free_kb = 9;
	tq_mem_system_info_t mem{};
	EXPECT_EQ(tq_mem_get_free_mem(nullptr), -1);
	EXPECT_EQ(tq_mem_get_free_mem(&free_kb) + tq_mem_get_system_memory(&mem), -2);
	EXPECT_EQ(free_kb, 9u);
	EXPECT_EQ(reported(reports), (lines{"log 3: Error open /proc/meminfo", "err: error in open memory file1\n"}));
}

// Fragments of 4 KiB; free counts the blocks kept for root. The 8 GiB file
// system has more bytes than a 32-bit word holds.
TEST(fs_info, figures_use_fragments_and_all_free_blocks)
{
	REQUIRE_SANDBOX();
	const struct {
		uint64_t size_kb;
		unsigned used_kb;
		uint32_t total, free;
	} cases[] = {{4000, 3000, 4000, 1000}, {8u << 20, 4, 8u << 20, (8u << 20) - 4}};
	for (const auto &c : cases) {
		small_tmpfs fs(c.size_kb, c.used_kb);
		ASSERT_TRUE(fs.ok);
		uint32_t total = 0, free_kb = 0;
		ASSERT_EQ(tq_mem_get_fs_info(fs.dir.c_str(), &total, &free_kb), 0);
		EXPECT_EQ(total, c.total);
		EXPECT_EQ(free_kb, c.free);
	}
}

TEST(fs_info, bad_arguments_and_missing_paths_write_nothing)
{
	report_capture reports;
	uint32_t total = 7, free_kb = 7;
	EXPECT_EQ(tq_mem_get_fs_info(nullptr, &total, &free_kb) +
			  tq_mem_get_fs_info("/", nullptr, &free_kb) +
			  tq_mem_get_fs_info("/", &total, nullptr) +
			  tq_mem_get_fs_info("/no/such/path", &total, &free_kb),
		  -4);
	EXPECT_EQ(total + free_kb, 14u);
	EXPECT_EQ(reported(reports), (lines{"err: invalid parameter!\n", "err: invalid parameter!\n",
					 "err: invalid parameter!\n",
					 "err: Get fs(/no/such/path) status failed!\n"}));
}

TEST_P(cpu_cases, growth_between_the_samples_gives_the_load)
{
	REQUIRE_SANDBOX();
	const cpu_case &c = GetParam();
	fake_dir proc;
	ASSERT_TRUE(proc.ok());
	proc.put("stat", stat_text(c.old_sample));
	sleep_hook hook;
	hook.between = [&] { proc.put("stat", stat_text(c.new_sample)); };
	uint32_t percent = 0xdead, thousandths = 0xbeef;
	ASSERT_EQ(tq_sys_get_cpu_total_utilize(&percent, &thousandths), 0);
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
	for (int slept : {0, 1}) {
		fake_dir proc;
		ASSERT_TRUE(proc.ok());
		if (slept)
			proc.put("stat", stat_text({1, 2, 3, 4, 5, 6, 7}));
		sleep_hook hook;
		hook.between = [&] { std::remove((proc.dir + "/stat").c_str()); };
		report_capture reports;
		uint32_t percent = 7, thousandths = 7;
		EXPECT_EQ(tq_sys_get_cpu_total_utilize(&percent, &thousandths), -1);
		EXPECT_EQ(hook.seconds, slept);
		EXPECT_EQ(percent + thousandths, 14u);
		EXPECT_EQ(reported(reports), (lines{"err: ERROR: get system cpu information failed because "
						 "can not open file :/proc/stat!\n"}));
	}
}
