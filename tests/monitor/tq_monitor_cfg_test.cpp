// The monitor configuration image and the group status pairs, read from
// fixture files at the fixed paths inside the private mount namespace.
#include "monitor/tq_monitor_cfg.h"
#include "reports.h"
#include "sandbox.h"

#include "tq_syslib.h"

#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

using namespace syslib_test;

namespace {

constexpr char config_path[] = "/etc/monitor.conf";
constexpr char status_path[] = "/etc/monitor_status.conf";

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

std::string pattern(size_t size)
{
	std::string s(size, '\0');
	for (size_t i = 0; i < size; ++i)
		s[i] = static_cast<char>(i * 7 + 3);
	return s;
}

class monitor_test : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX();
		unlink(config_path);
		unlink(status_path);
		descriptors_ = open_descriptors();
	}
	void TearDown() override
	{
		if (!in_sandbox())
			return;
		EXPECT_EQ(open_descriptors(), descriptors_);
		unlink(config_path);
		unlink(status_path);
	}

	struct pair_result {
		int rc, first, second;
	};
	static pair_result group(uint32_t index)
	{
		pair_result r{0, -77, -77};
		r.rc = tq_monitor_get_group_status(index, &r.first, &r.second);
		return r;
	}

private:
	int descriptors_ = 0;
};

bool same(const tq_monitor_cfg_t &cfg, const std::string &bytes)
{
	return bytes.size() >= sizeof cfg && std::memcmp(&cfg, bytes.data(), sizeof cfg) == 0;
}

} // namespace

TEST_F(monitor_test, wrong_size_leaves_the_record_untouched)
{
	for (bool with_file : {false, true}) {
		if (with_file) {
			ASSERT_TRUE(write_file(config_path, pattern(544)));
		}
		for (uint32_t size : {0u, 543u, 545u, 1088u}) {
			report_capture reports;
			tq_monitor_cfg_t cfg;
			std::memset(&cfg, 0xa5, sizeof cfg);
			EXPECT_EQ(tq_monitor_read_config(&cfg, size), -1) << size;
			EXPECT_TRUE(same(cfg, std::string(544, '\xa5'))) << size;
			EXPECT_EQ(reports.size(), 0u);
		}
	}
}

TEST_F(monitor_test, config_is_the_first_544_bytes_or_zeros)
{
	struct row {
		const char *what;
		bool present;
		size_t file_size;
	};
	const row rows[] = {{"missing file", false, 0}, {"exact", true, 544}, {"longer", true, 600}};
	for (const row &r : rows) {
		unlink(config_path);
		std::string bytes = r.present ? pattern(r.file_size) : std::string(544, '\0');
		if (r.present) {
			ASSERT_TRUE(write_file(config_path, bytes));
		}
		report_capture reports;
		tq_monitor_cfg_t cfg;
		std::memset(&cfg, 0x5a, sizeof cfg);
		EXPECT_EQ(tq_monitor_read_config(&cfg, sizeof cfg), 0) << r.what;
		EXPECT_TRUE(same(cfg, bytes)) << r.what;
		EXPECT_EQ(reports.size(), 0u) << r.what;
	}
}

TEST_F(monitor_test, short_config_is_reported_with_the_count_read)
{
	struct row {
		size_t file_size;
		const char *text;
	};
	const row rows[] = {
		{100, "failed to read file(/etc/monitor.conf), return code: 100"},
		{0, "failed to read file(/etc/monitor.conf), return code: 0"},
		{543, "failed to read file(/etc/monitor.conf), return code: 543"},
	};
	for (const row &r : rows) {
		ASSERT_TRUE(write_file(config_path, pattern(r.file_size)));
		report_capture reports;
		tq_monitor_cfg_t cfg;
		std::memset(&cfg, 0x5a, sizeof cfg);
		EXPECT_EQ(tq_monitor_read_config(&cfg, sizeof cfg), -1);
		report got = reports.only();
		EXPECT_EQ(got.channel, TQRT_ERR);
		EXPECT_EQ(got.fmt, "failed to read file(%s), return code: %d");
		EXPECT_EQ(got.text, r.text);
		// What was read stays; the rest is not cleared.
		std::string want = pattern(r.file_size) + std::string(544 - r.file_size, '\x5a');
		EXPECT_TRUE(same(cfg, want)) << r.file_size;
	}
}

