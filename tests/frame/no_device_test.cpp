// The library on a machine without the kernel module: no stand-in linked.
#include "reports.h"
#include "tq_syslib.h"

#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace syslib_test;

TEST(no_device, init_reports_the_path_and_every_command_stops_at_the_guard)
{
	if (access("/dev/tq_sys", F_OK) == 0)
		GTEST_SKIP() << "this machine has a /dev/tq_sys";
	report_capture reports;
	EXPECT_EQ(tq_syslib_init(), -1);
	report r = reports.only();
	EXPECT_EQ(r.channel, TQRT_ERR);
	EXPECT_EQ(r.text, "open device /dev/tq_sys failed\n");

	reports.clear();
	tq_sys_filter_t f{};
	f.key = 9;
	tq_sys_filter_t before = f;
	EXPECT_EQ(tq_syslib_filter_get(&f), -1);
	EXPECT_EQ(std::memcmp(&f, &before, sizeof f), 0);
	EXPECT_EQ(reports.only().text, "syslib not initialized\n");
	EXPECT_EQ(tq_syslib_exit(), 0);
}
