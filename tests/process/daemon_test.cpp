// Daemons for real: the caller turned into one, and programs launched
// through the double fork and awaited by name. This program is a child
// subreaper, so every daemon it starts is re-parented to it, can be ended
// by its pid and is reaped before the test returns.
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
#include <string>
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
	std::ifstream in(path);
	std::stringstream s;
	s << in.rdbuf();
	return s.str();
}

std::string link_target(const std::string &path)
{
	char buf[PATH_MAX];
	ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
	return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

int open_descriptors()
{
	int n = 0;
	if (DIR *d = opendir("/proc/self/fd")) {
		while (readdir(d))
			++n;
		closedir(d);
	}
	return n;
}

bool wait_for(const std::function<bool()> &ready, std::chrono::milliseconds limit)
{
	auto end = std::chrono::steady_clock::now() + limit;
	while (!ready()) {
		if (std::chrono::steady_clock::now() > end)
			return false;
		std::this_thread::sleep_for(5ms);
	}
	return true;
}

// Whether this program adopts the daemons it starts. qemu-user does not
// pass the subreaper request on; there the host's init adopts them, and
// they are ended by pid and awaited through /proc instead.
bool adopting = false;

bool running(pid_t pid)
{
	std::string stat = read_all("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = stat.rfind(')');
	return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' &&
	       stat[paren + 2] != 'X';
}

// Ends a process that this program started or adopted, and reaps it.
void end_process(pid_t pid)
{
	ASSERT_GT(pid, 0);
	kill(pid, SIGKILL);
	if (waitpid(pid, nullptr, 0) == pid)
		return;
	EXPECT_FALSE(adopting) << "pid " << pid << " was not adopted";
	EXPECT_TRUE(wait_for([&] { return !running(pid); }, 10s)) << "pid " << pid;
}

// Reaps the children that end on their own (first children, daemons whose
// program could not start); fails if one is still running.
void reap_children()
{
	bool all = wait_for([] {
		pid_t r = waitpid(-1, nullptr, WNOHANG);
		return r < 0 && errno == ECHILD;
	}, 10s);
	EXPECT_TRUE(all) << "a child process is still running";
}

// A process found by name through its argv[0]: host sleep started under
// another name. Returns once it can be seen.
pid_t start_named(const std::string &name)
{
	std::string argv0 = "/started/by/test/" + name;
	pid_t pid = fork();
	if (pid == 0) {
		execl("/bin/sleep", argv0.c_str(), "60", static_cast<char *>(nullptr));
		_exit(127);
	}
	EXPECT_TRUE(wait_for([&] { return tq_process_exist(name.c_str(), nullptr) == 0; }, 10s))
		<< name;
	return pid;
}

// Counts the launcher's sleeps and makes them instant; `on_sleep` runs
// after each one with its number.
class counted_sleeps {
public:
	explicit counted_sleeps(std::function<void(int)> on_sleep = {})
		: on_sleep_(std::move(on_sleep))
	{
		tqrt_set_sleep(&counted_sleeps::sleep, this);
	}
	~counted_sleeps() { tqrt_set_sleep(nullptr, nullptr); }
	int count = 0;
	bool all_100ms = true;

private:
	static void sleep(int seconds, int microseconds, void *ctx)
	{
		auto *self = static_cast<counted_sleeps *>(ctx);
		++self->count;
		self->all_100ms &= seconds == 0 && microseconds == 100000;
		if (self->on_sleep_)
			self->on_sleep_(self->count);
	}
	std::function<void(int)> on_sleep_;
};

// Leaves its pid and keeps its name until the test has seen the launch
// through; then it sleeps under another name, so that the test looks at
// it from outside without the shell's own descriptors. Its kernel name is
// its file name.
constexpr char probe_name[] = "tqd_probe";
constexpr char probe_script[] = R"(#!/bin/sh
echo $$ > "$1/pid.new"
mv "$1/pid.new" "$1/pid"
while [ ! -e "$1/go" ]; do sleep 0.05; done
exec sleep 60
)";

// Descriptor number to target, of another process.
std::map<int, std::string> descriptors_of(pid_t pid)
{
	std::map<int, std::string> fds;
	std::string dir = "/proc/" + std::to_string(pid) + "/fd";
	if (DIR *d = opendir(dir.c_str())) {
		while (dirent *e = readdir(d))
			if (e->d_name[0] != '.')
				fds[std::atoi(e->d_name)] = link_target(dir + "/" + e->d_name);
		closedir(d);
	}
	return fds;
}

std::string status_field(pid_t pid, const std::string &field)
{
	std::istringstream lines(read_all("/proc/" + std::to_string(pid) + "/status"));
	for (std::string line; std::getline(lines, line);)
		if (line.compare(0, field.size() + 1, field + ":") == 0)
			return line.substr(line.find_first_not_of(" \t", field.size() + 1));
	return "";
}

struct stat_fields {
	int ppid = 0, pgrp = 0, session = 0;
};

stat_fields parse_stat(const std::string &stat)
{
	stat_fields f;
	size_t paren = stat.rfind(')');
	if (paren != std::string::npos) {
		char state;
		std::sscanf(stat.c_str() + paren + 1, " %c %d %d %d", &state, &f.ppid, &f.pgrp,
			    &f.session);
	}
	return f;
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

	void SetUp() override
	{
		descriptors_ = open_descriptors();
		// Children must not write out what this process buffered.
		std::fflush(nullptr);
	}
	void TearDown() override
	{
		reap_children();
		EXPECT_EQ(open_descriptors(), descriptors_);
	}

private:
	int descriptors_ = 0;
};

// What tq_daemonize left the daemon with, sent back through a pipe.
struct daemon_view {
	int rc;
	pid_t pid, ppid, session;
	mode_t umask;
	char cwd[256];
	char stdio[3][256];
};

} // namespace

