// Memory figures of one process: real /proc for what Linux shows, fixture
// statm and status files bound over a child's entries for the parsing.
#include "child.h"
#include "reports.h"
#include "sandbox.h"
#include "tq_syslib.h"

#include <gtest/gtest.h>
#include <string>

using namespace syslib_test;

namespace {

const uint32_t page_kb = static_cast<uint32_t>(getpagesize()) >> 10;

// A child whose statm and status are fixtures.
struct fixture_process {
	child_process child{"tqstat_fixture"};
	proc_fixture statm;
	proc_fixture status;
	fixture_process(const std::string &statm_text, const std::string &status_text)
		: statm(child.pid(), "statm", statm_text), status(child.pid(), "status", status_text)
	{
	}
	bool ready() const { return statm.bound() && status.bound(); }
};

const char plain_status[] = "Name:\tfixd\nUmask:\t0022\nVmData:\t    1234 kB\n"
			    "VmStk:\t     132 kB\nVmExe:\t 8 kB\n";

// A pid that was just in use and is gone.
int ended_pid()
{
	pid_t pid = fork();
	if (pid == 0)
		_exit(0);
	waitpid(pid, nullptr, 0);
	return pid;
}

} // namespace

TEST(proc_memory, bad_pid_or_output_fails_without_touching_anything)
{
	report_capture reports;
	for (int pid : {0, -1, -4096}) {
		uint32_t out = 0xdeadbeef;
		EXPECT_EQ(tq_mem_get_proc_heap(pid, &out), -1);
		EXPECT_EQ(tq_mem_get_proc_rss(pid, &out), -1);
		EXPECT_EQ(out, 0xdeadbeef);
		tq_mem_proc_info_t info{};
		info.pid = pid;
		info.rss_kb = 77;
		EXPECT_EQ(tq_mem_get_proc_info(&info), -1);
		EXPECT_EQ(info.rss_kb, 77u);
	}
	EXPECT_EQ(tq_mem_get_proc_heap(getpid(), nullptr), -1);
	EXPECT_EQ(tq_mem_get_proc_rss(getpid(), nullptr), -1);
	EXPECT_EQ(tq_mem_get_proc_info(nullptr), -1);
	EXPECT_EQ(reports.size(), 0u);
}

TEST(proc_memory, ended_process_gives_the_failure_codes_and_messages)
{
	int pid = ended_pid();
	std::string statm = "/proc/" + std::to_string(pid) + "/statm";
	report_capture reports;
	uint32_t heap = 5, rss = 5;
	EXPECT_EQ(tq_mem_get_proc_heap(pid, &heap), -1);
	EXPECT_EQ(tq_mem_get_proc_rss(pid, &rss), -2);
	EXPECT_EQ(heap, 0u);
	EXPECT_EQ(rss, 0u);
	tq_mem_proc_info_t info{};
	info.pid = pid;
	EXPECT_EQ(tq_mem_get_proc_info(&info), -1);

	auto all = reports.all();
	ASSERT_EQ(all.size(), 3u);
	std::string exited = "open file " + statm + " failed, maybe the process (pid:" +
			     std::to_string(pid) + ") has exit.\n";
	for (int i : {0, 1}) {
		EXPECT_EQ(all[i].channel, TQRT_LOG);
		EXPECT_EQ(all[i].level, 6);
		EXPECT_EQ(all[i].fmt, "open file %s failed, maybe the process (pid:%d) has exit.\n");
		EXPECT_EQ(all[i].text, exited);
	}
	EXPECT_EQ(all[2].level, 3);
	EXPECT_EQ(all[2].fmt, "Error open %s\n");
	EXPECT_EQ(all[2].text, "Error open " + statm + "\n");
}

