// Pid files, threads under a scheduling policy, signal masks, and
// daemons looked at from outside through /proc.
#include "../faults/inject.h"
#include "harness.h"

using namespace syslib_test;

namespace {

// Daemons come back to this program, to be reaped.
const int reaper = prctl(PR_SET_CHILD_SUBREAPER, 1);
using strings = std::vector<std::string>;

std::pair<int, int> scheduling_of(pthread_t t)
{
	std::pair<int, int> got{-1, 0};
	pthread_getschedparam(t, &got.first, reinterpret_cast<sched_param *>(&got.second));
	return got;
}

// A new thread's id and scheduling, as the thread sees them.
using seen = std::pair<pthread_t, std::pair<int, int>>;

} // namespace

TEST(process_test, a_pid_file_holds_a_number_from_its_first_character)
{
	const std::string path = scratch_dir() + "/daemon.pid", at = " pid file " + path + ": [";
	const std::string ch = "err: Unexpected character in" + at, co = "err: Unexpected content in" + at;
	// The number is read from the first 15 bytes only.
	for (auto [text, pid, report] :
	     {std::tuple{"9\n", 9, std::string()}, {"1", 1, ""}, {"000000000000042999", 42, ""},
	      {" 12", -1, ch + " 12]\n"}, {"x234567890123456789", -1, ch + "x23456789012345]\n"},
	      {"0", -1, co + "0]\n"}, {"", -1, "err: Error reading pid file " + path + "\n"},
	      // past int: saturated, as the device's atoi gives it, on every host
	      {"4294967297", INT_MAX, ""}, {"2147483648", INT_MAX, ""}}) {
		ASSERT_TRUE(write_file(path, text));
		clear_reports();
		EXPECT_EQ(tq_read_pid_file(path.c_str()), pid) << text;
		EXPECT_EQ(reported(), strings(!report.empty(), report)) << text;
	}
	clear_reports();
	EXPECT_EQ(tq_read_pid_file(nullptr) + tq_read_pid_file("") + tq_read_pid_file("/none"), -3);
	EXPECT_EQ(reported(), strings{"err: Error opening pid file /none\n"});
}

TEST(process_test, threads_run_under_the_policy_asked_for)
{
	for (auto [policy, priority, inherit, rc, policy_seen, priority_seen] :
	     {std::tuple{SCHED_OTHER, 50, 0, 0, SCHED_OTHER, 0}, {SCHED_FIFO, 10, 1, 0, SCHED_OTHER, 0},
	      {SCHED_FIFO, 10, 0, 0, SCHED_FIFO, 10}, {SCHED_RR, 5, 0, 0, SCHED_RR, 5},
	      {SCHED_RR, 100, 0, EINVAL, -1, -1}, {SCHED_BATCH, 0, 0, EINVAL, -1, -1}}) {
		seen s{{}, {-1, -1}};
		pthread_t tid = pthread_self();
		clear_reports();
		int got = tq_pthread_create(&tid, [](void *s) -> void * {
			return static_cast<seen *>(s)->second = scheduling_of(static_cast<seen *>(s)->first = pthread_self()), nullptr;
		}, &s, policy, priority, inherit);
		if (got == EPERM && policy_seen != SCHED_OTHER)
			continue;  // no right to real-time policies here
		ASSERT_EQ(got, rc) << policy << " " << priority;
		EXPECT_EQ(rc ? 0 : pthread_join(tid, nullptr), 0);
		EXPECT_TRUE(pthread_equal(tid, rc ? pthread_self() : s.first));
		EXPECT_EQ(s.second, (std::pair{policy_seen, priority_seen}));
		EXPECT_EQ(reported(), strings(priority == 100, "err: TQ_CHECK_RC failed, rc = 22"));
	}
	static std::atomic<bool> ran;  // a thread made without asking for its id
	EXPECT_EQ(tq_pthread_create(nullptr, [](void *) -> void * { return ran = true, nullptr; }, nullptr, 0, 0, 0), 0);
	while (!ran)
		std::this_thread::yield();
}

