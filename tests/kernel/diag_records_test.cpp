// Kernel diagnostic records: pass-through of the caller's pointer, raw
// results, the level-3 log, the crash test's flash line.
#include "kmod.h"

#include <string>

using namespace syslib_test;

namespace {

using diag_test = kmod_test;

uint8_t record[TQSYS_REQUEST_MAX];

struct diag_row {
	const char *name;
	uint32_t cmd;
	bool takes_record;
	int (*call)();
};

const diag_row rows[] = {
	{"crash", 0x90FF, false, tq_syslib_crash_kernel},
	{"trace get", 0x9001, true, [] { return tq_syslib_get_kernel_trace(record); }},
	{"trace clear", 0x9002, false, tq_syslib_clear_kernel_trace},
	{"reboot get", 0x9003, true, [] { return tq_syslib_get_reboot_info(record); }},
	{"reboot clear", 0x9004, false, tq_syslib_clear_reboot_info},
	{"reboot set", 0x9005, true, [] { return tq_syslib_set_reboot_info(record); }},
	{"magic clear", 0x9006, false, tq_syslib_clear_magic_done},
	{"bbox info", 0x90F0, true, [] { return tq_syslib_get_bbox_info(record); }},
	{"bbox data", 0x90F1, true, [] { return tq_syslib_get_bbox_data(record); }},
	{"bbox start", 0x90F2, false, tq_syslib_start_update_bbox_this_time},
	{"bbox stop", 0x90F3, false, tq_syslib_stop_update_bbox_this_time},
	{"bbox state", 0x90F4, true, [] { return tq_syslib_get_update_bbox_this_time(record); }},
};

} // namespace

TEST_F(diag_test, each_issues_its_number_with_the_callers_pointer_or_nothing)
{
	for (const diag_row &row : rows) {
		tqsys_module_clear_requests();
		EXPECT_EQ(row.call(), 0) << row.name;
		tqsys_request r = only_request();
		EXPECT_EQ(r.cmd, row.cmd) << row.name;
		if (row.takes_record) {
			EXPECT_EQ(r.arg, reinterpret_cast<uintptr_t>(record)) << row.name;
			EXPECT_GT(r.len, 0u) << row.name;
		}
	}
}

TEST_F(diag_test, any_nonzero_result_is_logged_at_level_3_and_returned_unchanged)
{
	for (const diag_row &row : rows) {
		for (int rc : {-1, -5, 1, 77}) {
			reports.clear();
			inject(row.cmd, rc);
			EXPECT_EQ(row.call(), rc) << row.name;
			auto all = reports.all();
			ASSERT_FALSE(all.empty()) << row.name;
			const report &r = all.back();
			EXPECT_EQ(r.channel, TQRT_LOG) << row.name;
			EXPECT_EQ(r.level, 3) << row.name;
			EXPECT_EQ(r.fmt, "syslib ioctl %d failed, rc = %d\n");
			EXPECT_EQ(r.text, "syslib ioctl " + std::to_string(row.cmd) + " failed, rc = " +
						  std::to_string(rc) + "\n");
		}
	}
}

TEST_F(diag_test, crash_test_writes_the_flash_line_first_even_when_the_command_fails)
{
	const char line[] = "syslib ioctl TQ_SYS_IOCTL_TEST_CRASH_KERNEL.\n";
	ASSERT_EQ(tq_syslib_crash_kernel(), 0);
	report flash = reports.only();
	EXPECT_EQ(flash.channel, TQRT_FLASH);
	EXPECT_EQ(flash.level, 5);
	EXPECT_EQ(flash.fmt, line);

	reports.clear();
	inject(0x90FF, -1);
	EXPECT_EQ(tq_syslib_crash_kernel(), -1);
	auto all = reports.all();
	ASSERT_EQ(all.size(), 2u);
	EXPECT_EQ(all[0].channel, TQRT_FLASH);
	EXPECT_EQ(all[1].text, "syslib ioctl 37119 failed, rc = -1\n");

	// The module only notes the request, in the trace and the black box.
	tqsys_kernel_trace trace{};
	ASSERT_EQ(tq_syslib_get_kernel_trace(&trace), 0);
	EXPECT_STREQ(trace.text, TQSYS_CRASH_TRACE_LINE);
	tqsys_bbox_info info{};
	ASSERT_EQ(tq_syslib_get_bbox_info(&info), 0);
	EXPECT_EQ(info.crash_tests, 1u);
}

TEST_F(diag_test, guard_stops_all_twelve_and_the_flash_line)
{
	tq_syslib_exit();
	for (const diag_row &row : rows)
		EXPECT_EQ(row.call(), -1) << row.name;
	EXPECT_TRUE(requests().empty());
	auto all = reports.all();
	ASSERT_EQ(all.size(), 12u);
	for (const report &r : all) {
		EXPECT_EQ(r.channel, TQRT_ERR);
		EXPECT_EQ(r.fmt, "syslib not initialized\n");
	}
}

TEST_F(diag_test, records_round_trip_through_the_module)
{
	tqsys_reboot_info in{};
	in.reason = 3;
	std::strcpy(in.note, "watchdog");
	ASSERT_EQ(tq_syslib_set_reboot_info(&in), 0);
	tqsys_reboot_info out{};
	ASSERT_EQ(tq_syslib_get_reboot_info(&out), 0);
	EXPECT_EQ(out.reason, 3u);
	EXPECT_EQ(out.count, 1u);
	EXPECT_EQ(out.magic_done, 1u);
	EXPECT_STREQ(out.note, "watchdog");
	ASSERT_EQ(tq_syslib_clear_magic_done(), 0);
	ASSERT_EQ(tq_syslib_get_reboot_info(&out), 0);
	EXPECT_EQ(out.magic_done, 0u);
	EXPECT_EQ(out.reason, 3u);

	// A null record reaches the module, which refuses it.
	reports.clear();
	tqsys_module_clear_requests();
	EXPECT_EQ(tq_syslib_get_bbox_info(nullptr), -1);
	EXPECT_EQ(only_request().arg, 0u);
	EXPECT_EQ(reports.only().text, "syslib ioctl 37104 failed, rc = -1\n");
}