TEST_F(monitor_test, group_status_follows_the_pairs_in_order)
{
	struct expect {
		uint32_t index;
		pair_result want;
	};
	struct row {
		const char *contents;
		std::vector<expect> groups;
	};
	const row rows[] = {
		{"5 7\n1 2\n", {{0, {0, 5, 7}}, {1, {0, 1, 2}}, {2, {-1, 1, 2}}}},
		// Pairs broken over lines differently still pair up in order.
		{"1\n2 3 4\n", {{0, {0, 1, 2}}, {1, {0, 3, 4}}, {2, {-1, 3, 4}}}},
		{"-3 0\n2147483647 -2147483648\n", {{0, {0, -3, 0}}, {1, {0, 2147483647, -2147483647 - 1}}}},
		// A field that is not a number ends the reading.
		{"8 9\nx 1\n3 4\n", {{0, {0, 8, 9}}, {1, {-1, 8, 9}}, {2, {-1, 8, 9}}}},
		// A half pair at the end: its first number is stored, then -1.
		{"8 9\n6\n", {{1, {-1, 6, 9}}}},
		{"", {{0, {-1, -77, -77}}}},
		{"0 0\n1 1\n2 2\n3 3\n4 4\n5 5\n6 6\n7 7\n", {{7, {0, 7, 7}}}},
	};
	for (const row &r : rows) {
		ASSERT_TRUE(write_file(status_path, r.contents));
		report_capture reports;
		for (const expect &e : r.groups) {
			pair_result got = group(e.index);
			EXPECT_EQ(got.rc, e.want.rc) << r.contents << " group " << e.index;
			EXPECT_EQ(got.first, e.want.first) << r.contents << " group " << e.index;
			EXPECT_EQ(got.second, e.want.second) << r.contents << " group " << e.index;
		}
		EXPECT_EQ(reports.size(), 0u);
	}
}

TEST_F(monitor_test, missing_status_file_gives_minus_one_silently)
{
	report_capture reports;
	pair_result got = group(0);
	EXPECT_EQ(got.rc, -1);
	EXPECT_EQ(got.first, -77);
	EXPECT_EQ(reports.size(), 0u);
}

TEST_F(monitor_test, index_out_of_range_asserts_without_reading_the_file)
{
	ASSERT_TRUE(write_file(status_path, "0 0\n1 1\n2 2\n3 3\n4 4\n5 5\n6 6\n7 7\n8 8\n"));
	for (uint32_t index : {8u, 9u, 0xffffffffu}) {
		report_capture reports;
		pair_result got = group(index);
		EXPECT_EQ(got.rc, -1) << index;
		EXPECT_EQ(got.first, -77) << index;
		EXPECT_EQ(got.second, -77) << index;
		report r = reports.only();
		EXPECT_EQ(r.channel, TQRT_ERR);
		EXPECT_EQ(r.fmt, "### Assertion (%s) failed at %s:%d\n");
		const std::string head = "### Assertion (index < TQ_MAX_GROUP_NUM) failed at ";
		ASSERT_EQ(r.text.compare(0, head.size(), head), 0) << r.text;
		std::string where = r.text.substr(head.size());
		EXPECT_NE(where[0], '/') << where;
		EXPECT_NE(where[0], '.') << where;
		EXPECT_NE(where.find("tq_monitor_cfg.cpp:"), std::string::npos) << where;
	}
}

TEST(monitor_assert_test, leading_dots_and_slashes_leave_the_file_name)
{
	struct row {
		const char *file, *shown;
	};
	const row rows[] = {
		{"./tq_monitor_cfg.cpp", "tq_monitor_cfg.cpp"},
		{"../src/monitor/m.cpp", "src/monitor/m.cpp"},
		{"/abs/m.cpp", "abs/m.cpp"},
		{"./.././/.hidden/m.cpp", "hidden/m.cpp"},
		{"m.cpp", "m.cpp"},
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