// Both change the calling thread only: a thread of its own here.
TEST(process_test, a_thread_changes_its_mask_and_its_scheduling_to_time_sharing_or_round_robin_only)
{
	std::thread([] {
		pthread_t self = pthread_self();
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_FIFO, 10), EINVAL);
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_BATCH, 0), EINVAL);
		int rr = tq_pthread_setschedparam(self, SCHED_RR, 7);  // EPERM without the right
		EXPECT_TRUE(rr == 0 || rr == EPERM) << rr;
		EXPECT_EQ(scheduling_of(self), (std::pair{rr ? SCHED_OTHER : SCHED_RR, rr ? 0 : 7})) << rr;
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_OTHER, 50), 0);
		EXPECT_EQ(scheduling_of(self), (std::pair{SCHED_OTHER, 0}));
		auto blocked = [](int signo) {
			sigset_t now;
			return pthread_sigmask(SIG_BLOCK, nullptr, &now) == 0 && sigismember(&now, signo) == 1;
		};
		EXPECT_EQ(tq_signal_mask(1, SIGUSR1) + tq_signal_mask(1, SIGALRM), 0);
		EXPECT_EQ(tq_signal_mask(0, SIGALRM) + tq_signal_mask(1, 1000), 0);
		EXPECT_TRUE(blocked(SIGUSR1) && !blocked(SIGALRM) && !blocked(SIGHUP));
		EXPECT_EQ(tq_signal_maskall(1), 0);
		EXPECT_TRUE(blocked(SIGHUP) && blocked(SIGCHLD) && blocked(SIGRTMIN + 2));
		EXPECT_EQ(tq_signal_maskall(0), 0);
		EXPECT_FALSE(blocked(SIGUSR1) || blocked(SIGHUP) || blocked(SIGRTMIN + 2));
	}).join();
}

TEST(process_test, a_program_that_never_runs_is_awaited_50_times_100_ms)
{
	clear_reports();
	std::fflush(nullptr);
	pid_t launcher = fork();  // so that a launcher that wrongly exits cannot end this program
	if (launcher == 0) {
		int sleeps = 0;  // 1 for each sleep of 100 ms, 1000 for any other
		tqrt_set_sleep([](int s, int us, void *n) { *static_cast<int *>(n) += s == 0 && us == 100000 ? 1 : 1000; }, &sleeps);
		char *argv[] = {const_cast<char *>("probe"), nullptr};
		// Longer than a kernel name and than the launcher's own name buffer:
		// the daemon that cannot run carries it cut short. Its name before
		// the exec fails is no sign of the program running: never found.
		bool all = true;
		for (int i = 0; i < 10 && all; ++i, sleeps = 0)
			all = tq_daemonize_program(("/nonexistent/tq_launch_probe" + std::string(70, '_')).c_str(),
						   argv, 0, 1) == -1 && sleeps == 50;
		// and the first child was waited for: no child is left to reap
		_exit(all && waitpid(-1, nullptr, WNOHANG) == -1 ? 0 : 1);
	}
	int status = -1;
	EXPECT_EQ(waitpid(launcher, &status, 0), launcher);
	// -1 after 50 sleeps of 100 ms, and no report
	EXPECT_EQ((std::pair{status, reported()}), (std::pair{0, strings{}}));
	// The daemon is still a zombie of this program (where qemu lets it be a
	// subreaper): it exited with 0, and the name it was given before the
	// exec is readable.
	siginfo_t daemon{};
	if (reaper == 0 && waitid(P_ALL, 0, &daemon, WEXITED | WNOWAIT) == 0) {
		const std::string stat = read_file("/proc/" + std::to_string(daemon.si_pid) + "/stat");
		EXPECT_EQ((std::tuple{daemon.si_code, daemon.si_status, stat.substr(stat.find('('), 17)}),
			  (std::tuple{int{CLD_EXITED}, 0, "(tq_launch_probe)"}));
	}
	while (wait(nullptr) > 0) {
	}
}

