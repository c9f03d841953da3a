// Pid files: what is accepted, what is refused, and the report of each
// refusal with the text that was read.
#include "reports.h"
#include "sandbox.h"

#include "tq_syslib.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <string>

using namespace syslib_test;

namespace {

std::string pid_file(const std::string &name, const std::string &contents)
{
	std::string path = scratch_dir() + "/" + name;
	EXPECT_TRUE(write_file(path, contents));
	return path;
}

int open_descriptors()
{
	int n = 0;
	if (DIR *d = opendir("/proc/self/fd")) {
		while (readdir(d))
			++n;
		closedir(d);
	}
	return n;
}

} // namespace

TEST(pid_file_test, leading_digits_are_the_pid)
{
	struct row {
		const char *contents;
		int pid;
	};
	const row rows[] = {
		{"417\n", 417}, {"417", 417}, {"12ab", 12}, {"007", 7},
		// Only 15 bytes are read: the digits after them do not count.
		{"000000000000042999", 42},
		{"2147483647\n", 2147483647},
	};
	for (const row &r : rows) {
		report_capture reports;
		std::string path = pid_file("good.pid", r.contents);
		EXPECT_EQ(tq_read_pid_file(path.c_str()), r.pid) << r.contents;
		EXPECT_EQ(reports.size(), 0u) << r.contents;
	}
}

TEST(pid_file_test, refusals_report_the_path_and_the_text_read)
{
	struct row {
		const char *contents;
		std::string kind;   // "character" or "content"
		const char *shown;  // the bracketed text of the report
	};
	const row rows[] = {
		{"0\n", "content", "0\n"},
		{"000", "content", "000"},
		{" 417", "character", " 417"},
		{"-417", "character", "-417"},
		{"\n417", "character", "\n417"},
		// The text stops after the 15 bytes read.
		{"x234567890123456789", "character", "x23456789012345"},
	};
	for (const row &r : rows) {
		report_capture reports;
		std::string path = pid_file("bad.pid", r.contents);
		EXPECT_EQ(tq_read_pid_file(path.c_str()), -1) << r.contents;
		report got = reports.only();
		EXPECT_EQ(got.channel, TQRT_ERR);
		EXPECT_EQ(got.fmt, "Unexpected " + r.kind + " in pid file %s: [%s]\n");
		EXPECT_EQ(got.text, "Unexpected " + r.kind + " in pid file " + path + ": [" +
					    r.shown + "]\n");
	}
}

TEST(pid_file_test, missing_or_empty_file_is_reported)
{
	report_capture reports;
	std::string missing = scratch_dir() + "/no-such.pid";
	EXPECT_EQ(tq_read_pid_file(missing.c_str()), -1);
	EXPECT_EQ(reports.only().fmt, "Error opening pid file %s\n");
	EXPECT_EQ(reports.only().text, "Error opening pid file " + missing + "\n");

	reports.clear();
	std::string empty = pid_file("empty.pid", "");
	EXPECT_EQ(tq_read_pid_file(empty.c_str()), -1);
	EXPECT_EQ(reports.only().fmt, "Error reading pid file %s\n");

	// A directory opens but cannot be read.
	reports.clear();
	EXPECT_EQ(tq_read_pid_file(scratch_dir().c_str()), -1);
	EXPECT_EQ(reports.only().fmt, "Error reading pid file %s\n");
}

TEST(pid_file_test, every_path_closes_the_file)
{
	report_capture reports;
	const std::string paths[] = {pid_file("a.pid", "417"), pid_file("b.pid", "x"),
				     pid_file("c.pid", "0"), pid_file("d.pid", ""), scratch_dir()};
	int before = open_descriptors();
	for (const std::string &p : paths)
		(void)tq_read_pid_file(p.c_str());
	EXPECT_EQ(open_descriptors(), before);
}

TEST(pid_file_test, no_path_is_refused_silently)
{
	report_capture reports;
	EXPECT_EQ(tq_read_pid_file(nullptr), -1);
	EXPECT_EQ(tq_read_pid_file(""), -1);
	EXPECT_EQ(reports.size(), 0u);
}
