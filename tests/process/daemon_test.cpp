// Daemons for real: the caller turned into one, and programs launched
// through the double fork and awaited by name. Each daemon is looked at
// from outside through /proc, then ended by its pid. This program is a
// child subreaper, so the daemons are re-parented to it and reaped before
// each test returns.
#include "reports.h"
#include "sandbox.h"

#include "tq_syslib.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace syslib_test;
using namespace std::chrono_literals;

namespace {

std::string read_all(const std::string &path)
{
	std::stringstream s;
	s << std::ifstream(path).rdbuf();
	return s.str();
}

std::string link_target(const std::string &path)
{
	char buf[PATH_MAX];
	ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
	return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

bool wait_for(const std::function<bool()> &ready)
{
	for (auto end = std::chrono::steady_clock::now() + 20s; !ready();
	     std::this_thread::sleep_for(5ms))
		if (std::chrono::steady_clock::now() > end)
			return false;
	return true;
}

// What another process runs with, as /proc shows it.
struct process_view {
	char state = '?';
	int ppid = 0, session = 0;
	std::string cwd, umask;
	std::map<int, std::string> fds;  // number to target
};

process_view look_at(pid_t pid)
{
	process_view v;
	const std::string proc = "/proc/" + std::to_string(pid);
	std::string stat = read_all(proc + "/stat");
	if (size_t paren = stat.rfind(')'); paren != std::string::npos)
		std::sscanf(stat.c_str() + paren + 1, " %c %d %*d %d", &v.state, &v.ppid, &v.session);
	v.cwd = link_target(proc + "/cwd");
	std::string status = read_all(proc + "/status");
	if (size_t at = status.find("Umask:\t"); at != std::string::npos)
		v.umask = status.substr(at + 7, 4);
	if (DIR *d = opendir((proc + "/fd").c_str())) {
		while (dirent *e = readdir(d))
			if (e->d_name[0] != '.')
				v.fds[std::atoi(e->d_name)] = link_target(proc + "/fd/" + e->d_name);
		closedir(d);
	}
	return v;
}

// qemu-user does not pass the subreaper request on; there the host's init
// adopts the daemons, and their end is awaited through /proc instead.
bool adopting = false;

void end_process(pid_t pid)
{
	ASSERT_GT(pid, 0);
	kill(pid, SIGKILL);
	if (waitpid(pid, nullptr, 0) == pid)
		return;
	EXPECT_FALSE(adopting) << "pid " << pid << " was not adopted";
	EXPECT_TRUE(wait_for([&] { return std::strchr("?ZX", look_at(pid).state); })) << pid;
}

// Host sleep under another name, found through its argv[0] or the link
// it was started through.
std::string named_sleep(const std::string &name)
{
	std::string link = scratch_dir() + "/" + name;
	unlink(link.c_str());
	EXPECT_EQ(symlink("/bin/sleep", link.c_str()), 0);
	return link;
}

pid_t start_named(const std::string &name)
{
	std::string link = named_sleep(name);
	std::fflush(nullptr);  // children must not write out our buffers
	pid_t pid = fork();
	if (pid == 0) {
		execl(link.c_str(), name.c_str(), "60", static_cast<char *>(nullptr));
		_exit(127);
	}
	EXPECT_TRUE(wait_for([&] { return tq_process_exist(name.c_str(), nullptr) == 0; }));
	return pid;
}

// Forks a caller with stdio on `marker` and its cwd in the scratch
// directory; returns its pid once it has exited, with 0 it is hoped.
pid_t run_caller(const std::string &marker, const std::function<void()> &body)
{
	std::fflush(nullptr);  // children must not write out our buffers
	pid_t caller = fork();
	if (caller == 0) {
		int fd = open(marker.c_str(), O_RDWR);
		for (int n = 0; n < 3; ++n)
			dup2(fd, n);
		if (chdir(scratch_dir().c_str()) == 0 && close(fd) == 0)
			body();
		_exit(3);
	}
	int status = -1;
	EXPECT_EQ(waitpid(caller, &status, 0), caller);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "caller's exit";
	return caller;
}

class daemon_test : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		adopting = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
#ifndef __powerpc__
		ASSERT_TRUE(adopting) << std::strerror(errno);
#endif
	}
	// First children, and daemons whose program did not start, end on
	// their own.
	void TearDown() override
	{
		EXPECT_TRUE(wait_for([] { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }))
			<< "a child process is still running";
	}
};

} // namespace

