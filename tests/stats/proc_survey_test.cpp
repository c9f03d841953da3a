// The process survey: a fake /proc bound over the real one for the walk,
// the watch flags, one record per name and the full list; the real /proc
// for a child the survey must find.
#include "fixtures.h"
#include "reports.h"
#include "tq_syslib.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <string>

using namespace syslib_test;

namespace {

constexpr char watch_path[] = "/f/etc/tq_mem_proc_list";
const uint32_t page_kb = static_cast<uint32_t>(getpagesize()) >> 10;

// A directory of made-up process entries.
struct fake_proc {
	std::string dir = new_dir();
	void process(int pid, const std::string &name, uint32_t rss_pages)
	{
		std::string d = dir + "/" + std::to_string(pid);
		write_file(d + "/statm", "100 " + std::to_string(rss_pages) + " 1 2 0 0 0 3\n");
		write_file(d + "/status", "Name:\t" + name + "\nVmData:\t8 kB\nVmStk:\t4 kB\n");
	}
};

// The survey's result over `proc` (the real /proc without one).
struct survey {
	int rc = -9;
	std::unique_ptr<tq_mem_proc_info_list_t> list = std::make_unique<tq_mem_proc_info_list_t>();
	std::map<std::string, const tq_mem_proc_info_t *> by_name;

	explicit survey(const fake_proc *proc = nullptr)
	{
		std::memset(list.get(), 0x6b, sizeof *list);
		std::unique_ptr<bound> over;
		if (proc) {
			over = std::make_unique<bound>(proc->dir, "/proc");
			if (!over->ok()) {
				ADD_FAILURE() << "cannot bind the fake /proc";
				return;
			}
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

struct watch_case {
	const char *name;
	const char *watch_file;  // nullptr: no file
	std::map<std::string, int> flags;
};

class watch_cases : public survey_test, public ::testing::WithParamInterface<watch_case> {};

std::string many_names()
{
	std::string words;
	for (int i = 0; i < 130; ++i)
		words += "n" + std::to_string(i) + "\n";
	return words;
}
const std::string names_130 = many_names();
const std::string long_word = std::string(100, 'w') + "\n";

} // namespace

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
		watch_case{"blank_file_default_table", " \n\t \n", {{"syslogd", 1}, {"other", 2}}},
		watch_case{"file_replaces_the_table", "other\n", {{"hostapd", 2}, {"other", 1}}},
		watch_case{"any_white_space_separates", "a\tother \n\nb",
			   {{"a", 1}, {"b", 1}, {"other", 1}, {"ab", 2}}},
		watch_case{"long_word_is_split_at_79", long_word.c_str(),
			   {{std::string(79, 'w'), 1}, {std::string(21, 'w'), 1},
			    {std::string(100, 'w'), 2}}},
		watch_case{"first_128_names_of_the_file", names_130.c_str(), {{"n127", 1}, {"n128", 2}}}),
	[](const auto &info) { return std::string(info.param.name); });

TEST_F(survey_test, records_are_sorted_by_rss_and_the_rest_are_zero)
{
	EXPECT_EQ(tq_mem_get_proc_info_list(nullptr), -1);
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
	const auto *rest = reinterpret_cast<const unsigned char *>(&s.list->records[8]);
	EXPECT_TRUE(std::all_of(rest, rest + sizeof(tq_mem_proc_info_t) * 120,
				[](unsigned char b) { return b == 0; }));
}

TEST_F(survey_test, first_record_met_of_each_name_is_kept)
{
	fake_proc proc;
	proc.process(300, "twin", 10);
	proc.process(301, "twin", 20);
	proc.process(302, "single", 30);
	std::string first;  // of the twins, in readdir order
	DIR *d = opendir(proc.dir.c_str());
	ASSERT_NE(d, nullptr);
	while (dirent *e = readdir(d))
		if (first.empty() && (!strcmp(e->d_name, "300") || !strcmp(e->d_name, "301")))
			first = e->d_name;
	closedir(d);
	survey s(&proc);
	ASSERT_EQ(s.rc, 0);
	ASSERT_EQ(s.list->count, 2);
	ASSERT_EQ(s.by_name.count("twin"), 1u);
	EXPECT_EQ(s.by_name["twin"]->pid, std::stoi(first));
}

TEST_F(survey_test, only_whole_process_entries_give_records)
{
	fake_proc proc;
	proc.process(400, "real", 1);
	proc.process(503, "real_too", 5);
	write_file(proc.dir + "/401", "a file, not a directory");
	for (const char *d : {"net", "0", "12abc", "502"})  // 12abc: atoi gives 12
		mkdir((proc.dir + "/" + d).c_str(), 0755);
	// Processes that ended mid-survey: status gone, or both files gone.
	write_file(proc.dir + "/501/statm", "1 1 1 1 0 0 0 1\n");
	report_capture reports;
	survey s(&proc);
	ASSERT_EQ(s.rc, 0);
	ASSERT_EQ(s.list->count, 2);
	EXPECT_EQ(s.list->records[0].pid, 503);
	EXPECT_STREQ(s.list->records[0].name, "real_too");
	EXPECT_EQ(s.list->records[1].pid, 400);
	EXPECT_STREQ(s.list->records[1].name, "real");
	// The file, "net" and "0" never reached the fill.
	std::multiset<std::string> texts;
	for (const report &r : reports.all())
		texts.insert(r.text);
	EXPECT_EQ(texts, (std::multiset<std::string>{"Error open /proc/12/statm\n",
						     "Error open /proc/501/status\n",
						     "Error open /proc/502/statm\n"}));
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
	EXPECT_GE(kid.rss_kb, 8192u);
	for (int i = 0; i < s.list->count; ++i) {
		if (i > 0) {
			EXPECT_GE(s.list->records[i - 1].rss_kb, s.list->records[i].rss_kb);
		}
		EXPECT_EQ(s.list->records[i].watch_flag, &s.list->records[i] == &kid ? 1 : 2)
			<< s.list->records[i].name;
	}
}
