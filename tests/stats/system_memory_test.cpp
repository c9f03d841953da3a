// System memory from fixture meminfo files bound over /proc/meminfo, and
// file-system space from small tmpfs mounts.
#include "proc_mount.h"
#include "reports.h"
#include "sandbox.h"
#include "tq_syslib.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

using namespace syslib_test;

namespace {

constexpr char meminfo[] = "/proc/meminfo";
const std::string four_lines = "MemTotal:     1000 kB\nMemFree:       200 kB\n"
			       "Buffers:        30 kB\nCached:        400 kB\nSwapCached: 0 kB\n";

class system_memory : public ::testing::Test {
protected:
	void SetUp() override { REQUIRE_SANDBOX(); }
};

// A file of `kib` KiB of data in `dir`.
bool fill(const std::string &dir, unsigned kib)
{
	return write_file(dir + "/data", std::string(kib * 1024u, 'x'));
}

} // namespace

struct free_case {
	const char *name;
	std::string meminfo;
	uint32_t free_kb;
};

class free_cases : public system_memory, public ::testing::WithParamInterface<free_case> {};

TEST_P(free_cases, free_figure_comes_from_the_first_memfree_line)
{
	file_over fixture(meminfo, GetParam().meminfo);
	ASSERT_TRUE(fixture.ok());
	uint32_t free_kb = 0xdeadbeef;
	EXPECT_EQ(tq_mem_get_free_mem(&free_kb), 0);
	EXPECT_EQ(free_kb, GetParam().free_kb);
}

INSTANTIATE_TEST_SUITE_P(
	stats, free_cases,
	::testing::Values(free_case{"usual_layout", four_lines, 200},
			  free_case{"no_memfree_line", "MemTotal: 1000 kB\nCached: 4 kB\n", 0},
			  free_case{"word_inside_a_line", "Total 9\nx MemFree: 77 kB\n", 77},
			  free_case{"after_the_buffer_end",
				    std::string(1000, '#') + "\n" + std::string(100, '#') +
					    "\nMemFree: 31 kB\n",
				    31},
			  free_case{"empty_file", "", 0}),
	[](const auto &info) { return std::string(info.param.name); });

TEST_F(system_memory, free_mem_failures)
{
	EXPECT_EQ(tq_mem_get_free_mem(nullptr), -1);
	empty_proc none;
	ASSERT_TRUE(none.ok());
	report_capture reports;
	uint32_t free_kb = 9;
	EXPECT_EQ(tq_mem_get_free_mem(&free_kb), -1);
	EXPECT_EQ(free_kb, 9u);
	report r = reports.only();
	EXPECT_EQ(r.channel, TQRT_LOG);
	EXPECT_EQ(r.level, 3);
	EXPECT_EQ(r.fmt, "Error open /proc/meminfo");
}

TEST_F(system_memory, summary_of_the_first_four_lines_and_tmp)
{
	small_tmpfs tmp(4000);
	ASSERT_TRUE(tmp.ok());
	ASSERT_TRUE(fill(tmp.dir(), 100));
	// The fixture lives in the scratch /tmp: made before /tmp is covered.
	file_over fixture(meminfo, four_lines);
	ASSERT_TRUE(fixture.ok());
	bound over_tmp(tmp.dir(), "/tmp");
	ASSERT_TRUE(over_tmp.ok());
	tq_mem_system_info_t mem{};
	ASSERT_EQ(tq_mem_get_system_memory(&mem), 0);
	EXPECT_EQ(mem.total_kb, 1000u);
	EXPECT_EQ(mem.free_kb, 200u);
	EXPECT_EQ(mem.buffers_kb, 30u);
	EXPECT_EQ(mem.cached_kb, 400u);
	EXPECT_EQ(mem.tmpfs_used_kb, 100u);
	EXPECT_EQ(mem.available_kb, 500u);
}

TEST_F(system_memory, available_wraps_in_32_bits_and_lines_are_taken_by_position)
{
	small_tmpfs tmp(4000);
	ASSERT_TRUE(tmp.ok());
	ASSERT_TRUE(fill(tmp.dir(), 600));
	file_over fixture(meminfo, "A: 1 kB\nB: 200 kB\nC: 3 kB\nD: 4294967295 kB\n");
	bound over_tmp(tmp.dir(), "/tmp");
	ASSERT_TRUE(fixture.ok() && over_tmp.ok());
	tq_mem_system_info_t mem{};
	ASSERT_EQ(tq_mem_get_system_memory(&mem), 0);
	EXPECT_EQ(mem.total_kb, 1u);
	EXPECT_EQ(mem.cached_kb, 0xffffffffu);
	EXPECT_EQ(mem.tmpfs_used_kb, 600u);
	EXPECT_EQ(mem.available_kb, uint32_t(200u + 0xffffffffu - 600u));
}

