// Kernel diagnostic records: pass-through of the caller's pointer, raw
// results, the level-3 log, the crash test's flash line.
#include "checks.h"

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

TEST_F(diag_test, each_passes_the_callers_pointer_and_returns_any_nonzero_result_logged)
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
		for (int rc : {-1, -5, 77}) {
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
}

TEST_F(diag_test, guard_stops_all_twelve_and_the_flash_line)
{
	tq_syslib_exit();
	for (const diag_row &row : rows)
		EXPECT_EQ(row.call(), -1) << row.name;
	expect_guarded(reports, 12);
}

TEST_F(diag_test, a_null_record_reaches_the_module_which_refuses_it)
{
	EXPECT_EQ(tq_syslib_get_bbox_info(nullptr), -1);
	EXPECT_EQ(only_request().arg, 0u);
	EXPECT_EQ(reports.only().text, "syslib ioctl 37104 failed, rc = -1\n");
}