TEST(process_test, daemons_run_detached)
{
	const std::string marker = scratch_dir() + "/marker";
	ASSERT_TRUE(write_file(marker, ""));
	// loop: no close_range, a soft limit below 40 and a hard one above it
	int serial = getpid() * 8;
	for (auto [program, keep, no2, loop] : {std::tuple{false, 0, false, false}, {false, 0, true, false},
						{false, 1, false, false}, {true, 0, false, false},
						{true, 1, false, false}, {true, 0, false, true}}) {
		SCOPED_TRACE(std::string(program ? "program" : "caller") +
			     (keep ? " keeping" : no2 ? " without 2" : loop ? " closing one by one" : ""));
		// A name of this run and case only, short enough for the kernel.
		const std::string name = "tqd" + std::to_string(++serial);
		const std::string link = scratch_dir() + "/" + name, args = name + '\0' + "60" + '\0';
		ASSERT_EQ(symlink("/bin/sleep", link.c_str()), 0);
		char *argv[] = {const_cast<char *>(name.c_str()), const_cast<char *>("60"), nullptr};
		std::fflush(nullptr);
		pid_t caller = fork();
		if (caller == 0) {  // launches from its own stdio, cwd, mask, policy and umask
			const int kept = dup2(open(marker.c_str(), O_RDWR), 40);
			// 0 to 2 (or 0 and 1) and 40 on the marker, nothing else open:
			// without 2, /dev/null is opened on it and must stay there.
			for (int n = 0; n < 64; ++n)
				n < 3 - no2 ? dup2(kept, n) : close(n == kept ? -1 : n);
			sched_param p{};
			const rlimit limit{20, 64};
			if (chdir(scratch_dir().c_str()) || tq_signal_mask(1, SIGALRM) ||
			    sched_setscheduler(0, SCHED_BATCH, &p) || (loop && setrlimit(RLIMIT_NOFILE, &limit)))
				_exit(9);
			if (loop)
				arm({"close_range", 1, -1, ENOSYS});
			umask(0);
			// 10 + what the launcher returns; the caller turned daemon runs the same program.
			_exit(program ? 10 + tq_daemonize_program(link.c_str(), argv, keep, keep)
				      : tq_daemonize(keep, keep) || execv(link.c_str(), argv));
		}
		// The launcher returns 0; a daemonized caller exits.
		int status = -1;
		EXPECT_EQ((std::pair{waitpid(caller, &status, 0), status}), (std::pair{caller, program ? 10 << 8 : 0}));
		pid_t pid = 0;
		auto proc = [&](const std::string &entry) { return "/proc/" + std::to_string(pid) + entry; };
		auto target = [&](const std::string &entry, std::error_code none = {}) {
			return std::filesystem::read_symlink(proc(entry), none).string();
		};
		// Looked at once the program sleeps: after the exec and its loading.
		for (int i = 0; i < 5000 && (read_file(proc("/cmdline")) != args ||
					     read_file(proc("/stat")).find(") S ") == std::string::npos);
		     ++i, usleep(1000))
			tq_process_exist(name.c_str(), &pid);
		ASSERT_GT(pid, 0);
		const std::string st = read_file(proc("/status"));
		const uint64_t blocked = std::stoull(st.substr(st.find("SigBlk:\t") + 8, 16), nullptr, 16);
		// its own session (led only by a daemonized caller), umask, folder,
		// policy, and SIGALRM unblocked in a program
		EXPECT_EQ((std::tuple{getsid(pid) != getsid(0), getsid(pid) == pid, st.find("Umask:\t0027\n") != st.npos,
				      target("/cwd"), sched_getscheduler(pid), blocked >> (SIGALRM - 1) & 1}),
			  (std::tuple{true, !program, true, keep ? scratch_dir() : "/", program ? SCHED_OTHER : SCHED_BATCH,
				      program ? 0u : 1u}));
		const std::string stdio = keep ? marker : "/dev/null", fd40 = keep || !program ? marker : "";
		for (int fd = 0; fd < 64; ++fd)
			EXPECT_EQ(target("/fd/" + std::to_string(fd)), fd < 3 ? stdio : fd == 40 ? fd40 : "")
				<< fd;
		kill(pid, SIGKILL);
	}
	while (wait(nullptr) > 0) {
	}
}