TEST_F(daemon_test, daemonize_detaches_the_caller)
{
	struct row {
		int keep_cwd, keep_stdio;
	};
	const std::string marker = scratch_dir() + "/stdio-marker";
	ASSERT_TRUE(write_file(marker, ""));
	for (const row &r : {row{0, 0}, row{1, 1}, row{0, 1}}) {
		int report_pipe[2];
		ASSERT_EQ(pipe(report_pipe), 0);
		pid_t caller = fork();
		ASSERT_GE(caller, 0);
		if (caller == 0) {
			close(report_pipe[0]);
			int m = open(marker.c_str(), O_RDWR);
			for (int fd = 0; fd < 3; ++fd)
				dup2(m, fd);
			close(m);
			if (chdir(scratch_dir().c_str()) != 0)
				_exit(3);
			umask(0);
			pid_t me = getpid();
			daemon_view v{};
			v.rc = tq_daemonize(r.keep_cwd, r.keep_stdio);
			// Only the daemon gets here; its first parent must be gone.
			wait_for([&] { return getppid() != me; }, 10s);
			v.pid = getpid();
			v.ppid = getppid();
			v.session = getsid(0);
			v.umask = umask(0);
			if (!getcwd(v.cwd, sizeof v.cwd))
				v.cwd[0] = '\0';
			for (int fd = 0; fd < 3; ++fd) {
				std::string t = link_target("/proc/self/fd/" + std::to_string(fd));
				std::snprintf(v.stdio[fd], sizeof v.stdio[fd], "%s", t.c_str());
			}
			ssize_t w = write(report_pipe[1], &v, sizeof v);
			_exit(w == sizeof v ? 0 : 4);
		}
		close(report_pipe[1]);
		int status = -1;
		ASSERT_EQ(waitpid(caller, &status, 0), caller);
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
			<< "the caller ends with exit(0)";
		daemon_view v{};
		ssize_t got = read(report_pipe[0], &v, sizeof v);
		close(report_pipe[0]);
		ASSERT_EQ(got, static_cast<ssize_t>(sizeof v));
		end_process(v.pid);

		SCOPED_TRACE("keep_cwd " + std::to_string(r.keep_cwd) + " keep_stdio " +
			     std::to_string(r.keep_stdio));
		EXPECT_EQ(v.rc, 0);
		EXPECT_NE(v.ppid, caller);
		EXPECT_EQ(v.session, v.pid) << "the daemon leads a session of its own";
		EXPECT_NE(v.session, getsid(0));
		EXPECT_EQ(v.umask, 027u);
		EXPECT_EQ(std::string(v.cwd), r.keep_cwd ? scratch_dir() : "/");
		for (int fd = 0; fd < 3; ++fd)
			EXPECT_EQ(std::string(v.stdio[fd]), r.keep_stdio ? marker : "/dev/null") << fd;
	}
}

