// The monitor configuration image and the group status pairs, read from
// fixture files at the fixed paths inside the private mount namespace.
#include "monitor/tq_monitor_cfg.h"
#include "reports.h"
#include "sandbox.h"

#include "tq_syslib.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace syslib_test;

namespace {

constexpr char config_path[] = "/etc/monitor.conf";
constexpr char status_path[] = "/etc/monitor_status.conf";

std::string pattern(size_t size)
{
	std::string s(size, '\0');
	for (size_t i = 0; i < size; ++i)
		s[i] = static_cast<char>(i * 7 + 3);
	return s;
}

} // namespace

TEST(monitor_test, config_is_the_first_544_bytes_or_zeros)
{
	REQUIRE_SANDBOX();
	static_assert(sizeof(tq_monitor_cfg_t) == 544);
	struct row {
		int file_size;  // -1: no file
		uint32_t size;
		int rc;
		std::string want;  // the record afterwards; it starts as all 0x5a
		bool reported;
	};
	const std::string untouched(544, '\x5a');
	const row rows[] = {
		{-1, 544, 0, std::string(544, '\0'), false},
		{544, 544, 0, pattern(544), false},
		{600, 544, 0, pattern(544), false},
		// What was read stays; the rest is not cleared.
		{100, 544, -1, pattern(100) + untouched.substr(100), true},
		{0, 544, -1, untouched, true},
		{543, 544, -1, pattern(543) + "\x5a", true},
		// A wrong size touches nothing, file or not.
		{544, 543, -1, untouched, false},
		{544, 545, -1, untouched, false},
		{-1, 0, -1, untouched, false},
	};
	for (const row &r : rows) {
		SCOPED_TRACE("file " + std::to_string(r.file_size) + " size " + std::to_string(r.size));
		unlink(config_path);
		ASSERT_TRUE(r.file_size < 0 ||
			    write_file(config_path, pattern(static_cast<size_t>(r.file_size))));
		report_capture reports;
		tq_monitor_cfg_t cfg;
		std::memset(&cfg, 0x5a, sizeof cfg);
		EXPECT_EQ(tq_monitor_read_config(&cfg, r.size), r.rc);
		EXPECT_TRUE(std::string(reinterpret_cast<const char *>(&cfg), sizeof cfg) == r.want);
		ASSERT_EQ(reports.size(), r.reported ? 1u : 0u);
		if (r.reported) {
			report got = reports.only();
			EXPECT_EQ(got.channel, TQRT_ERR);
			EXPECT_EQ(got.fmt, "failed to read file(%s), return code: %d");
			EXPECT_EQ(got.text, "failed to read file(/etc/monitor.conf), return code: " +
						    std::to_string(r.file_size));
		}
	}
}

TEST(monitor_test, group_status_follows_the_pairs_in_order)
{
	REQUIRE_SANDBOX();
	struct expect {
		uint32_t index;
		int rc, first, second;
	};
	struct row {
		const char *contents;  // nullptr: no file
		std::vector<expect> groups;
	};
	const row rows[] = {
		{"5 7\n1 2\n", {{0, 0, 5, 7}, {1, 0, 1, 2}, {2, -1, 1, 2}}},
		// Pairs broken over lines differently still pair up in order.
		{"1\n2 3 4\n", {{1, 0, 3, 4}}},
		{"-3 0\n2147483647 -2147483648\n", {{1, 0, 2147483647, -2147483647 - 1}}},
		// A field that is not a number ends the reading.
		{"8 9\nx 1\n3 4\n", {{2, -1, 8, 9}}},
		// A half pair at the end: its first number is stored, then -1.
		{"8 9\n6\n", {{1, -1, 6, 9}}},
		{"", {{0, -1, -77, -77}}},
		{nullptr, {{0, -1, -77, -77}}},
		// Past the last group the call asserts and reads nothing.
		{"0 0\n1 1\n2 2\n3 3\n4 4\n5 5\n6 6\n7 7\n8 8\n",
		 {{7, 0, 7, 7}, {8, -1, -77, -77}, {0xffffffffu, -1, -77, -77}}},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.contents ? r.contents : "(no file)");
		unlink(status_path);
		ASSERT_TRUE(!r.contents || write_file(status_path, r.contents));
		report_capture reports;
		size_t asserted = 0;
		for (const expect &e : r.groups) {
			int first = -77, second = -77;
			EXPECT_EQ(tq_monitor_get_group_status(e.index, &first, &second), e.rc) << e.index;
			EXPECT_EQ((std::pair{first, second}), (std::pair{e.first, e.second})) << e.index;
			asserted += e.index >= 8;
		}
		ASSERT_EQ(reports.size(), asserted);
		const std::string head = "### Assertion (index < TQ_MAX_GROUP_NUM) failed at ";
		for (const report &got : reports.all()) {
			EXPECT_EQ(got.channel, TQRT_ERR);
			EXPECT_EQ(got.fmt, "### Assertion (%s) failed at %s:%d\n");
			ASSERT_EQ(got.text.compare(0, head.size(), head), 0) << got.text;
			std::string where = got.text.substr(head.size());
			EXPECT_TRUE(where[0] != '/' && where[0] != '.') << where;
			EXPECT_NE(where.find("tq_monitor_cfg.cpp:"), std::string::npos) << where;
		}
	}
}

TEST(monitor_assert_test, leading_dots_and_slashes_leave_the_file_name)
{
	struct row {
		const char *file, *shown;
	};
	const row rows[] = {
		{"./.././/.hidden/m.cpp", "hidden/m.cpp"},
		{"src/./m.cpp", "src/./m.cpp"},  // only the beginning is skipped
		{"../..", ""},
	};
	for (const row &r : rows) {
		report_capture reports;
		syslib::tq_assert_fail("a == b", r.file, 42);
		EXPECT_EQ(reports.only().text,
			  std::string("### Assertion (a == b) failed at ") + r.shown + ":42\n");
	}
}
