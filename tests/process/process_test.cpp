// Pid files, threads under a scheduling policy, signal masks, and
// daemons looked at from outside through /proc.
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace syslib_test;

namespace {

// Daemons come back to this program, to be reaped.
const int reaper = prctl(PR_SET_CHILD_SUBREAPER, 1);

std::pair<int, int> scheduling_of(pthread_t t)
{
	int policy = -1;
	sched_param p{};
	pthread_getschedparam(t, &policy, &p);
	return {policy, p.sched_priority};
}

struct seen {
	pthread_t self{};
	std::pair<int, int> sched{-1, -1};
};

void *record(void *arg)
{
	auto *s = static_cast<seen *>(arg);
	s->sched = scheduling_of(s->self = pthread_self());
	return nullptr;
}

std::string link_of(const std::string &path)
{
	std::error_code none;
	return std::filesystem::read_symlink(path, none).string();
}

} // namespace

TEST(process_test, a_pid_file_holds_a_number_from_its_first_character)
{
	const std::string path = scratch_dir() + "/daemon.pid", at = " pid file " + path + ": [",
			  ch = "err: Unexpected character in" + at, co = "err: Unexpected content in" + at;
	for (auto [text, pid, report] :
	     {std::tuple{"9\n", 9, std::string()}, {"1", 1, ""}, {"123abc", 123, ""}, {"99999999999", std::atoi("99999999999"), ""},
	      {"000000000000042999", 42, ""}, {"abc", -1, ch + "abc]\n"}, {" 12", -1, ch + " 12]\n"},
	      {"x234567890123456789", -1, ch + "x23456789012345]\n"}, {"0", -1, co + "0]\n"}, {"", -1, "err: Error reading pid file " + path + "\n"}}) {
		ASSERT_TRUE(write_file(path, text));
		clear_reports();
		EXPECT_EQ(tq_read_pid_file(path.c_str()), pid) << text;
		EXPECT_EQ(reported(), std::vector<std::string>(!report.empty(), report)) << text;
	}
	clear_reports();
	EXPECT_EQ((std::tuple{tq_read_pid_file(nullptr), tq_read_pid_file(""), tq_read_pid_file("/none"), reported()}),
		  (std::tuple{-1, -1, -1, std::vector<std::string>{"err: Error opening pid file /none\n"}}));
}

TEST(process_test, threads_run_under_the_policy_asked_for)
{
	for (auto [policy, priority, inherit, rc, want] :
	     {std::tuple{SCHED_OTHER, 50, 0, 0, std::pair{SCHED_OTHER, 0}}, {SCHED_FIFO, 10, 1, 0, {SCHED_OTHER, 0}},
	      {SCHED_FIFO, 10, 0, 0, {SCHED_FIFO, 10}}, {SCHED_RR, 5, 0, 0, {SCHED_RR, 5}}, {SCHED_RR, 100, 0, EINVAL, {-1, -1}},
	      {SCHED_BATCH, 0, 0, EINVAL, {-1, -1}}, {-1, 0, 0, EINVAL, {-1, -1}}}) {
		seen s;
		pthread_t tid = pthread_self();
		clear_reports();
		int got = tq_pthread_create(&tid, record, &s, policy, priority, inherit);
		if (got == EPERM && want.first != SCHED_OTHER)
			continue;  // no right to real-time policies here
		ASSERT_EQ(got, rc) << policy << " " << priority;
		EXPECT_EQ(rc ? 0 : pthread_join(tid, nullptr), 0);
		EXPECT_TRUE(pthread_equal(tid, rc ? pthread_self() : s.self));
		EXPECT_EQ(s.sched, want);
		EXPECT_EQ(reported(), std::vector<std::string>(priority == 100, "err: TQ_CHECK_RC failed, rc = 22"));
	}
}

TEST(process_test, scheduling_changes_to_time_sharing_or_round_robin_only)
{
	std::thread([] {
		pthread_t self = pthread_self();
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_FIFO, 10), EINVAL);
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_BATCH, 0), EINVAL);
		int rr = tq_pthread_setschedparam(self, SCHED_RR, 7);  // EPERM without the right
		EXPECT_EQ(scheduling_of(self), (rr ? std::pair{SCHED_OTHER, 0} : std::pair{SCHED_RR, 7})) << rr;
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_OTHER, 50), 0);
		EXPECT_EQ(scheduling_of(self), (std::pair{SCHED_OTHER, 0}));
	}).join();
}

