// Memory figures of one process and the survey of all of them, over a
// made-up /proc; the test process itself for what Linux really shows.
#include "fixtures.h"
#include "tq_syslib.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <unistd.h>

using namespace syslib_test;

namespace {

const uint32_t page_kb = static_cast<uint32_t>(getpagesize()) >> 10;
constexpr char statm8[] = "100 40 10 5 0 20 0 7\n";
constexpr char status[] = "Name:\tfixd\nUmask:\t0022\nVmData:\t    1234 kB\nVmStk:\t  132 kB\n";

struct memory_case {
	const char *name;
	std::string statm, status;
	uint32_t rss, shared, text, heap;  // in pages
	std::string process_name;
	uint32_t data_kb, stack_kb;
};
class memory_cases : public ::testing::TestWithParam<memory_case> {};

// The survey, with the watch list `watch` (none: nullptr); records by name.
struct survey {
	int rc;
	std::unique_ptr<tq_mem_proc_info_list_t> list = std::make_unique<tq_mem_proc_info_list_t>();
	std::map<std::string, const tq_mem_proc_info_t *> by_name;

	explicit survey(const std::string &watch = "")
	{
		constexpr char path[] = "/f/etc/tq_mem_proc_list";
		std::remove(path);
		if (!watch.empty())
			write_file(path, watch);
		std::memset(list.get(), 0x6b, sizeof *list);
		rc = tq_mem_get_proc_info_list(list.get());
		std::remove(path);
		for (int i = 0; i < std::min(list->count, 128); ++i) {
			const char *name = list->records[i].name;
			by_name[std::string(name, strnlen(name, 128))] = &list->records[i];
		}
	}
};

struct watch_case {
	const char *name;
	std::string watch_file;  // empty: no file
	std::map<std::string, int> flags;
};
class watch_cases : public ::testing::TestWithParam<watch_case> {};

} // namespace

TEST_P(memory_cases, figures_come_from_their_lines)
{
	REQUIRE_SANDBOX();
	const memory_case &c = GetParam();
	fake_dir proc;
	ASSERT_TRUE(proc.ok());
	proc.put("42/statm", c.statm);
	proc.put("42/status", c.status);
	tq_mem_proc_info_t info;
	std::memset(&info, 0x5a, sizeof info);
	info.pid = 42;
	uint32_t rss = 0, heap = 1;
	ASSERT_EQ(tq_mem_get_proc_info(&info) + tq_mem_get_proc_rss(42, &rss) +
			  tq_mem_get_proc_heap(42, &heap),
		  0);
	const uint32_t kb = page_kb;
	EXPECT_EQ((std::vector<uint32_t>{info.rss_kb, info.shared_kb, info.private_kb, info.text_kb,
					 info.heap_kb, info.data_kb, info.stack_kb, rss, heap}),
		  (std::vector<uint32_t>{c.rss * kb, c.shared * kb, c.rss * kb - c.shared * kb,
					 c.text * kb, c.heap * kb, c.data_kb, c.stack_kb, c.rss * kb,
					 c.heap * kb}));
	EXPECT_EQ(info.watch_flag, 0x5a);  // only the survey sets it
	// The name, the rest of the field zero-filled.
	EXPECT_EQ(std::string(info.name, sizeof info.name),
		  c.process_name + std::string(128 - c.process_name.size(), '\0'));
}

