// Every failure of a call the library makes, one row each: which call
// fails, what the function then returns and reports, that it writes
// nothing to the caller, and that it leaves no descriptor or heap behind.
#include "harness.h"
#include "inject.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace syslib_test;

namespace {

// Out-parameters of every row, filled with a pattern before each call.
struct outs {
	uint32_t a, b;
	int first, second;
	pthread_t tid;
	tq_mem_proc_info_t info;
	tq_mem_system_info_t mem;
	tq_monitor_cfg_t cfg;
} o, pattern;
tq_mem_proc_info_list_t list;

const std::string pid = std::to_string(getpid());
std::string pid_file, runs_path;  // in the sandbox's scratch
char *launch_argv[] = {const_cast<char *>("syslib-never"), nullptr};
// Patterns just past and just within what the matchers keep on the stack.
const std::string long_text(300, 'a'), long_aa(129, 'a'), stack_aa(128, 'a'), long_star = '*' + long_aa + '*';
void *thread_body(void *) { return nullptr; }
const int elsewhere = -1;  // the fault fires in a forked process: the caller's errno is not its

// A program name of each launch's own: a daemon that an earlier row (or
// another run) started must not answer for this one.
const char *never_path()
{
	static char path[64];
	static int serial;
	std::snprintf(path, sizeof path, "/nonexistent/nv%d-%d", static_cast<int>(getpid()), ++serial);
	return path;
}

// tq_daemonize ends its caller: it runs in a child, and whichever process
// returns from it hands its result over in shared memory.
int in_child(int (*fn)())
{
	static auto *slot = static_cast<int *>(
		mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
	*slot = INT_MIN;
	std::fflush(nullptr);
	pid_t child = fork();
	if (child == 0) {
		*slot = fn();
		_exit(0);
	}
	waitpid(child, nullptr, 0);
	for (int i = 0; i < 2000 && *slot == INT_MIN; ++i)
		usleep(1000);
	return *slot;
}

// A /proc/meminfo whose MemFree line begins past the reader's first fill.
int free_mem_after_a_seek()
{
	fake_dir proc;
	proc.put("meminfo", std::string(1010, 'x') + "\nMemFree: 77 kB\n");
	return tq_mem_get_free_mem(&o.a);
}

struct row {
	fault f;
	int (*call)();
	int rc;
	std::vector<std::string> reports;
	bool writes = false;  // the call may write its out-parameters
	bool fires = true;    // false: the call must not reach the armed call at all
};

std::vector<row> rows()
{
	const std::string statm = "/proc/" + pid + "/statm", status = "/proc/" + pid + "/status";
	const std::string gone = "log 6: open file " + statm + " failed, maybe the process (pid:" + pid +
				 ") has exit.\n";
	const std::string unread = "log 3: Error read file " + statm + "\n", pid_err = "err: Error ";
	const std::string cpu = "err: ERROR: get system cpu information failed because can not open file "
				":/proc/stat!\n";
	const std::string rc_is = "err: TQ_CHECK_RC failed, rc = ";
	auto heap = [] { return tq_mem_get_proc_heap(getpid(), &o.a); };
	auto rss = [] { return tq_mem_get_proc_rss(getpid(), &o.a); };
	auto info = [] { return o.info.pid = getpid(), tq_mem_get_proc_info(&o.info); };
	auto memory = [] { return tq_mem_get_system_memory(&o.mem); };
	auto cpu_load = [] { return tq_sys_get_cpu_total_utilize(&o.a, &o.b); };
	auto create = [] { return tq_pthread_create(&o.tid, thread_body, nullptr, SCHED_OTHER, 0, 1); };
	auto launch = [] { return tq_daemonize_program(never_path(), launch_argv, 0, 0); };
	auto pid_of = [] { return tq_read_pid_file(pid_file.c_str()); };
	auto config = [] { return tq_monitor_read_config(&o.cfg, sizeof o.cfg); };
	auto group = [] { return tq_monitor_get_group_status(0, &o.first, &o.second); };
	// with a "?": a plain pattern needs no table
	auto find = [] { return tq_findingstring(long_text.c_str(), ('?' + long_aa).c_str(), 0); };
	auto find_within = [] { return tq_findingstring(long_text.c_str(), ('?' + stack_aa.substr(1)).c_str(), 0); };
	auto launch_runs = [] { return tq_daemonize_program(runs_path.c_str(), launch_argv, 0, 0); };
	auto match = [] { return tq_matchingstring(long_text.c_str(), long_star.c_str(), 0); };
	auto sched = [] { return tq_pthread_setschedparam(pthread_self(), SCHED_OTHER, 0); };
	return {
		{{"open", 1, -1, ENOENT}, tq_syslib_init, -1, {"err: open device /dev/tq_sys failed\n"}},
		{{"fcntl", 1, -1, EBADF}, tq_syslib_init, 0, {}},
		{{"fcntl", 2, -1, EBADF}, tq_syslib_init, 0, {}},
		{{"fcntl", 3, -1, EBADF}, tq_syslib_init, -1,
		 {"err: tq_sysdev_fd: set flag close-on-exec failed.\n"}},
		{{"access", 1, -1, ENOENT}, tq_sys_ready, 0, {}},
		{{"settimeofday", 1, -1, EPERM}, [] { return tq_syslib_settimeofday(nullptr, nullptr); }, -1,
		 {"err: syslib settimeofday failed.\n"}},
		{{"tq_open", 1, -1, ENOENT}, tq_syslib_hwdog_activate, -1,
		 {"err: open device /dev/board0 failed.\n"}},
		{{"tq_open", 1, -1, ENOENT}, tq_syslib_hwdog_deactivate, -1,
		 {"err: open device /dev/board0 failed.\n"}},
		{{"popen", 1, 0, EMFILE}, [] { return tq_syslib_check_port_valid(80); }, -1,
		 {"err: Check port (80) inused information failed."}},
		{{"tq_open", 1, -1, ENOENT}, heap, -1, {gone}, true},
		{{"tq_read", 1, 0, 0}, heap, -1, {unread}, true},
		{{"tq_open", 1, -1, ENOENT}, rss, -2, {gone}, true},
		{{"tq_read", 1, -1, EIO}, rss, -3, {unread}, true},
		{{"tq_open", 1, -1, ENOENT}, info, -1, {"log 3: Error open " + statm + "\n"}, true},
		{{"tq_read", 1, 0, 0}, info, -1, {"log 3: error in readline!\n"}, true},
		{{"tq_open", 2, -1, ENOENT}, info, -1, {"log 3: Error open " + status + "\n"}, true},
		{{"tq_open", 1, -1, ENOENT}, [] { return tq_mem_get_free_mem(&o.a); }, -1,
		 {"log 3: Error open /proc/meminfo"}},
		{{"lseek", 1, -1, ESPIPE}, free_mem_after_a_seek, 0,
		 {"err: tq_mem_readline: lseek failed!(Illegal seek)\n"}, true},
		{{"fopen", 1, 0, ENOENT}, memory, -1, {"err: error in open memory file1\n"}},
		{{"fgets", 1, 0, 0}, memory, -1, {"err: no memory totle info!\n"}},
		{{"fgets", 2, 0, 0}, memory, -1, {"err: no memory free info!\n"}, true},
		{{"fgets", 3, 0, 0}, memory, -1, {"err: no memory buff info!\n"}, true},
		{{"fgets", 4, 0, 0}, memory, -1, {"err: no memory cach info!\n"}, true},
		{{"statvfs", 1, -1, EIO}, memory, -1,
		 {"err: Get tmpfs status failed!\n", "err: Get tmps memory error!\n"}, true},
		{{"statvfs", 1, -1, EOVERFLOW}, [] { return tq_mem_get_fs_info("/", &o.a, &o.b); }, -1,
		 {"err: Get fs(/) status failed!\n"}},
		{{"fopen", 1, 0, ENOENT}, cpu_load, -1, {cpu}},
		{{"fopen", 2, 0, ENOENT}, cpu_load, -1, {cpu}},
		{{"opendir", 1, 0, EMFILE}, [] { list.count = 9; int rc = tq_mem_get_proc_info_list(&list); return rc - list.count; }, -1, {}},
		{{"tq_open", 1, -1, ENOENT}, pid_of, -1, {pid_err + "opening pid file " + pid_file + "\n"}},
		{{"tq_read", 1, 0, 0}, pid_of, -1, {pid_err + "reading pid file " + pid_file + "\n"}},
		{{"fork", 1, -1, EAGAIN}, [] { return tq_daemonize(1, 1); }, -1, {"err: fork failed!\n"}},
		{{"setsid", 1, -1, elsewhere}, [] { return in_child([] { return tq_daemonize(1, 1); }); }, -1,
		 {"err: setsid failed\n"}},
		{{"fork", 1, -1, EAGAIN}, launch, -1, {}},
		{{"waitpid", 1, -1, EINTR}, launch_runs, -1, {}},
		{{"getrlimit", 1, -1, elsewhere}, launch, -1, {"err: getrlimit() failed!\n"}},
		{{"fork", 2, -1, elsewhere}, launch, -1, {}},
		{{"pthread_attr_setschedpolicy", 1, EINVAL, 0}, create, EINVAL, {rc_is + "22"}},
		{{"pthread_attr_setschedparam", 1, EINVAL, 0}, create, EINVAL, {rc_is + "22"}},
		{{"pthread_attr_setinheritsched", 1, ENOTSUP, 0}, create, ENOTSUP,
		 {rc_is + std::to_string(ENOTSUP)}},
		{{"pthread_create", 1, EAGAIN, 0}, create, EAGAIN, {rc_is + std::to_string(EAGAIN)}},
		{{"pthread_setschedparam", 1, EPERM, 0}, sched, EPERM, {}},
		{{"pthread_sigmask", 1, EINVAL, 0}, [] { return tq_signal_mask(1, SIGUSR2); }, EINVAL, {}},
		{{"pthread_sigmask", 1, EINVAL, 0}, [] { return tq_signal_maskall(0); }, EINVAL, {}},
		{{"tq_open", 1, -1, ENOENT}, config, 0, {}, true},
		{{"tq_read", 1, 5, 0}, config, -1,
		 {"err: failed to read file(/etc/monitor.conf), return code: 5"}},
		{{"fopen", 1, 0, ENOENT}, group, -1, {}},
		{{"malloc", 1, 0, ENOMEM}, find, -1, {}},
		{{"malloc", 1, 0, ENOMEM}, find_within, 0, {}, false, false},
		{{"malloc", 1, 0, ENOMEM}, match, 0, {}},
	};
}

void sleep_not(int, int, void *) {}

TEST(faults, each_failure_returns_reports_and_leaves_nothing)
{
	REQUIRE_SANDBOX();
	pid_file = scratch_dir() + "/daemon.pid";
	runs_path = scratch_dir() + "/nv" + pid + "r";  // a program that runs for a second
	ASSERT_TRUE(write_file("/tmp/pm_cli_ready", "") && write_file(pid_file, "123\n") &&
		    write_file("/etc/monitor.conf", std::string(sizeof o.cfg, '\1')) &&
		    write_file("/etc/monitor_status.conf", "1 2\n") &&
		    write_file(runs_path, "#!/bin/sh\nsleep 1\n") && chmod(runs_path.c_str(), 0755) == 0);
	ASSERT_EQ(tqsys_module_use_state_dir((scratch_dir() + "/kstate").c_str()), 0);
	tqrt_set_sleep(sleep_not, nullptr);
	std::memset(&pattern, 0x5a, sizeof pattern);
	int n = 0;
	for (const row &r : rows()) {
		SCOPED_TRACE("row " + std::to_string(++n) + ": " + r.f.fn + " #" + std::to_string(r.f.nth));
		// The first round takes what the C library keeps for good.
		for (int round = 0; round < 2; ++round) {
			std::vector<std::string> fds = open_descriptors();
			size_t heap = mallinfo2().uordblks;
			o = pattern;
			clear_reports();
			arm(r.f);
			int rc = r.call(), err = errno;
			disarm();
			tq_syslib_exit();
			while (waitpid(-1, nullptr, WNOHANG) > 0) {
			}
			if (round == 0)
				continue;
			EXPECT_EQ(rc, r.rc);
			EXPECT_EQ(fired(), r.fires ? 1 : 0);
			EXPECT_TRUE(!r.fires || r.f.err == elsewhere || err == r.f.err) << "errno " << err;
			EXPECT_EQ(reported(), r.reports);
			EXPECT_TRUE(r.writes || std::memcmp(&o, &pattern, sizeof o) == 0) << "wrote out";
			EXPECT_EQ(mallinfo2().uordblks, heap) << "heap bytes left";
			EXPECT_EQ(open_descriptors(), fds);
		}
	}
	tqrt_set_sleep(nullptr, nullptr);
}

} // namespace
