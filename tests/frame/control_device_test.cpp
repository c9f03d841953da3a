// Opening, guarding and closing the control device.
#include "kmod.h"
#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace syslib_test;

namespace {

// Descriptors of this process that refer to the control device.
std::vector<int> device_fds()
{
	std::vector<int> fds;
	DIR *d = opendir("/proc/self/fd");
	if (!d)
		return fds;
	int self = dirfd(d);
	while (dirent *e = readdir(d)) {
		if (e->d_name[0] == '.')
			continue;
		int fd = std::stoi(e->d_name);
		if (fd != self && tqsys_module_device_of(fd) == TQSYS_DEV_CONTROL)
			fds.push_back(fd);
	}
	closedir(d);
	return fds;
}

int open_fd_count()
{
	int n = 0;
	DIR *d = opendir("/proc/self/fd");
	while (d && readdir(d))
		++n;
	if (d)
		closedir(d);
	return n;
}

class control_device : public kmod_test {
protected:
	void SetUp() override
	{
		init_in_setup = false;
		kmod_test::SetUp();
	}
};

} // namespace

TEST_F(control_device, ready_follows_the_marker_file_whether_or_not_initialised)
{
	REQUIRE_SANDBOX();
	unlink("/tmp/pm_cli_ready");
	EXPECT_EQ(tq_sys_ready(), 0);
	ASSERT_TRUE(write_file("/tmp/pm_cli_ready", ""));
	EXPECT_EQ(tq_sys_ready(), 1);
	ASSERT_EQ(tq_syslib_init(), 0);
	EXPECT_EQ(tq_sys_ready(), 1);
	unlink("/tmp/pm_cli_ready");
	EXPECT_EQ(tq_sys_ready(), 0);
	EXPECT_EQ(reports.size(), 0u);
}

TEST_F(control_device, init_opens_read_write_non_blocking_close_on_exec_once)
{
	ASSERT_EQ(tq_syslib_init(), 0);
	auto fds = device_fds();
	ASSERT_EQ(fds.size(), 1u);
	int fl = fcntl(fds[0], F_GETFL);
	EXPECT_EQ(fl & O_ACCMODE, O_RDWR);
	EXPECT_TRUE(fl & O_NONBLOCK);
	EXPECT_EQ(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
	ASSERT_EQ(tq_syslib_init(), 0);
	EXPECT_EQ(device_fds(), fds) << "a second init keeps the descriptor";
	EXPECT_EQ(reports.size(), 0u);
}

TEST_F(control_device, exec_does_not_inherit_the_descriptor)
{
	ASSERT_EQ(tq_syslib_init(), 0);
	auto fds = device_fds();
	ASSERT_EQ(fds.size(), 1u);
	std::string probe = "[ -e /proc/$$/fd/" + std::to_string(fds[0]) + " ] && exit 7; exit 0";
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		execl("/bin/sh", "sh", "-c", probe.c_str(), static_cast<char *>(nullptr));
		_exit(99);
	}
	int status = 0;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_TRUE(WIFEXITED(status));
	EXPECT_EQ(WEXITSTATUS(status), 0) << "descriptor " << fds[0] << " survived exec";
}

TEST_F(control_device, missing_device_fails_init_and_keeps_the_guard_closed)
{
	tqsys_module_set_absent(TQSYS_DEV_CONTROL, 1);
	EXPECT_EQ(tq_syslib_init(), -1);
	report r = reports.only();
	EXPECT_EQ(r.channel, TQRT_ERR);
	EXPECT_EQ(r.fmt, "open device %s failed\n");
	EXPECT_EQ(r.text, "open device /dev/tq_sys failed\n");

	reports.clear();
	uint32_t count = 77;
	EXPECT_EQ(tq_syslib_filter_get_cnt(&count), -1);
	EXPECT_EQ(count, 77u);
	EXPECT_EQ(reports.only().fmt, "syslib not initialized\n");
	EXPECT_TRUE(requests().empty());
	EXPECT_TRUE(device_fds().empty());
}

TEST_F(control_device, close_on_exec_failure_keeps_guard_closed_and_retry_does_not_leak)
{
	tqsys_module_fail_next_setfd(EIO);
	EXPECT_EQ(tq_syslib_init(), -1);
	EXPECT_EQ(reports.only().fmt, "tq_sysdev_fd: set flag close-on-exec failed.\n");
	EXPECT_EQ(device_fds().size(), 1u) << "descriptor stays open and recorded";

	reports.clear();
	EXPECT_EQ(tq_syslib_filter_del(1), -1);
	EXPECT_EQ(reports.only().fmt, "syslib not initialized\n");
	EXPECT_TRUE(requests().empty());

	reports.clear();
	EXPECT_EQ(tq_syslib_init(), 0);
	EXPECT_EQ(device_fds().size(), 1u);
	EXPECT_EQ(reports.size(), 0u);
}

TEST_F(control_device, exit_without_init_closes_nothing)
{
	int before = open_fd_count();
	EXPECT_EQ(tq_syslib_exit(), 0);
	EXPECT_EQ(open_fd_count(), before);
}

TEST_F(control_device, exit_closes_and_commands_stop_at_the_guard)
{
	ASSERT_EQ(tq_syslib_init(), 0);
	ASSERT_EQ(device_fds().size(), 1u);
	EXPECT_EQ(tq_syslib_exit(), 0);
	EXPECT_TRUE(device_fds().empty());
	EXPECT_EQ(tq_syslib_exit(), 0);

	uint32_t count = 5;
	EXPECT_EQ(tq_syslib_filter_get_cnt(&count), -1);
	EXPECT_EQ(count, 5u);
	EXPECT_TRUE(requests().empty());
	EXPECT_EQ(tq_syslib_init(), 0) << "the device can be opened again";
	EXPECT_EQ(tq_syslib_filter_get_cnt(&count), 0);
	EXPECT_EQ(count, 0u);
}