INSTANTIATE_TEST_SUITE_P(
	stats, memory_cases,
	::testing::Values(
		memory_case{"eight_figures", statm8, status, 40, 10, 5, 7, "fixd", 1234, 132},
		// The low 32 bits of a figure wider than a word; more shared than
		// resident wraps the private figure in 32 bits.
		memory_case{"wide_figure_and_shared_above_resident", "1 4294967297 5 1 0 0 0 2\n",
			    status, sizeof(unsigned long) > 4 ? 1u : 0xffffffffu, 5, 1, 2, "fixd",
			    1234, 132},
		memory_case{"first_word_of_the_name_and_stop_at_the_stack_line", statm8,
			    "Name:\tmy proc\nVmStk:\t4 kB\nName:\tsecond\nVmData:\t99 kB\n", 40, 10,
			    5, 7, "my", 0, 4},
		// A line crosses the reader's buffer end.
		memory_case{"overlong_name_fills_the_field", statm8,
			    "Name:\t" + std::string(200, 'n') + "\n" + std::string(1015, '#') +
				    "\nVmData:\t77 kB\nVmStk:\t5 kB\n",
			    40, 10, 5, 7, std::string(128, 'n'), 77, 5}),
	[](const auto &info) { return std::string(info.param.name); });

// Bad arguments fail silently and write nothing. Of a statm that cannot be
// opened (the process ended) or gives nothing, the rss call tells the two
// apart, the heap call does not.
TEST(proc_memory, failures_give_each_call_its_code_and_message)
{
	REQUIRE_SANDBOX();
	fake_dir proc;
	ASSERT_TRUE(proc.ok());
	proc.put("8/statm", "");
	proc.put("8/status", status);
	const std::string gone = "log 6: open file /proc/7/statm failed, maybe the process (pid:7) has exit.\n",
			  empty = "log 3: Error read file /proc/8/statm\n";
	const struct {
		int pid, rss_rc;
		lines reports;
	} cases[] = {{0, -1, {}},
		     {-1, -1, {}},
		     {7, -2, {gone, gone, "log 3: Error open /proc/7/statm\n"}},
		     {8, -3, {empty, empty, "log 3: error in readline!\n"}}};
	for (const auto &c : cases) {
		report_capture reports;
		uint32_t heap = 5, rss = 5;
		tq_mem_proc_info_t info{};
		info.pid = c.pid;
		EXPECT_EQ(tq_mem_get_proc_heap(c.pid, &heap), -1) << c.pid;
		EXPECT_EQ(tq_mem_get_proc_rss(c.pid, &rss), c.rss_rc) << c.pid;
		EXPECT_EQ(tq_mem_get_proc_info(&info), -1) << c.pid;
		EXPECT_EQ(heap + rss, c.pid > 0 ? 0u : 10u) << c.pid;
		EXPECT_EQ(reported(reports), c.reports) << c.pid;
	}
	EXPECT_EQ(tq_mem_get_proc_heap(8, nullptr) + tq_mem_get_proc_rss(8, nullptr) +
			  tq_mem_get_proc_info(nullptr),
		  -3);
}

// The test process itself, with 16 MiB touched.
TEST(proc_memory, live_process_shows_its_name_and_touched_memory)
{
	constexpr uint32_t touched_kb = 16 * 1024;
	std::vector<char> touched(touched_kb * 1024u, 1);
	asm volatile("" : : "r"(touched.data()) : "memory");  // kept, not elided
	tq_mem_proc_info_t info{};
	info.pid = getpid();
	uint32_t heap = 1;
	ASSERT_EQ(tq_mem_get_proc_info(&info) + tq_mem_get_proc_heap(getpid(), &heap), 0);
	EXPECT_GE(info.rss_kb, touched_kb);
	EXPECT_GE(info.data_kb, touched_kb);
	EXPECT_GT(info.stack_kb * info.text_kb, 0u);
	EXPECT_EQ(heap, 0u);  // Linux statm has seven figures
	std::string comm;
	std::ifstream("/proc/self/comm") >> comm;
	EXPECT_EQ(info.name, comm);
}

TEST_P(watch_cases, flags_follow_the_watch_file_or_the_default_table)
{
	REQUIRE_SANDBOX();
	const watch_case &c = GetParam();
	fake_dir proc;
	ASSERT_TRUE(proc.ok());
	int pid = 100;
	for (const auto &[name, flag] : c.flags)
		proc.process(pid++, name, 10);
	survey s(c.watch_file);
	ASSERT_EQ(s.rc, 0);
	ASSERT_EQ(s.by_name.size(), c.flags.size());
	for (const auto &[name, flag] : c.flags)
		EXPECT_EQ(s.by_name[name]->watch_flag, flag) << name;
}