TEST_F(daemon_test, daemons_run_detached)
{
	const std::string name = "tqd_" + std::to_string(getpid());
	const std::string link = named_sleep(name), marker = scratch_dir() + "/stdio-marker";
	ASSERT_TRUE(write_file(marker, ""));
	const int kept_fd = 40, cloexec_fd = 41;  // free in this program
	ASSERT_EQ(fcntl(kept_fd, F_GETFD), -1);
	ASSERT_EQ(fcntl(cloexec_fd, F_GETFD), -1);

	// The caller turned into a daemon execs the same sleep, so that both
	// kinds are found and looked at alike.
	for (bool program : {false, true})
		for (int keep : {0, 1}) {
			SCOPED_TRACE(std::string(program ? "program" : "caller") + " keep " +
				     std::to_string(keep));
			char *argv[] = {const_cast<char *>(name.c_str()), const_cast<char *>("60"),
					nullptr};
			pid_t caller = run_caller(marker, [&] {
				dup2(0, kept_fd);
				dup3(0, cloexec_fd, O_CLOEXEC);
				umask(0);
				if (program)
					_exit(tq_daemonize_program(link.c_str(), argv, keep, keep) ? 1 : 0);
				if (tq_daemonize(keep, keep) == 0)
					execv(link.c_str(), argv);
				_exit(5);
			});
			pid_t daemon = 0;
			EXPECT_TRUE(!program || tq_process_exist(name.c_str(), nullptr) == 0)
				<< "seen at return";
			// The launcher sets the name before the exec; look once the
			// program runs.
			bool running = wait_for([&] {
				if (tq_process_exist(name.c_str(), &daemon) != 0)
					return false;
				std::string exe = link_target("/proc/" + std::to_string(daemon) + "/exe");
				return exe.ends_with("/sleep") && look_at(daemon).state == 'S';
			});
			process_view v = look_at(daemon);
			if (daemon > 0)
				end_process(daemon);
			ASSERT_TRUE(running);

			EXPECT_NE(v.ppid, caller);
			EXPECT_NE(v.session, getsid(0)) << "a session apart from the caller's";
			EXPECT_EQ(v.session == daemon, !program) << "only the caller leads its session";
			EXPECT_EQ(v.umask, "0027");
			EXPECT_EQ(v.cwd, keep ? scratch_dir() : "/");
			for (int fd = 0; fd < 3; ++fd)
				EXPECT_EQ(v.fds[fd], keep ? marker : "/dev/null") << fd;
			if (!program)
				continue;
			EXPECT_FALSE(v.fds.count(cloexec_fd)) << "close-on-exec descriptors do not survive";
			if (keep)
				EXPECT_EQ(v.fds[kept_fd], marker);
			else
				EXPECT_EQ(v.fds.rbegin()->first, 2) << v.fds.rbegin()->second;
		}
}

struct sleep_count {
	int count = 0, appear_after = 0;
	bool all_100ms = true;
	std::string name;
	pid_t named = 0;
};

// Makes the launcher's sleeps instant and counted; starts the named
// process after the chosen one.
void counted_sleep(int seconds, int microseconds, void *ctx)
{
	auto *s = static_cast<sleep_count *>(ctx);
	s->all_100ms &= seconds == 0 && microseconds == 100000;
	if (++s->count == s->appear_after)
		s->named = start_named(s->name);
}

TEST_F(daemon_test, launcher_polls_for_the_base_name_fifty_times)
{
	// Longer than the kernel's 15 characters: a daemon whose program
	// cannot start carries the name only cut short, so only the process
	// this test starts is found under the full name.
	const std::string name = "tq_launch_probe_" + std::to_string(getpid());
	const std::string path = "/nonexistent/dir/" + name;
	struct row {
		int appear_after;  // that many sleeps; -1: running before the call
		int rc, sleeps;
	};
	// Seen too late also shows that nothing is checked after the last sleep.
	for (const row &r : {row{-1, 0, 0}, row{49, 0, 49}, row{50, -1, 50}}) {
		SCOPED_TRACE("appears after " + std::to_string(r.appear_after));
		sleep_count s;
		s.appear_after = r.appear_after;
		s.name = name;
		if (r.appear_after < 0)
			s.named = start_named(name);
		tqrt_set_sleep(counted_sleep, &s);
		char *argv[] = {const_cast<char *>("probe"), nullptr};
		report_capture reports;
		EXPECT_EQ(tq_daemonize_program(path.c_str(), argv, 0, 1), r.rc);
		tqrt_set_sleep(nullptr, nullptr);
		EXPECT_EQ(s.count, r.sleeps);
		EXPECT_TRUE(s.all_100ms);
		EXPECT_EQ(reports.size(), 0u);
		if (s.named > 0)
			end_process(s.named);
	}
}

TEST_F(daemon_test, program_that_cannot_run_fails_after_the_full_wait)
{
	const std::string path = scratch_dir() + "/tq_not_an_executable";
	ASSERT_TRUE(write_file(path, "#!/bin/sh\n"));
	ASSERT_EQ(chmod(path.c_str(), 0644), 0);
	char *argv[] = {const_cast<char *>("tq_not_an_executable"), nullptr};
	auto start = std::chrono::steady_clock::now();
	EXPECT_EQ(tq_daemonize_program(path.c_str(), argv, 0, 0), -1);
	EXPECT_GE(std::chrono::steady_clock::now() - start, 5s) << "50 sleeps of 100 ms";
}
