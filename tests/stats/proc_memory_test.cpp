// Memory figures of one process: real /proc for what Linux shows, fixture
// statm and status files bound over a child's entries for the parsing.
#include "fixtures.h"
#include "reports.h"
#include "tq_syslib.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

using namespace syslib_test;

namespace {

const uint32_t page_kb = static_cast<uint32_t>(getpagesize()) >> 10;

// A child whose statm and status are fixtures.
struct fixture_process {
	child_process child{"tqstat_fixture"};
	std::string entry = "/proc/" + std::to_string(child.pid());
	file_over statm, status;
	fixture_process(const std::string &statm_text, const std::string &status_text)
		: statm(entry + "/statm", statm_text), status(entry + "/status", status_text)
	{
	}
	bool ready() const { return statm.ok() && status.ok(); }
};

struct memory_case {
	const char *name;
	std::string statm, status;
	uint32_t rss, shared, text, heap;  // in pages
	std::string process_name;
	uint32_t data_kb, stack_kb;
};

class memory_cases : public ::testing::TestWithParam<memory_case> {};

const char statm8[] = "100 40 10 5 0 20 0 7\n";
const char status[] = "Name:\tfixd\nUmask:\t0022\nVmData:\t    1234 kB\nVmStk:\t     132 kB\n";

} // namespace

TEST_P(memory_cases, figures_come_from_their_lines)
{
	REQUIRE_SANDBOX();
	const memory_case &c = GetParam();
	fixture_process proc(c.statm, c.status);
	ASSERT_TRUE(proc.ready());
	tq_mem_proc_info_t info;
	std::memset(&info, 0x5a, sizeof info);
	info.pid = proc.child.pid();
	ASSERT_EQ(tq_mem_get_proc_info(&info), 0);
	EXPECT_EQ(info.rss_kb, c.rss * page_kb);
	EXPECT_EQ(info.shared_kb, c.shared * page_kb);
	EXPECT_EQ(info.private_kb, c.rss * page_kb - c.shared * page_kb);
	EXPECT_EQ(info.text_kb, c.text * page_kb);
	EXPECT_EQ(info.heap_kb, c.heap * page_kb);
	const size_t length = strnlen(info.name, sizeof info.name);
	EXPECT_EQ(std::string(info.name, length), c.process_name);
	for (size_t i = length; i < sizeof info.name; ++i)
		ASSERT_EQ(info.name[i], 0) << "at " << i;
	EXPECT_EQ(info.data_kb, c.data_kb);
	EXPECT_EQ(info.stack_kb, c.stack_kb);
	EXPECT_EQ(info.watch_flag, 0x5a);  // only the survey sets it

	uint32_t rss = 0, heap = 1;
	EXPECT_EQ(tq_mem_get_proc_rss(info.pid, &rss), 0);
	EXPECT_EQ(tq_mem_get_proc_heap(info.pid, &heap), 0);
	EXPECT_EQ(rss, c.rss * page_kb);
	EXPECT_EQ(heap, c.heap * page_kb);
}