TEST(process_test, masks_change_for_the_calling_thread)
{
	std::thread([] {
		auto blocked = [](int signo) {
			sigset_t now;
			pthread_sigmask(SIG_BLOCK, nullptr, &now);
			return sigismember(&now, signo) == 1;
		};
		EXPECT_EQ(tq_signal_mask(1, SIGUSR1) + tq_signal_mask(1, SIGALRM) + tq_signal_mask(0, SIGALRM) + tq_signal_mask(1, 1000), 0);
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
		int sleeps = 0;
		tqrt_set_sleep([](int s, int us, void *n) { *static_cast<int *>(n) += s == 0 && us == 100000 ? 1 : 1000; }, &sleeps);
		char *argv[] = {const_cast<char *>("probe"), nullptr};
		// Longer than a kernel name: the daemon that cannot run carries it cut short.
		_exit(tq_daemonize_program("/nonexistent/tq_launch_probe_never_found", argv, 0, 1) == -1 && sleeps == 50 ? 0 : 1);
	}
	int status = -1;
	EXPECT_EQ(waitpid(launcher, &status, 0), launcher);
	EXPECT_EQ((std::pair{status, reported()}), (std::pair{0, std::vector<std::string>{}})) << "-1 after 50 sleeps of 100 ms";
	// The daemon is still a zombie of this program (where qemu lets it be a
	// subreaper): the name it was given before the exec is readable.
	siginfo_t daemon{};
	std::string stat = reaper == 0 && waitid(P_ALL, 0, &daemon, WEXITED | WNOWAIT) == 0
				   ? read_file("/proc/" + std::to_string(daemon.si_pid) + "/stat") : "(tq_launch_probe)";
	EXPECT_EQ(stat.substr(stat.find('('), 17), "(tq_launch_probe)");
	while (wait(nullptr) > 0) {
	}
}

TEST(process_test, daemons_run_detached)
{
	const std::string marker = scratch_dir() + "/marker";
	ASSERT_TRUE(write_file(marker, ""));
	for (bool program : {false, true})
		for (int keep : {0, 1}) {
			SCOPED_TRACE(std::string(program ? "program" : "caller") + (keep ? " keeping" : ""));
			const std::string name = "tqd" + std::to_string(program * 2 + keep) + "_" + std::to_string(getpid()),
					  link = scratch_dir() + "/" + name;
			ASSERT_EQ(symlink("/bin/sleep", link.c_str()), 0);
			char *argv[] = {const_cast<char *>(name.c_str()), const_cast<char *>("60"), nullptr};
			std::fflush(nullptr);
			pid_t caller = fork();
			if (caller == 0) {  // launches from its own stdio, cwd, mask, policy and umask
				const int kept = dup2(open(marker.c_str(), O_RDWR), 40);
				for (int n = 0; n < 64; ++n)  // stdio and 40 on the marker, nothing else open
					n < 3 ? dup2(kept, n) : close(n == kept ? -1 : n);
				sched_param p{};
				if (chdir(scratch_dir().c_str()) || tq_signal_mask(1, SIGALRM) || sched_setscheduler(0, SCHED_BATCH, &p))
					_exit(9);
				umask(0);
				// 10 + what the launcher returns; the caller turned daemon runs the same program.
				_exit(program ? 10 + tq_daemonize_program(link.c_str(), argv, keep, keep) : tq_daemonize(keep, keep) || execv(link.c_str(), argv));
			}
			int status = -1;
			EXPECT_EQ(waitpid(caller, &status, 0), caller);
			EXPECT_EQ(status, program ? 10 << 8 : 0) << "the launcher returns 0; a daemonized caller exits";
			pid_t pid = 0;
			auto proc = [&](const char *entry) { return "/proc/" + std::to_string(pid) + entry; };
			// Looked at once the program sleeps: after the exec and its loading.
			for (int i = 0; i < 5000 && (read_file(proc("/cmdline")) != name + '\0' + "60" + '\0' ||
						     read_file(proc("/stat")).find(") S ") == std::string::npos); ++i, usleep(1000))
				tq_process_exist(name.c_str(), &pid);
			ASSERT_GT(pid, 0);
			const std::string status_text = read_file(proc("/status"));
			EXPECT_NE(getsid(pid), getsid(0));
			EXPECT_EQ(getsid(pid) == pid, !program) << "only the daemonized caller leads its session";
			EXPECT_NE(status_text.find("Umask:\t0027\n"), std::string::npos);
			EXPECT_EQ(link_of(proc("/cwd")), keep ? scratch_dir() : "/");
			EXPECT_EQ(sched_getscheduler(pid), program ? SCHED_OTHER : SCHED_BATCH);
			uint64_t blocked = std::stoull(status_text.substr(status_text.find("SigBlk:\t") + 8, 16), nullptr, 16);
			EXPECT_EQ(blocked >> (SIGALRM - 1) & 1, program ? 0u : 1u) << "SIGALRM";
			for (int fd = 0; fd < 64; ++fd)
				EXPECT_EQ(link_of(proc("/fd/") + std::to_string(fd)),
					  fd < 3 ? (keep ? marker : "/dev/null") : fd == 40 && (keep || !program) ? marker : "") << fd;
			kill(pid, SIGKILL);
		}
	while (wait(nullptr) > 0) {
	}
}