TEST(proc_memory, live_child_shows_its_name_and_touched_memory)
{
	constexpr uint32_t touched_kb = 16 * 1024;
	child_process child("tqstat_probe", touched_kb * 1024u);
	ASSERT_GT(child.pid(), 0);
	tq_mem_proc_info_t info{};
	info.pid = child.pid();
	info.watch_flag = 9;
	ASSERT_EQ(tq_mem_get_proc_info(&info), 0);
	EXPECT_EQ(info.watch_flag, 9);  // only the survey sets it
	EXPECT_EQ(info.pid, child.pid());
	EXPECT_GE(info.rss_kb, touched_kb);
	EXPECT_GE(info.data_kb, touched_kb);
	EXPECT_GT(info.stack_kb, 0u);
	EXPECT_GT(info.text_kb, 0u);
	EXPECT_EQ(info.private_kb, info.rss_kb - info.shared_kb);
	uint32_t rss = 0;
	ASSERT_EQ(tq_mem_get_proc_rss(child.pid(), &rss), 0);
	EXPECT_NEAR(rss, info.rss_kb, 1024);
	uint32_t heap = 1;
	// Linux statm has seven figures: no heap figure.
	EXPECT_EQ(tq_mem_get_proc_heap(child.pid(), &heap), 0);
	EXPECT_EQ(heap, 0u);
	if (proc_name(child.pid()) != "tqstat_probe")
		GTEST_SKIP() << "the emulator keeps its own name for the child";
	EXPECT_STREQ(info.name, "tqstat_probe");
}

TEST(proc_memory, zombie_has_zero_figures_and_its_name)
{
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_NAME, "tqstat_zombie", 0, 0, 0);
		_exit(0);
	}
	siginfo_t si{};
	ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT), 0);
	tq_mem_proc_info_t info;
	std::memset(&info, 0x5a, sizeof info);
	info.pid = pid;
	int rc = tq_mem_get_proc_info(&info);
	std::string name = proc_name(pid);
	waitpid(pid, nullptr, 0);
	ASSERT_EQ(rc, 0);
	EXPECT_EQ(std::string(info.name), name);
	EXPECT_FALSE(name.empty());
	for (uint32_t v : {info.rss_kb, info.shared_kb, info.private_kb, info.text_kb,
			   info.data_kb, info.stack_kb, info.heap_kb})
		EXPECT_EQ(v, 0u);
	EXPECT_EQ(info.name[127], 0);  // the field is zero-filled past the name
}

struct statm_case {
	const char *name;
	const char *statm;
	uint32_t rss, shared, text, heap;  // in pages
};

class statm_cases : public ::testing::TestWithParam<statm_case> {};

TEST_P(statm_cases, figures_become_kib)
{
	REQUIRE_SANDBOX();
	const statm_case &c = GetParam();
	fixture_process proc(c.statm, plain_status);
	ASSERT_TRUE(proc.ready());
	tq_mem_proc_info_t info{};
	info.pid = proc.child.pid();
	ASSERT_EQ(tq_mem_get_proc_info(&info), 0);
	EXPECT_EQ(info.rss_kb, c.rss * page_kb);
	EXPECT_EQ(info.shared_kb, c.shared * page_kb);
	EXPECT_EQ(info.private_kb, c.rss * page_kb - c.shared * page_kb);
	EXPECT_EQ(info.text_kb, c.text * page_kb);
	EXPECT_EQ(info.heap_kb, c.heap * page_kb);
	uint32_t rss = 0, heap = 1;
	EXPECT_EQ(tq_mem_get_proc_rss(info.pid, &rss), 0);
	EXPECT_EQ(tq_mem_get_proc_heap(info.pid, &heap), 0);
	EXPECT_EQ(rss, c.rss * page_kb);
	EXPECT_EQ(heap, c.heap * page_kb);
}

INSTANTIATE_TEST_SUITE_P(
	stats, statm_cases,
	::testing::Values(statm_case{"eight_figures", "100 40 10 5 0 20 0 7\n", 40, 10, 5, 7},
			  statm_case{"seven_figures_have_no_heap", "100 40 10 5 0 20 0\n", 40, 10,
				     5, 0},
			  statm_case{"kernel_thread_all_zero", "0 0 0 0 0 0 0\n", 0, 0, 0, 0},
			  // More shared than resident: the private figure wraps in 32 bits.
			  statm_case{"shared_above_resident", "9 3 5 1 0 0 0 2\n", 3, 5, 1, 2},
			  // The low 32 bits of a figure wider than a word.
			  statm_case{"figure_wider_than_32_bits", "1 4294967297 0 0 0 0 0 1\n",
				     sizeof(unsigned long) > 4 ? 1u : 0xffffffffu, 0, 0, 1}),
	[](const auto &info) { return std::string(info.param.name); });

