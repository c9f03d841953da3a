// Every failure of a call the library makes, one row each: which call
// fails, what the function then returns and reports, that it writes
// nothing to the caller, and that it leaves no descriptor or heap behind.
#include "harness.h"
#include "inject.h"

#include <malloc.h>

using namespace syslib_test;

namespace {

// Out-parameters of every row, filled with a pattern before each call.
struct outs {
	uint32_t a, b;
	int first, second;
	pthread_t tid;
	tq_mem_proc_info_t info;
	tq_mem_system_info_t mem;
} o, pattern;
tq_mem_proc_info_list_t list;

const std::string pid = std::to_string(getpid());
std::string pid_file, runs_path;  // in the sandbox's scratch
char *launch_argv[] = {const_cast<char *>("syslib-never"), nullptr}, never[64];
int launches;
const int elsewhere = -1;  // the fault fires in a forked process: the caller's errno is not its
// Patterns just past and just within what the matchers keep on the stack.
const std::string long_text(300, 'a'), long_aa(129, 'a'), stack_aa(128, 'a'), long_star = '*' + long_aa + '*';

// tq_daemonize ends its caller: it runs in a child, and whichever process
// returns from it hands its result over in shared memory.
int in_child(int (*fn)())
{
	static auto *slot = static_cast<int *>(mmap(nullptr, 4, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
	*slot = INT_MIN;
	std::fflush(nullptr);
	if (pid_t child = fork(); child == 0)
		*slot = fn(), _exit(0);
	else
		waitpid(child, nullptr, 0);
	for (int i = 0; i < 2000 && *slot == INT_MIN; ++i)
		usleep(1000);
	return *slot;
}

// The call that fails, the function called, its result and reports, and
// whether it may write its out-parameters on that path.
struct row {
	fault f;
	int (*call)();
	int rc;
	std::vector<std::string> reports;
	bool writes = false;
};

// Failures the family tests cannot bring about with files and the module
// stand-in alone.
std::vector<row> rows()
{
	const std::string statm = "/proc/" + pid + "/statm", rc_is = "err: TQ_CHECK_RC failed, rc = ";
	auto memory = [] { return tq_mem_get_system_memory(&o.mem); };
	auto create = [] { return tq_pthread_create(&o.tid, [](void *) -> void * { return nullptr; }, nullptr, 0, 0, 1); };
	// a program of each launch's own: no daemon of an earlier one answers for it
	auto launch = [] {
		std::snprintf(never, sizeof never, "/nonexistent/nv%s-%d", pid.c_str(), ++launches);
		return tq_daemonize_program(never, launch_argv, 0, 0);
	};
	// with a "?": a plain pattern needs no table
	auto find = [] { return tq_findingstring(long_text.c_str(), ('?' + long_aa).c_str(), 0); };
	auto find_within = [] { return tq_findingstring(long_text.c_str(), ('?' + stack_aa.substr(1)).c_str(), 0); };
	auto launch_runs = [] { return tq_daemonize_program(runs_path.c_str(), launch_argv, 0, 0); };
	return {
		{{"fcntl", 1, -1, EBADF}, tq_syslib_init, 0, {}},
		{{"fcntl", 2, -1, EBADF}, tq_syslib_init, 0, {}},
		{{"fcntl", 3, -1, EBADF}, tq_syslib_init, -1, {"err: tq_sysdev_fd: set flag close-on-exec failed.\n"}},
		{{"tq_open", 1, -1, ENOENT}, tq_syslib_hwdog_deactivate, -1, {"err: open device /dev/board0 failed.\n"}},
		{{"popen", 1, 0, EMFILE}, [] { return tq_syslib_check_port_valid(80); }, -1,
		 {"err: Check port (80) inused information failed."}},
		// a negative read is a failure, never data
		{{"tq_read", 1, -1, EIO}, [] { return tq_mem_get_proc_rss(getpid(), &o.a); }, -3,
		 {"log 3: Error read file " + statm + "\n"}, true},
		{{"tq_read", 1, -1, EIO}, [] { return o.info.pid = getpid(), tq_mem_get_proc_info(&o.info); }, -1,
		 {"log 3: error in readline!\n"}, true},
		{{"tq_read", 1, -1, EIO}, [] { return tq_read_pid_file(pid_file.c_str()); }, -1,
		 {"err: Error reading pid file " + pid_file + "\n"}},
		{{"fgets", 1, 0, 0}, memory, -1, {"err: no memory totle info!\n"}},
		{{"fgets", 2, 0, 0}, memory, -1, {"err: no memory free info!\n"}, true},
		{{"fgets", 3, 0, 0}, memory, -1, {"err: no memory buff info!\n"}, true},
		{{"statvfs", 1, -1, EIO}, memory, -1,
		 {"err: Get tmpfs status failed!\n", "err: Get tmps memory error!\n"}, true},
		{{"opendir", 1, 0, EMFILE}, [] { list.count = 9; return tq_mem_get_proc_info_list(&list) - list.count; }, -1, {}},
		{{"fork", 1, -1, EAGAIN}, [] { return tq_daemonize(1, 1); }, -1, {"err: fork failed!\n"}},
		{{"setsid", 1, -1, elsewhere}, [] { return in_child([] { return tq_daemonize(1, 1); }); }, -1,
		 {"err: setsid failed\n"}},
		{{"fork", 1, -1, EAGAIN}, launch, -1, {}},
		// the daemon that cannot be put back on time-sharing never runs the program
		// (before the row below starts it for a second)
		{{"tq_sched_setscheduler", 1, -1, elsewhere}, launch_runs, -1, {}},
		{{"getrlimit", 1, -1, elsewhere}, launch_runs, -1, {"err: getrlimit() failed!\n"}},  // nothing started
		{{"waitpid", 1, -1, EINTR}, launch_runs, -1, {}},
		{{"fork", 2, -1, elsewhere}, launch, -1, {}},
		{{"pthread_attr_setschedpolicy", 1, EINVAL, 0}, create, EINVAL, {rc_is + "22"}},
		{{"pthread_attr_setschedparam", 1, EINVAL, 0}, create, EINVAL, {rc_is + "22"}},
		{{"pthread_attr_setinheritsched", 1, ENOTSUP, 0}, create, ENOTSUP, {rc_is + std::to_string(ENOTSUP)}},
		{{"pthread_create", 1, EAGAIN, 0}, create, EAGAIN, {rc_is + std::to_string(EAGAIN)}},
		{{"pthread_setschedparam", 1, EPERM, 0}, [] { return tq_pthread_setschedparam(pthread_self(), 0, 0); },
		 EPERM, {}},
		{{"pthread_sigmask", 1, EINVAL, 0}, [] { return tq_signal_mask(1, SIGUSR2); }, EINVAL, {}},
		{{"pthread_sigmask", 1, EINVAL, 0}, [] { return tq_signal_maskall(0); }, EINVAL, {}},
		{{"fopen", 1, 0, ENOENT}, [] { return tq_monitor_get_group_status(0, &o.first, &o.second); }, -1, {}},
		{{"malloc", 1, 0, ENOMEM}, find, -1, {}},
		{{"malloc", 1, 0, ENOMEM}, find_within, 0, {}},  // within the stack: no heap
		{{"malloc", 1, 0, ENOMEM}, [] { return tq_matchingstring(long_text.c_str(), long_star.c_str(), 0); },
		 0, {}},
	};
}

TEST(faults, each_failure_returns_reports_and_leaves_nothing)
{
	REQUIRE_SANDBOX();
	pid_file = scratch_dir() + "/daemon.pid";
	runs_path = scratch_dir() + "/nv" + pid + "r";  // a program that runs for a second
	ASSERT_TRUE(write_file(pid_file, "123\n") && write_file("/etc/monitor_status.conf", "1 2\n") &&
		    write_file(runs_path, "#!/bin/sh\nsleep 1\n") && chmod(runs_path.c_str(), 0755) == 0);
	ASSERT_EQ(tqsys_module_use_state_dir((scratch_dir() + "/kstate").c_str()), 0);
	tqrt_set_sleep([](int, int, void *) {}, nullptr);
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
			errno = r.f.err;  // what a failure leaves, also where the fault does not fire
			int rc = r.call(), err = errno;
			disarm();
			tq_syslib_exit();
			while (waitpid(-1, nullptr, WNOHANG) > 0) {
			}
			if (round == 0)
				continue;
			EXPECT_EQ(rc, r.rc);
			EXPECT_TRUE(r.f.err == elsewhere || err == r.f.err) << "errno " << err;
			EXPECT_EQ(reported(), r.reports);
			EXPECT_TRUE(r.writes || std::memcmp(&o, &pattern, sizeof o) == 0) << "wrote out";
			EXPECT_EQ(mallinfo2().uordblks, heap) << "heap bytes left";
			EXPECT_EQ(open_descriptors(), fds);
		}
	}
	tqrt_set_sleep(nullptr, nullptr);
}

} // namespace
