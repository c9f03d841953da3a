// The process survey: a fake /proc bound over the real one for the walk,
// the watch flags, one record per name and the full list; the real /proc
// for a child the survey must find.
#include "child.h"
#include "heap_probe.h"
#include "reports.h"
#include "sandbox.h"
#include "tq_syslib.h"

#include <algorithm>
#include <dirent.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace syslib_test;

namespace {

constexpr char watch_path[] = "/f/etc/tq_mem_proc_list";
const uint32_t page_kb = static_cast<uint32_t>(getpagesize()) >> 10;

// A directory of made-up process entries, bound over /proc while it lives.
class fake_proc {
public:
	fake_proc() : dir_(scratch_dir() + "/proc-" + std::to_string(++serial_))
	{
		mkdir(dir_.c_str(), 0755);
	}
	~fake_proc()
	{
		if (bound_)
			unbind("/proc");
	}
	void process(int pid, const std::string &name, uint32_t rss_pages)
	{
		std::string d = dir_ + "/" + std::to_string(pid);
		write_file(d + "/statm", "100 " + std::to_string(rss_pages) + " 1 2 0 0 0 3\n");
		write_file(d + "/status", "Name:\t" + name + "\nVmData:\t8 kB\nVmStk:\t4 kB\n");
	}
	void file(const std::string &entry, const std::string &contents)
	{
		write_file(dir_ + "/" + entry, contents);
	}
	void directory(const std::string &entry) { mkdir((dir_ + "/" + entry).c_str(), 0755); }
	// Entry names in the order readdir gives them.
	std::vector<std::string> order() const
	{
		std::vector<std::string> names;
		if (DIR *d = opendir(dir_.c_str())) {
			while (dirent *e = readdir(d))
				names.emplace_back(e->d_name);
			closedir(d);
		}
		return names;
	}
	bool bind()
	{
		bound_ = bind_over(dir_, "/proc");
		return bound_;
	}

private:
	static inline int serial_ = 0;
	std::string dir_;
	bool bound_ = false;
};

// The survey's result, read while the fake /proc is still bound.
struct survey {
	int rc = 0;
	std::unique_ptr<tq_mem_proc_info_list_t> list = std::make_unique<tq_mem_proc_info_list_t>();
	std::map<std::string, const tq_mem_proc_info_t *> by_name;

	explicit survey(fake_proc *proc = nullptr)
	{
		std::memset(list.get(), 0x6b, sizeof *list);
		if (proc && !proc->bind()) {
			ADD_FAILURE() << "cannot bind the fake /proc";
			return;
		}
		rc = tq_mem_get_proc_info_list(list.get());
		for (int i = 0; i < std::min(list->count, 128); ++i)
			by_name[list->records[i].name] = &list->records[i];
	}
	int flag(const std::string &name) const
	{
		auto it = by_name.find(name);
		return it == by_name.end() ? 0 : it->second->watch_flag;
	}
};

class survey_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX();
		std::remove(watch_path);
	}
	void TearDown() override { std::remove(watch_path); }
};

bool all_zero(const void *p, size_t n)
{
	const auto *b = static_cast<const unsigned char *>(p);
	return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

} // namespace

TEST(proc_survey, null_list_fails)
{
	EXPECT_EQ(tq_mem_get_proc_info_list(nullptr), -1);
}

struct watch_case {
	const char *name;
	const char *watch_file;  // nullptr: no file
	std::map<std::string, int> flags;
};

class watch_cases : public survey_test, public ::testing::WithParamInterface<watch_case> {};

TEST_P(watch_cases, flags_follow_the_watch_file_or_the_default_table)
{
	const watch_case &c = GetParam();
	if (c.watch_file) {
		ASSERT_TRUE(write_file(watch_path, c.watch_file));
	}
	fake_proc proc;
	int pid = 100;
	for (const auto &[name, flag] : c.flags)
		proc.process(pid++, name, 10);
	survey s(&proc);
	ASSERT_EQ(s.rc, 0);
	ASSERT_EQ(s.list->count, static_cast<int>(c.flags.size()));
	for (const auto &[name, flag] : c.flags)
		EXPECT_EQ(s.flag(name), flag) << name;
}