struct status_case {
	const char *name;
	std::string status;
	const char *expected_name;
	uint32_t data_kb, stack_kb;
};

class status_cases : public ::testing::TestWithParam<status_case> {};

TEST_P(status_cases, name_data_and_stack_come_from_their_lines)
{
	REQUIRE_SANDBOX();
	const status_case &c = GetParam();
	fixture_process proc("1 1 1 1 0 0 0 1\n", c.status);
	ASSERT_TRUE(proc.ready());
	tq_mem_proc_info_t info;
	std::memset(&info, 0x5a, sizeof info);
	info.pid = proc.child.pid();
	ASSERT_EQ(tq_mem_get_proc_info(&info), 0);
	EXPECT_STREQ(info.name, c.expected_name);
	EXPECT_EQ(info.data_kb, c.data_kb);
	EXPECT_EQ(info.stack_kb, c.stack_kb);
	for (size_t i = std::strlen(info.name); i < sizeof info.name; ++i)
		ASSERT_EQ(info.name[i], 0) << "at " << i;
}

INSTANTIATE_TEST_SUITE_P(
	stats, status_cases,
	::testing::Values(
		status_case{"plain", plain_status, "fixd", 1234, 132},
		status_case{"name_with_a_blank_keeps_its_first_word", "Name:\tmy proc\nVmStk:\t4 kB\n",
			    "my", 0, 4},
		status_case{"no_vm_lines", "Name:\tkworker\nState:\tS\n", "kworker", 0, 0},
		status_case{"no_name_line", "VmData:\t8 kB\nVmStk:\t4 kB\n", "", 8, 4},
		status_case{"reading_stops_at_the_stack_line",
			    "Name:\tfirst\nVmStk:\t4 kB\nName:\tsecond\nVmData:\t99 kB\n", "first", 0,
			    4},
		status_case{"labels_across_the_buffer_end",
			    "Name:\tlate\n" + std::string(1015, '#') + "\nVmData:\t77 kB\nVmStk:\t5 kB\n",
			    "late", 77, 5}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(proc_memory, overlong_name_fills_the_whole_field)
{
	REQUIRE_SANDBOX();
	fixture_process proc("1 1 1 1 0 0 0 1\n", "Name:\t" + std::string(200, 'n') + "\n");
	ASSERT_TRUE(proc.ready());
	tq_mem_proc_info_t info{};
	info.pid = proc.child.pid();
	ASSERT_EQ(tq_mem_get_proc_info(&info), 0);
	EXPECT_EQ(std::string(info.name, sizeof info.name), std::string(128, 'n'));
}

TEST(proc_memory, empty_statm_fails_each_call_its_own_way)
{
	REQUIRE_SANDBOX();
	fixture_process proc("", plain_status);
	ASSERT_TRUE(proc.ready());
	const int pid = proc.child.pid();
	const std::string path = "/proc/" + std::to_string(pid) + "/statm";
	report_capture reports;
	uint32_t heap = 3, rss = 3;
	EXPECT_EQ(tq_mem_get_proc_heap(pid, &heap), -1);
	EXPECT_EQ(tq_mem_get_proc_rss(pid, &rss), -3);
	EXPECT_EQ(heap, 0u);
	EXPECT_EQ(rss, 0u);
	tq_mem_proc_info_t info{};
	info.pid = pid;
	EXPECT_EQ(tq_mem_get_proc_info(&info), -1);
	auto all = reports.all();
	ASSERT_EQ(all.size(), 3u);
	for (int i : {0, 1}) {
		EXPECT_EQ(all[i].level, 3);
		EXPECT_EQ(all[i].fmt, "Error read file %s\n");
		EXPECT_EQ(all[i].text, "Error read file " + path + "\n");
	}
	EXPECT_EQ(all[2].level, 3);
	EXPECT_EQ(all[2].fmt, "error in readline!\n");
}
