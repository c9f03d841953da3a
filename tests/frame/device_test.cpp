// Opening, guarding and closing the control device.
#include "harness.h"

using namespace syslib_test;

// The first test of the program: nothing was initialised before it.
TEST(frame_test, device_opened_once_closed_once_and_guarded_without_it)
{
	EXPECT_EQ(tq_syslib_exit(), 0);
	int input = fcntl(0, F_DUPFD_CLOEXEC, 3);
	ASSERT_GE(input, 0) << "descriptor 0 is closed: by exit before any init?";
	close(0);  // the board, then the device get descriptor 0
	EXPECT_EQ(tq_syslib_hwdog_activate(), 0);
	tqsys_module_fail_next_setfd(EBADF);  // the failed attempt's descriptor 0 is closed on retry
	EXPECT_EQ(tq_syslib_init(), -1);
	ASSERT_EQ(tq_syslib_init(), 0);
	EXPECT_EQ(fcntl(0, F_GETFL) & (O_ACCMODE | O_NONBLOCK), O_RDWR | O_NONBLOCK);
	EXPECT_EQ(fcntl(0, F_GETFD), FD_CLOEXEC);
	fcntl(0, F_SETFD, 0);  // opening again would set it again
	EXPECT_EQ((std::pair{tq_syslib_init(), fcntl(0, F_GETFD)}), (std::pair{0, 0}));
	EXPECT_EQ((std::pair{tq_syslib_exit(), fcntl(0, F_GETFD)}), (std::pair{0, -1}));
	EXPECT_EQ(dup2(input, 0), 0);  // the number taken again: a second exit must leave it
	EXPECT_EQ((std::pair{tq_syslib_exit(), fcntl(0, F_GETFD)}), (std::pair{0, 0}));
	close(input);
	clear_reports();
	EXPECT_EQ(tq_syslib_filter_del(1), -1);
	tqsys_module_set_absent(TQSYS_DEV_CONTROL, 1);
	EXPECT_EQ(tq_syslib_init(), -1);
	EXPECT_EQ(reported(), (std::vector<std::string>{"err: syslib not initialized\n",
							 "err: open device /dev/tq_sys failed\n"}));
	REQUIRE_SANDBOX();
	EXPECT_EQ(tq_sys_ready(), 0);
	ASSERT_TRUE(write_file("/tmp/pm_cli_ready", ""));
	EXPECT_EQ(tq_sys_ready(), 1);
}