TEST_F(system_memory, line_without_a_number_keeps_the_callers_word)
{
	file_over fixture(meminfo, "MemTotal: 1000 kB\nMemFree:\nBuffers: 30 kB\nCached: 40 kB\n");
	ASSERT_TRUE(fixture.ok());
	tq_mem_system_info_t mem{};
	mem.free_kb = 1234;
	ASSERT_EQ(tq_mem_get_system_memory(&mem), 0);
	EXPECT_EQ(mem.free_kb, 1234u);
	EXPECT_EQ(mem.buffers_kb, 30u);
}

struct short_case {
	const char *name;
	const char *meminfo;
	const char *message;
	int words_set;
};

class short_cases : public system_memory, public ::testing::WithParamInterface<short_case> {};

TEST_P(short_cases, missing_line_is_reported_and_earlier_words_stay_set)
{
	const short_case &c = GetParam();
	file_over fixture(meminfo, c.meminfo);
	ASSERT_TRUE(fixture.ok());
	tq_mem_system_info_t mem;
	std::memset(&mem, 0xee, sizeof mem);
	report_capture reports;
	EXPECT_EQ(tq_mem_get_system_memory(&mem), -1);
	report r = reports.only();
	EXPECT_EQ(r.channel, TQRT_ERR);
	EXPECT_EQ(r.fmt, c.message);
	const uint32_t words[] = {mem.total_kb, mem.free_kb, mem.buffers_kb, mem.cached_kb,
				  mem.tmpfs_used_kb, mem.available_kb};
	for (int i = 0; i < 6; ++i)
		EXPECT_EQ(words[i] == 0xeeeeeeeeu, i >= c.words_set) << "word " << i;
}

INSTANTIATE_TEST_SUITE_P(
	stats, short_cases,
	::testing::Values(short_case{"empty", "", "no memory totle info!\n", 0},
			  short_case{"one_line", "T: 1 kB\n", "no memory free info!\n", 1},
			  short_case{"two_lines", "T: 1 kB\nF: 2 kB\n", "no memory buff info!\n", 2},
			  short_case{"three_lines", "T: 1 kB\nF: 2 kB\nB: 3 kB\n",
				     "no memory cach info!\n", 3}),
	[](const auto &info) { return std::string(info.param.name); });

TEST_F(system_memory, unopenable_meminfo)
{
	empty_proc none;
	ASSERT_TRUE(none.ok());
	report_capture reports;
	tq_mem_system_info_t mem{};
	EXPECT_EQ(tq_mem_get_system_memory(&mem), -1);
	EXPECT_EQ(reports.only().fmt, "error in open memory file1\n");
}

TEST_F(system_memory, fs_figures_use_fragments_and_all_free_blocks)
{
	small_tmpfs fs(4000);  // 1000 blocks of 4 KiB
	ASSERT_TRUE(fs.ok());
	ASSERT_TRUE(fill(fs.dir(), 3000));
	uint32_t total = 0, free_kb = 0;
	ASSERT_EQ(tq_mem_get_fs_info(fs.dir().c_str(), &total, &free_kb), 0);
	EXPECT_EQ(total, 4000u);
	EXPECT_EQ(free_kb, 1000u);
	// A file inside names the same file system.
	ASSERT_EQ(tq_mem_get_fs_info((fs.dir() + "/data").c_str(), &total, &free_kb), 0);
	EXPECT_EQ(total, 4000u);

	file_over fixture(meminfo, four_lines);
	bound over_tmp(fs.dir(), "/tmp");
	ASSERT_TRUE(over_tmp.ok());
	tq_mem_system_info_t mem{};
	ASSERT_EQ(tq_mem_get_system_memory(&mem), 0);
	EXPECT_EQ(mem.tmpfs_used_kb, 3000u);
}

TEST(fs_info, bad_arguments_and_missing_paths)
{
	report_capture reports;
	uint32_t total = 7, free_kb = 7;
	EXPECT_EQ(tq_mem_get_fs_info(nullptr, &total, &free_kb), -1);
	EXPECT_EQ(tq_mem_get_fs_info("/", nullptr, &free_kb), -1);
	EXPECT_EQ(tq_mem_get_fs_info("/", &total, nullptr), -1);
	EXPECT_EQ(tq_mem_get_fs_info("/no/such/path", &total, &free_kb), -1);
	EXPECT_EQ(total, 7u);
	EXPECT_EQ(free_kb, 7u);
	auto all = reports.all();
	ASSERT_EQ(all.size(), 4u);
	for (int i = 0; i < 3; ++i)
		EXPECT_EQ(all[i].fmt, "invalid parameter!\n");
	EXPECT_EQ(all[3].channel, TQRT_ERR);
	EXPECT_EQ(all[3].fmt, "Get fs(%s) status failed!\n");
	EXPECT_EQ(all[3].text, "Get fs(/no/such/path) status failed!\n");
}
