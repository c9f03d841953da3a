// The commands outside the control device: hardware watchdog, clock, port.
#include "kmod.h"
#include "sandbox.h"

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>

using namespace syslib_test;

using admin_test = kmod_test;

TEST_F(admin_test, hwdog_needs_no_init_and_fails_on_any_nonzero_result)
{
	tq_syslib_exit();
	const struct {
		int (*call)();
		uint32_t cmd;
		const char *text;
	} rows[] = {{tq_syslib_hwdog_activate, 0x5004, "hwdog ioctl 5004 failed"},
		    {tq_syslib_hwdog_deactivate, 0x5005, "hwdog ioctl 5005 failed"}};
	for (const auto &row : rows) {
		tqsys_module_clear_requests();
		ASSERT_EQ(row.call(), 0);
		tqsys_request req = only_request();
		EXPECT_EQ(req.device, TQSYS_DEV_BOARD);
		EXPECT_EQ(req.cmd, row.cmd);
		EXPECT_EQ(req.arg, 0u);
		for (int rc : {1, -1}) {
			reports.clear();
			inject(row.cmd, rc, 0, nullptr, 0, TQSYS_DEV_BOARD);
			EXPECT_EQ(row.call(), -1) << row.text << " rc " << rc;
			report r = reports.only();
			EXPECT_EQ(r.fmt, "hwdog ioctl %x failed");
			EXPECT_EQ(r.text, row.text);
		}
	}
	reports.clear();
	tqsys_module_set_absent(TQSYS_DEV_BOARD, 1);
	EXPECT_EQ(tq_syslib_hwdog_deactivate(), -1);
	EXPECT_EQ(reports.only().text, "open device /dev/board0 failed.\n");
}

TEST_F(admin_test, settimeofday_reports_a_refused_time)
{
	timeval bad{0, 2000000};
	EXPECT_EQ(tq_syslib_settimeofday(&bad, nullptr), -1);
	EXPECT_EQ(reports.only().fmt, "syslib settimeofday failed.\n");
}

TEST(port_test, any_line_holding_the_digits_marks_the_port_in_use)
{
	// PATH holds grep and, after the first check, a netstat of known output.
	std::string dir = scratch_dir() + "/bin";
	ASSERT_EQ(run_shell("mkdir -p " + dir + " && ln -sf \"$(command -v grep)\" " + dir + "/grep"), 0);
	auto check = [&](int port) {
		std::string saved = getenv("PATH") ? getenv("PATH") : "";
		setenv("PATH", dir.c_str(), 1);
		int rc = tq_syslib_check_port_valid(port);
		setenv("PATH", saved.c_str(), 1);
		return rc;
	};
	EXPECT_EQ(check(18080), 0) << "without netstat nothing is in use";
	ASSERT_TRUE(write_file(dir + "/netstat", "#!/bin/sh\necho 'tcp 0 0 127.0.0.1:18080 0.0.0.0:* LISTEN'\n"));
	ASSERT_EQ(chmod((dir + "/netstat").c_str(), 0755), 0);
	EXPECT_EQ(check(18080), -1);
	EXPECT_EQ(check(27), -1) << "digits inside an address count";
	EXPECT_EQ(check(4444), 0);
}