INSTANTIATE_TEST_SUITE_P(
	stats, watch_cases,
	::testing::Values(
		watch_case{"no_file_default_table",
			   nullptr,
			   {{"hostapd", 1}, {"snmpd", 1}, {"ntpd", 1}, {"Hostapd", 2}, {"other", 2}}},
		watch_case{"empty_file_default_table", "", {{"hostapd", 1}, {"other", 2}}},
		watch_case{"blank_file_default_table", " \n\t \n", {{"syslogd", 1}, {"other", 2}}},
		watch_case{"file_replaces_the_table", "other\n", {{"hostapd", 2}, {"other", 1}}},
		watch_case{"any_white_space_separates", "a\tother \n\nb",
			   {{"a", 1}, {"b", 1}, {"other", 1}, {"ab", 2}, {"snmpd", 2}}},
		watch_case{"long_word_is_split_at_79",
			   "wwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwww\n",
			   {{std::string(79, 'w'), 1}, {std::string(21, 'w'), 1},
			    {std::string(100, 'w'), 2}}}),
	[](const auto &info) { return std::string(info.param.name); });

TEST_F(survey_test, watch_file_of_more_than_128_names_keeps_the_first_128)
{
	std::string words;
	for (int i = 0; i < 130; ++i)
		words += "n" + std::to_string(i) + "\n";
	ASSERT_TRUE(write_file(watch_path, words));
	fake_proc proc;
	proc.process(100, "n127", 1);
	proc.process(101, "n128", 1);
	survey s(&proc);
	ASSERT_EQ(s.rc, 0);
	EXPECT_EQ(s.flag("n127"), 1);
	EXPECT_EQ(s.flag("n128"), 2);
}

TEST_F(survey_test, records_are_sorted_by_rss_and_the_rest_are_zero)
{
	fake_proc proc;
	const uint32_t pages[] = {5, 90, 0, 33, 90, 7, 1000, 2};
	for (int i = 0; i < 8; ++i)
		proc.process(200 + i, "p" + std::to_string(i), pages[i]);
	survey s(&proc);
	ASSERT_EQ(s.rc, 0);
	ASSERT_EQ(s.list->count, 8);
	for (int i = 1; i < 8; ++i)
		EXPECT_GE(s.list->records[i - 1].rss_kb, s.list->records[i].rss_kb) << i;
	EXPECT_EQ(s.list->records[0].rss_kb, 1000 * page_kb);
	EXPECT_EQ(s.list->records[0].pid, 206);
	EXPECT_EQ(s.list->records[0].data_kb, 8u);
	EXPECT_TRUE(all_zero(&s.list->records[8], sizeof(tq_mem_proc_info_t) * 120));
}

TEST_F(survey_test, first_record_met_of_each_name_is_kept)
{
	fake_proc proc;
	proc.process(300, "twin", 10);
	proc.process(301, "twin", 20);
	proc.process(302, "single", 30);
	std::vector<std::string> order = proc.order();
	auto first = std::find_if(order.begin(), order.end(),
				  [](const std::string &n) { return n == "300" || n == "301"; });
	ASSERT_NE(first, order.end());
	survey s(&proc);
	ASSERT_EQ(s.rc, 0);
	ASSERT_EQ(s.list->count, 2);
	ASSERT_EQ(s.by_name.count("twin"), 1u);
	EXPECT_EQ(s.by_name["twin"]->pid, std::stoi(*first));
}