INSTANTIATE_TEST_SUITE_P(
	stats, memory_cases,
	::testing::Values(
		memory_case{"eight_figures", statm8, status, 40, 10, 5, 7, "fixd", 1234, 132},
		memory_case{"seven_figures_have_no_heap", "100 40 10 5 0 20 0\n", status, 40, 10, 5,
			    0, "fixd", 1234, 132},
		// The low 32 bits of a figure wider than a word; more shared than
		// resident wraps the private figure in 32 bits.
		memory_case{"wide_figure_and_shared_above_resident", "1 4294967297 5 1 0 0 0 2\n",
			    status, sizeof(unsigned long) > 4 ? 1u : 0xffffffffu, 5, 1, 2, "fixd",
			    1234, 132},
		memory_case{"first_word_of_the_name_and_stop_at_the_stack_line", statm8,
			    "Name:\tmy proc\nVmStk:\t4 kB\nName:\tsecond\nVmData:\t99 kB\n", 40, 10,
			    5, 7, "my", 0, 4},
		memory_case{"no_name_line", statm8, "VmData:\t8 kB\nVmStk:\t4 kB\n", 40, 10, 5, 7, "",
			    8, 4},
		// A line crosses the reader's buffer end.
		memory_case{"overlong_name_fills_the_field", statm8,
			    "Name:\t" + std::string(200, 'n') + "\n" + std::string(1015, '#') +
				    "\nVmData:\t77 kB\nVmStk:\t5 kB\n",
			    40, 10, 5, 7, std::string(128, 'n'), 77, 5}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(proc_memory, bad_pid_or_output_fails_without_touching_anything)
{
	report_capture reports;
	uint32_t out = 0xdeadbeef;
	tq_mem_proc_info_t info{};
	info.rss_kb = 77;
	for (int pid : {0, -1}) {
		EXPECT_EQ(tq_mem_get_proc_heap(pid, &out), -1);
		EXPECT_EQ(tq_mem_get_proc_rss(pid, &out), -1);
		info.pid = pid;
		EXPECT_EQ(tq_mem_get_proc_info(&info), -1);
	}
	EXPECT_EQ(out, 0xdeadbeef);
	EXPECT_EQ(info.rss_kb, 77u);
	EXPECT_EQ(tq_mem_get_proc_heap(getpid(), nullptr), -1);
	EXPECT_EQ(tq_mem_get_proc_rss(getpid(), nullptr), -1);
	EXPECT_EQ(tq_mem_get_proc_info(nullptr), -1);
	EXPECT_EQ(reports.size(), 0u);
}

// A statm that cannot be opened (the process ended) or gives nothing.
TEST(proc_memory, statm_failures_give_each_call_its_code_and_message)
{
	REQUIRE_SANDBOX();
	pid_t ended = fork();
	if (ended == 0)
		_exit(0);
	waitpid(ended, nullptr, 0);
	fixture_process empty("", status);
	ASSERT_TRUE(empty.ready());
	struct {
		int pid, rss_rc;
		const char *fmt, *info_fmt;
		int level;
	} cases[] = {
		{ended, -2, "open file %s failed, maybe the process (pid:%d) has exit.\n",
		 "Error open %s\n", 6},
		{empty.child.pid(), -3, "Error read file %s\n", "error in readline!\n", 3},
	};
	for (const auto &c : cases) {
		const std::string path = "/proc/" + std::to_string(c.pid) + "/statm";
		report_capture reports;
		uint32_t heap = 5, rss = 5;
		EXPECT_EQ(tq_mem_get_proc_heap(c.pid, &heap), -1);
		EXPECT_EQ(tq_mem_get_proc_rss(c.pid, &rss), c.rss_rc);
		EXPECT_EQ(heap, 0u);
		EXPECT_EQ(rss, 0u);
		tq_mem_proc_info_t info{};
		info.pid = c.pid;
		EXPECT_EQ(tq_mem_get_proc_info(&info), -1);
		auto all = reports.all();
		ASSERT_EQ(all.size(), 3u);
		char text[256];
		std::snprintf(text, sizeof text, c.fmt, path.c_str(), c.pid);
		for (int i : {0, 1}) {
			EXPECT_EQ(all[i].channel, TQRT_LOG);
			EXPECT_EQ(all[i].level, c.level);
			EXPECT_EQ(all[i].fmt, c.fmt);
			EXPECT_EQ(all[i].text, text);
		}
		std::snprintf(text, sizeof text, c.info_fmt, path.c_str());
		EXPECT_EQ(all[2].level, 3);
		EXPECT_EQ(all[2].fmt, c.info_fmt);
		EXPECT_EQ(all[2].text, text);
	}
}

TEST(proc_memory, live_child_shows_its_name_and_touched_memory)
{
	constexpr uint32_t touched_kb = 16 * 1024;
	child_process child("tqstat_probe", touched_kb * 1024u);
	ASSERT_GT(child.pid(), 0);
	tq_mem_proc_info_t info{};
	info.pid = child.pid();
	ASSERT_EQ(tq_mem_get_proc_info(&info), 0);
	EXPECT_GE(info.rss_kb, touched_kb);
	EXPECT_GE(info.data_kb, touched_kb);
	EXPECT_GT(info.stack_kb, 0u);
	EXPECT_GT(info.text_kb, 0u);
	uint32_t rss = 0, heap = 1;
	ASSERT_EQ(tq_mem_get_proc_rss(child.pid(), &rss), 0);
	EXPECT_NEAR(rss, info.rss_kb, 1024);
	// Linux statm has seven figures: no heap figure.
	EXPECT_EQ(tq_mem_get_proc_heap(child.pid(), &heap), 0);
	EXPECT_EQ(heap, 0u);
	if (proc_name(child.pid()) != "tqstat_probe")
		GTEST_SKIP() << "the emulator keeps its own name for the child";
	EXPECT_STREQ(info.name, "tqstat_probe");
}