std::string numbered(int n)
{
	return n == 0 ? "" : numbered(n - 1) + "n" + std::to_string(n - 1) + "\n";
}

INSTANTIATE_TEST_SUITE_P(
	stats, watch_cases,
	::testing::Values(
		watch_case{"no_file_default_table", "", {{"ntpd", 1}, {"Hostapd", 2}, {"other", 2}}},
		watch_case{"blank_file_default_table", " \n\t \n", {{"syslogd", 1}, {"other", 2}}},
		watch_case{"file_replaces_the_table", "other\tb\n", {{"ntpd", 2}, {"other", 1}, {"b", 1}}},
		watch_case{"long_word_is_split_at_79", std::string(100, 'w'),
			   {{std::string(79, 'w'), 1}, {std::string(21, 'w'), 1}, {std::string(100, 'w'), 2}}},
		watch_case{"first_128_names_of_the_file", numbered(130), {{"n127", 1}, {"n128", 2}}}),
	[](const auto &info) { return std::string(info.param.name); });

// Besides eight processes and two of one name: entries that are no process,
// and processes that ended mid-survey (status gone, or both files gone).
TEST(survey, records_by_rss_one_per_name_and_the_rest_zero)
{
	REQUIRE_SANDBOX();
	EXPECT_EQ(tq_mem_get_proc_info_list(nullptr), -1);
	fake_dir proc;
	ASSERT_TRUE(proc.ok());
	const uint32_t pages[] = {5, 90, 0, 33, 90, 7, 1000, 2};
	for (int i = 0; i < 8; ++i)
		proc.process(200 + i, "p" + std::to_string(i), pages[i]);
	proc.process(300, "twin", 10);
	proc.process(301, "twin", 20);
	proc.put("401", "a file, not a directory");
	for (const char *d : {"net", "0", "12abc", "502"})  // 12abc: atoi gives 12
		mkdir((proc.dir + "/" + d).c_str(), 0755);
	proc.put("501/statm", "1 1 1 1 0 0 0 1\n");
	report_capture reports;
	survey s;
	ASSERT_EQ(s.rc, 0);
	ASSERT_EQ(s.list->count, 9);  // one twin
	for (int i = 1; i < 9; ++i)
		EXPECT_GE(s.list->records[i - 1].rss_kb, s.list->records[i].rss_kb) << i;
	EXPECT_EQ(s.list->records[0].rss_kb, 1000 * page_kb);
	EXPECT_EQ(s.list->records[0].pid, 206);
	EXPECT_EQ(s.list->records[0].data_kb, 8u);
	const auto *rest = reinterpret_cast<const char *>(&s.list->records[9]);
	const std::ptrdiff_t rest_size = sizeof(tq_mem_proc_info_t) * (128 - 9);
	EXPECT_EQ(std::count(rest, rest + rest_size, 0), rest_size);
	// The file, "net" and "0" never reached the fill.
	lines got = reported(reports);
	std::sort(got.begin(), got.end());
	EXPECT_EQ(got, (lines{"log 3: Error open /proc/12/statm\n", "log 3: Error open /proc/501/status\n",
			      "log 3: Error open /proc/502/statm\n"}));
}

TEST(survey, list_holds_128_names_and_the_129th_fails)
{
	REQUIRE_SANDBOX();
	for (int n : {128, 129}) {
		fake_dir proc;
		ASSERT_TRUE(proc.ok());
		for (int i = 0; i < n; ++i)
			proc.process(1000 + i, "d" + std::to_string(i), static_cast<uint32_t>(i));
		survey s;
		EXPECT_EQ(s.rc, n == 128 ? 0 : -1) << n;
		EXPECT_EQ(s.by_name.size(), 128u) << n;
	}
}
