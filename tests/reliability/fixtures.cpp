#include "fixtures.h"

#include "sandbox.h"

#include <csignal>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace syslib_test {

fixed_world::fixed_world()
{
	if (!in_sandbox())
		return;
	const std::string &dir = scratch_dir();
	meminfo_ = dir + "/meminfo.fixture";
	stat_ = dir + "/stat.fixture";
	pid_file_ = dir + "/daemon.pid";
	bad_pid_file_ = dir + "/bad.pid";
	fs_dir_ = dir + "/fixed-fs";
	bool files = write_file(meminfo_, "MemTotal:         254196 kB\n"
					  "MemFree:           81232 kB\n"
					  "Buffers:            6120 kB\n"
					  "Cached:            61004 kB\n"
					  "SwapCached:            0 kB\n") &&
		     write_file(stat_, "cpu  4705 150 1120 16250 520 30 70 0 0 0\n"
				       "cpu0 4705 150 1120 16250 520 30 70 0 0 0\n") &&
		     write_file(pid_file_, "417\n") && write_file(bad_pid_file_, " 12\n") &&
		     write_file("/etc/monitor.conf", std::string(600, '\x5a')) &&
		     write_file("/etc/monitor_status.conf", "5 7\n1 2\n3 4\n");
	mkdir(fs_dir_.c_str(), 0755);
	bool fs = mount("tmpfs", fs_dir_.c_str(), "tmpfs", 0, "size=4m") == 0;
	if (!files || !fs)
		return;
	if (!bind_over(meminfo_, "/proc/meminfo"))
		return;
	if (!bind_over(stat_, "/proc/stat")) {
		unbind("/proc/meminfo");
		return;
	}
	bound_ = true;
	child_ = fork();
	if (child_ == 0) {
		for (;;)
			pause();
	}
	if (child_ < 0)
		return;
	// Stopped, its statm and status do not change between calls.
	kill(child_, SIGSTOP);
	int status;
	waitpid(child_, &status, WUNTRACED);
	ok_ = true;
}

fixed_world::~fixed_world()
{
	if (child_ > 0) {
		kill(child_, SIGKILL);
		waitpid(child_, nullptr, 0);
	}
	if (bound_) {
		unbind("/proc/meminfo");
		unbind("/proc/stat");
	}
	if (!fs_dir_.empty()) {
		umount2(fs_dir_.c_str(), MNT_DETACH);
		unlink("/etc/monitor.conf");
		unlink("/etc/monitor_status.conf");
	}
}

} // namespace syslib_test
