// Pid files: what is accepted, what is refused, and the report of each
// refusal with the text that was read.
#include "reports.h"
#include "sandbox.h"

#include "tq_syslib.h"

#include <gtest/gtest.h>
#include <string>

using namespace syslib_test;

TEST(pid_file_test, leading_digits_or_a_report_with_the_text_read)
{
	struct row {
		const char *contents;  // nullptr: no such file
		int pid;
		std::string fmt;    // empty: no report
		const char *shown;  // what follows the path in the report
	};
	const std::string ch = "Unexpected character in pid file %s: [%s]\n";
	const std::string co = "Unexpected content in pid file %s: [%s]\n";
	const row rows[] = {
		{"417\n", 417, "", ""},
		{"12ab", 12, "", ""},
		// Only 15 bytes are read: the digits after them do not count.
		{"000000000000042999", 42, "", ""},
		{"2147483647\n", 2147483647, "", ""},
		{"0\n", -1, co, ": [0\n]\n"},
		{" 417", -1, ch, ": [ 417]\n"},
		{"-417", -1, ch, ": [-417]\n"},
		{"x234567890123456789", -1, ch, ": [x23456789012345]\n"},
		{"", -1, "Error reading pid file %s\n", "\n"},
		{nullptr, -1, "Error opening pid file %s\n", "\n"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.contents ? r.contents : "(missing)");
		std::string path = scratch_dir() + "/daemon.pid";
		if (!r.contents)
			path += ".none";
		ASSERT_TRUE(!r.contents || write_file(path, r.contents));
		report_capture reports;
		EXPECT_EQ(tq_read_pid_file(path.c_str()), r.pid);
		if (r.fmt.empty()) {
			EXPECT_EQ(reports.size(), 0u);
			continue;
		}
		report got = reports.only();
		EXPECT_EQ(got.channel, TQRT_ERR);
		EXPECT_EQ(got.fmt, r.fmt);
		EXPECT_EQ(got.text, r.fmt.substr(0, r.fmt.find(" %s")) + " " + path + r.shown);
	}
}

TEST(pid_file_test, directory_or_no_path)
{
	report_capture reports;
	// A directory opens but cannot be read.
	EXPECT_EQ(tq_read_pid_file(scratch_dir().c_str()), -1);
	EXPECT_EQ(reports.only().fmt, "Error reading pid file %s\n");
	reports.clear();
	EXPECT_EQ(tq_read_pid_file(nullptr), -1);
	EXPECT_EQ(tq_read_pid_file(""), -1);
	EXPECT_EQ(reports.size(), 0u);
}