TEST_F(survey_test, entries_that_are_not_processes_never_reach_the_fill)
{
	fake_proc proc;
	proc.process(400, "real", 1);
	proc.file("401", "a file, not a directory");
	proc.directory("net");
	proc.directory("0");
	proc.directory("12abc");  // atoi gives 12, which has no files here
	report_capture reports;
	survey s(&proc);
	ASSERT_EQ(s.rc, 0);
	ASSERT_EQ(s.list->count, 1);
	EXPECT_EQ(s.list->records[0].pid, 400);
	// Only the "12abc" entry reached the fill, and failed there.
	auto all = reports.all();
	ASSERT_EQ(all.size(), 1u);
	EXPECT_EQ(all[0].text, "Error open /proc/12/statm\n");
}

TEST_F(survey_test, processes_that_end_mid_survey_leave_no_record)
{
	fake_proc proc;
	proc.process(500, "alive", 4);
	proc.file("501/statm", "1 1 1 1 0 0 0 1\n");  // status already gone
	proc.directory("502");                        // both files gone
	proc.process(503, "alive_too", 5);
	survey s(&proc);
	ASSERT_EQ(s.rc, 0);
	ASSERT_EQ(s.list->count, 2);
	for (int i = 0; i < 2; ++i) {
		EXPECT_TRUE(s.list->records[i].pid == 500 || s.list->records[i].pid == 503);
		EXPECT_NE(s.list->records[i].name[0], '\0');
	}
}

TEST_F(survey_test, list_holds_128_names_and_the_129th_fails)
{
	for (int n : {128, 129}) {
		fake_proc proc;
		for (int i = 0; i < n; ++i)
			proc.process(1000 + i, "d" + std::to_string(i), static_cast<uint32_t>(i));
		survey s(&proc);
		EXPECT_EQ(s.rc, n == 128 ? 0 : -1) << n;
		EXPECT_EQ(s.list->count, 128) << n;
		EXPECT_EQ(s.by_name.size(), 128u) << n;
		if (n == 128) {
			EXPECT_EQ(s.list->records[0].rss_kb, 127 * page_kb);
		}
	}
}

TEST_F(survey_test, real_proc_lists_a_watched_child_once)
{
	child_process child("tqsurvey_kid", 8u << 20);
	ASSERT_GT(child.pid(), 0);
	if (proc_name(child.pid()) != "tqsurvey_kid")
		GTEST_SKIP() << "the emulator keeps its own name for the child";
	ASSERT_TRUE(write_file(watch_path, "tqsurvey_kid\n"));
	survey s;
	if (s.rc == -1 && s.list->count == 128)
		GTEST_SKIP() << "this machine runs more than 128 distinct process names";
	ASSERT_EQ(s.rc, 0);
	ASSERT_EQ(s.by_name.count("tqsurvey_kid"), 1u);
	const tq_mem_proc_info_t &kid = *s.by_name["tqsurvey_kid"];
	EXPECT_EQ(kid.pid, child.pid());
	EXPECT_EQ(kid.watch_flag, 1);
	EXPECT_GE(kid.rss_kb, 8192u);
	for (int i = 0; i < s.list->count; ++i) {
		if (i > 0) {
			EXPECT_GE(s.list->records[i - 1].rss_kb, s.list->records[i].rss_kb);
		}
		if (&s.list->records[i] != &kid) {
			EXPECT_EQ(s.list->records[i].watch_flag, 2) << s.list->records[i].name;
		}
	}
}

TEST(proc_survey, takes_nothing_from_the_heap_itself)
{
	if (!heap_probe_available())
		GTEST_SKIP() << "the sanitizer owns the allocator";
	auto list = std::make_unique<tq_mem_proc_info_list_t>();
	heap_probe_reset();
	int rc = tq_mem_get_proc_info_list(list.get());
	heap_counts counts = heap_probe_counts();
	EXPECT_TRUE(rc == 0 || list->count == 128);
	EXPECT_EQ(counts.taken, 0);
	EXPECT_EQ(counts.given, 0);
}