TEST_F(daemon_test, launched_program_runs_detached)
{
	struct row {
		int keep_cwd, keep_fds;
	};
	const std::string script = scratch_dir() + "/" + probe_name;
	const std::string kept = scratch_dir() + "/kept-marker";
	const std::string closed_on_exec = scratch_dir() + "/cloexec-marker";
	const std::string stdio = scratch_dir() + "/stdio-marker";
	ASSERT_TRUE(write_file(script, probe_script));
	ASSERT_EQ(chmod(script.c_str(), 0755), 0);
	for (const std::string &m : {kept, closed_on_exec, stdio})
		ASSERT_TRUE(write_file(m, ""));

	int n = 0;
	for (const row &r : {row{0, 0}, row{1, 1}}) {
		SCOPED_TRACE("keep_cwd " + std::to_string(r.keep_cwd) + " keep_fds " +
			     std::to_string(r.keep_fds));
		const std::string out = scratch_dir() + "/probe-" + std::to_string(n++);
		ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
		// Descriptor numbers in the launcher: inherited, close-on-exec.
		const int fds[2] = {40, 41};
		ASSERT_EQ(fcntl(fds[0], F_GETFD), -1);
		ASSERT_EQ(fcntl(fds[1], F_GETFD), -1);

		// The launcher is a child of this program, so the daemon's
		// parent (this subreaper, once adopted) is never the launcher.
		pid_t launcher = fork();
		ASSERT_GE(launcher, 0);
		if (launcher == 0) {
			int s = open(stdio.c_str(), O_RDWR);
			for (int fd = 0; fd < 3; ++fd)
				dup2(s, fd);
			close(s);
			int k = open(kept.c_str(), O_RDONLY);
			dup2(k, fds[0]);
			close(k);
			int c = open(closed_on_exec.c_str(), O_RDONLY);
			dup3(c, fds[1], O_CLOEXEC);
			close(c);
			if (chdir(scratch_dir().c_str()) != 0)
				_exit(3);
			char *argv[] = {const_cast<char *>(probe_name), const_cast<char *>(out.c_str()),
					nullptr};
			_exit(tq_daemonize_program(script.c_str(), argv, r.keep_cwd, r.keep_fds) == 0
				      ? 0
				      : 1);
		}
		int status = -1;
		ASSERT_EQ(waitpid(launcher, &status, 0), launcher);
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
			<< "launch result, status " << status;
		ASSERT_TRUE(wait_for([&] { return access((out + "/pid").c_str(), F_OK) == 0; }, 20s))
			<< "the program did not run";
		pid_t daemon = std::stoi(read_all(out + "/pid"));
		ASSERT_TRUE(write_file(out + "/go", ""));
		// Asleep under the new name: the loader's descriptors are gone.
		const std::string proc = "/proc/" + std::to_string(daemon);
		EXPECT_TRUE(wait_for([&] {
			std::string stat = read_all(proc + "/stat");
			return stat.find("(sleep) S ") != std::string::npos;
		}, 20s));

		stat_fields st = parse_stat(read_all("/proc/" + std::to_string(daemon) + "/stat"));
		std::string cwd = link_target("/proc/" + std::to_string(daemon) + "/cwd");
		std::string mask = status_field(daemon, "Umask");
		std::map<int, std::string> seen = descriptors_of(daemon);
		end_process(daemon);

		EXPECT_NE(st.ppid, launcher);
		EXPECT_NE(st.session, getsid(0)) << "a session apart from the launcher's";
		EXPECT_NE(st.session, daemon) << "not a session leader";
		EXPECT_EQ(mask, "0027");
		EXPECT_EQ(cwd, r.keep_cwd ? scratch_dir() : "/");
		for (int fd = 0; fd < 3; ++fd)
			EXPECT_EQ(seen[fd], r.keep_fds ? stdio : "/dev/null") << fd;
		EXPECT_FALSE(seen.count(fds[1])) << "close-on-exec descriptors do not survive";
		if (r.keep_fds) {
			EXPECT_EQ(seen[fds[0]], kept);
		} else {
			for (const auto &[fd, target] : seen)
				EXPECT_LT(fd, 3) << fd << " -> " << target;
		}
	}
}

TEST_F(daemon_test, launcher_polls_for_the_base_name_fifty_times)
{
	// Names longer than the kernel's 15 characters: a daemon whose program
	// cannot start carries the name only cut short, so only the process
	// this test starts can be found under the full name.
	const std::string name = "tq_launch_probe_name";
	struct row {
		const char *what;
		std::string path;
		int appear_after;  // -1: running before the call; 0: never
		int rc, sleeps;
	};
	const row rows[] = {
		{"never seen", "/nonexistent/" + name, 0, -1, 50},
		{"already running", "/nonexistent/" + name, -1, 0, 0},
		{"seen at the 50th check", "/nonexistent/" + name, 49, 0, 49},
		{"seen too late", "/nonexistent/" + name, 50, -1, 50},
		{"seen at the second check", "/nonexistent/dir/" + name, 1, 0, 1},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		pid_t named = r.appear_after < 0 ? start_named(name) : 0;
		counted_sleeps sleeps([&](int count) {
			if (count == r.appear_after)
				named = start_named(name);
		});
		char arg0[] = "probe";
		char *argv[] = {arg0, nullptr};
		report_capture reports;
		EXPECT_EQ(tq_daemonize_program(r.path.c_str(), argv, 0, 1), r.rc);
		EXPECT_EQ(sleeps.count, r.sleeps);
		EXPECT_TRUE(sleeps.all_100ms);
		EXPECT_EQ(reports.size(), 0u);
		if (named > 0)
			end_process(named);
		reap_children();
	}
}

TEST_F(daemon_test, program_that_cannot_run_fails_after_the_full_wait)
{
	const std::string path = scratch_dir() + "/tq_not_an_executable";
	ASSERT_TRUE(write_file(path, "#!/bin/sh\n"));
	ASSERT_EQ(chmod(path.c_str(), 0644), 0);
	char arg0[] = "tq_not_an_executable";
	char *argv[] = {arg0, nullptr};
	auto start = std::chrono::steady_clock::now();
	EXPECT_EQ(tq_daemonize_program(path.c_str(), argv, 0, 0), -1);
	auto waited = std::chrono::steady_clock::now() - start;
	EXPECT_GE(waited, 5s) << "50 sleeps of 100 ms";
	EXPECT_LT(waited, 60s);
}
