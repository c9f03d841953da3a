// System memory from fixture meminfo files bound over /proc/meminfo, and
// file-system space from small tmpfs mounts.
#include "fixtures.h"
#include "reports.h"
#include "tq_syslib.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>

using namespace syslib_test;

namespace {

constexpr char meminfo[] = "/proc/meminfo";

// A tmpfs of `kib` KiB holding a file of `used_kib` KiB, until the object goes.
class small_tmpfs {
public:
	small_tmpfs(unsigned kib, unsigned used_kib) : dir_(new_dir())
	{
		std::string opts = "size=" + std::to_string(kib) + "k";
		ok_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, opts.c_str()) == 0 &&
		      write_file(dir_ + "/data", std::string(used_kib * 1024u, 'x'));
	}
	~small_tmpfs() { umount2(dir_.c_str(), MNT_DETACH); }
	bool ok() const { return ok_; }
	const std::string &dir() const { return dir_; }

private:
	std::string dir_;
	bool ok_;
};

struct free_case {
	const char *name;
	std::string meminfo;
	uint32_t free_kb;
};

class free_cases : public ::testing::TestWithParam<free_case> {};

struct summary_case {
	const char *name;
	const char *meminfo;
	unsigned tmp_used_kb;
	uint32_t total, free, buffers, cached, available;
};

class summary_cases : public ::testing::TestWithParam<summary_case> {};

struct short_case {
	const char *name;
	const char *meminfo;
	const char *message;
	int words_set;
};

class short_cases : public ::testing::TestWithParam<short_case> {};

} // namespace

TEST_P(free_cases, free_figure_comes_from_the_first_memfree_line)
{
	REQUIRE_SANDBOX();
	file_over fixture(meminfo, GetParam().meminfo);
	ASSERT_TRUE(fixture.ok());
	uint32_t free_kb = 0xdeadbeef;
	EXPECT_EQ(tq_mem_get_free_mem(&free_kb), 0);
	EXPECT_EQ(free_kb, GetParam().free_kb);
}

INSTANTIATE_TEST_SUITE_P(
	stats, free_cases,
	::testing::Values(free_case{"usual_layout", "MemTotal: 1000 kB\nMemFree: 200 kB\n", 200},
			  free_case{"no_memfree_line", "MemTotal: 1000 kB\nCached: 4 kB\n", 0},
			  free_case{"word_inside_a_line", "Total 9\nx MemFree: 77 kB\n", 77},
			  free_case{"after_the_buffer_end",
				    std::string(1000, '#') + "\n" + std::string(100, '#') +
					    "\nMemFree: 31 kB\n",
				    31}),
	[](const auto &info) { return std::string(info.param.name); });

TEST_P(summary_cases, words_of_the_first_four_lines_and_tmp)
{
	REQUIRE_SANDBOX();
	const summary_case &c = GetParam();
	small_tmpfs tmp(4000, c.tmp_used_kb);
	ASSERT_TRUE(tmp.ok());
	// The fixture lives in the scratch /tmp: made before /tmp is covered.
	file_over fixture(meminfo, c.meminfo);
	bound over_tmp(tmp.dir(), "/tmp");
	ASSERT_TRUE(fixture.ok() && over_tmp.ok());
	tq_mem_system_info_t mem;
	std::memset(&mem, 0, sizeof mem);
	mem.free_kb = 1234;
	ASSERT_EQ(tq_mem_get_system_memory(&mem), 0);
	EXPECT_EQ(mem.total_kb, c.total);
	EXPECT_EQ(mem.free_kb, c.free);
	EXPECT_EQ(mem.buffers_kb, c.buffers);
	EXPECT_EQ(mem.cached_kb, c.cached);
	EXPECT_EQ(mem.tmpfs_used_kb, c.tmp_used_kb);
	EXPECT_EQ(mem.available_kb, c.available);
}

INSTANTIATE_TEST_SUITE_P(
	stats, summary_cases,
	::testing::Values(
		summary_case{"usual_layout",
			     "MemTotal: 1000 kB\nMemFree: 200 kB\nBuffers: 30 kB\n"
			     "Cached: 400 kB\nSwapCached: 0 kB\n",
			     100, 1000, 200, 30, 400, 500},
		// Lines are taken by position; available wraps in 32 bits.
		summary_case{"available_wraps", "A: 1 kB\nB: 200 kB\nC: 3 kB\nD: 4294967295 kB\n",
			     600, 1, 200, 3, 0xffffffffu, uint32_t(200u + 0xffffffffu - 600u)},
		summary_case{"line_without_a_number_keeps_the_word",
			     "MemTotal: 1000 kB\nMemFree:\nBuffers: 30 kB\nCached: 40 kB\n", 0, 1000,
			     1234, 30, 40, 1274}),
	[](const auto &info) { return std::string(info.param.name); });

TEST_P(short_cases, missing_line_is_reported_and_earlier_words_stay_set)
{
	REQUIRE_SANDBOX();
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

TEST(system_memory, unopenable_meminfo)
{
	REQUIRE_SANDBOX();
	EXPECT_EQ(tq_mem_get_free_mem(nullptr), -1);
	bound none(new_dir(), "/proc");
	ASSERT_TRUE(none.ok());
	report_capture reports;
	uint32_t free_kb = 9;
	EXPECT_EQ(tq_mem_get_free_mem(&free_kb), -1);
	EXPECT_EQ(free_kb, 9u);
	tq_mem_system_info_t mem{};
	EXPECT_EQ(tq_mem_get_system_memory(&mem), -1);
	auto all = reports.all();
	ASSERT_EQ(all.size(), 2u);
	EXPECT_EQ(all[0].channel, TQRT_LOG);
	EXPECT_EQ(all[0].level, 3);
	EXPECT_EQ(all[0].fmt, "Error open /proc/meminfo");
	EXPECT_EQ(all[1].channel, TQRT_ERR);
	EXPECT_EQ(all[1].fmt, "error in open memory file1\n");
}

TEST(fs_info, figures_use_fragments_and_all_free_blocks)
{
	REQUIRE_SANDBOX();
	small_tmpfs fs(4000, 3000);  // 1000 blocks of 4 KiB
	ASSERT_TRUE(fs.ok());
	uint32_t total = 0, free_kb = 0;
	ASSERT_EQ(tq_mem_get_fs_info(fs.dir().c_str(), &total, &free_kb), 0);
	EXPECT_EQ(total, 4000u);
	EXPECT_EQ(free_kb, 1000u);
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
