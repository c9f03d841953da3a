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

// Descriptor number to target.
std::map<int, std::string> descriptors_of(const std::string &proc)
{
	std::map<int, std::string> fds;
	if (DIR *d = opendir((proc + "/fd").c_str())) {
		while (dirent *e = readdir(d))
			if (e->d_name[0] != '.')
				fds[std::atoi(e->d_name)] = link_target(proc + "/fd/" + e->d_name);
		closedir(d);
	}
	return fds;
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

// What another process runs with, as /proc shows it.
struct process_view {
	char state = '?';
	int ppid = 0, session = 0;
	std::string cwd, umask;
	std::map<int, std::string> fds;
};

process_view look_at(pid_t pid)
{
	process_view v;
	const std::string proc = "/proc/" + std::to_string(pid);
	std::string stat = read_all(proc + "/stat");
	size_t paren = stat.rfind(')');
	if (paren != std::string::npos)
		std::sscanf(stat.c_str() + paren + 1, " %c %d %*d %d", &v.state, &v.ppid, &v.session);
	v.cwd = link_target(proc + "/cwd");
	std::string status = read_all(proc + "/status");
	size_t at = status.find("Umask:\t");
	if (at != std::string::npos)
		v.umask = status.substr(at + 7, 4);
	v.fds = descriptors_of(proc);
	return v;
}

// Whether daemons are adopted by this program. qemu-user does not pass
// the subreaper request on; there the host's init adopts them, and they
// are awaited through /proc instead.
bool adopting = false;

void end_process(pid_t pid)
{
	ASSERT_GT(pid, 0);
	kill(pid, SIGKILL);
	if (waitpid(pid, nullptr, 0) == pid)
		return;
	EXPECT_FALSE(adopting) << "pid " << pid << " was not adopted";
	EXPECT_TRUE(wait_for([&] {
		char s = look_at(pid).state;
		return s == '?' || s == 'Z' || s == 'X';
	}, 10s)) << "pid " << pid;
}

// A process found by name through its argv[0] (host sleep started under
// another name); returns once it can be seen.
pid_t start_named(const std::string &name)
{
	std::string argv0 = "/started/by/test/" + name;
	pid_t pid = fork();
	if (pid == 0) {
		execl("/bin/sleep", argv0.c_str(), "60", static_cast<char *>(nullptr));
		_exit(127);
	}
	EXPECT_TRUE(wait_for([&] { return tq_process_exist(name.c_str(), nullptr) == 0; }, 10s));
	return pid;
}

// Counts the launcher's sleeps and makes them instant; `on_sleep` runs
// after each one with its number.
class counted_sleeps {
public:
	explicit counted_sleeps(std::function<void(int)> on_sleep) : on_sleep_(std::move(on_sleep))
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
		self->all_100ms &= seconds == 0 && microseconds == 100000;
		self->on_sleep_(++self->count);
	}
	std::function<void(int)> on_sleep_;
};

// Leaves its pid and keeps its name until the test has seen the launch
// through; then it sleeps under another name, so that the shell's own
// descriptors are gone when the test looks. Its kernel name is its file
// name.
constexpr char probe_name[] = "tqd_probe";
constexpr char probe_script[] = R"(#!/bin/sh
echo $$ > "$1/pid.new"
mv "$1/pid.new" "$1/pid"
while [ ! -e "$1/go" ]; do sleep 0.05; done
exec sleep 60
)";

int open_descriptors() { return static_cast<int>(descriptors_of("/proc/self").size()); }

// Makes `path` descriptors 0, 1 and 2 of the calling (forked) process.
void stdio_onto(const std::string &path)
{
	int fd = open(path.c_str(), O_RDWR);
	for (int n = 0; n < 3; ++n)
		dup2(fd, n);
	close(fd);
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
		std::fflush(nullptr);  // children must not write out our buffers
		ASSERT_TRUE(write_file(marker, ""));
	}
	void TearDown() override
	{
		// First children, and daemons whose program did not start, end
		// on their own.
		EXPECT_TRUE(wait_for([] { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; },
				     10s))
			<< "a child process is still running";
		EXPECT_EQ(open_descriptors(), descriptors_);
	}
	const std::string marker = scratch_dir() + "/stdio-marker";

private:
	int descriptors_ = 0;
};

} // namespace

TEST_F(daemon_test, daemonize_detaches_the_caller)
{
	struct row {
		int keep_cwd, keep_stdio;
	};
	for (const row &r : {row{0, 0}, row{1, 1}, row{0, 1}}) {
		SCOPED_TRACE("keep_cwd " + std::to_string(r.keep_cwd) + " keep_stdio " +
			     std::to_string(r.keep_stdio));
		int back[2];  // the daemon's pid and result
		ASSERT_EQ(pipe(back), 0);
		pid_t caller = fork();
		ASSERT_GE(caller, 0);
		if (caller == 0) {
			close(back[0]);
			stdio_onto(marker);
			if (chdir(scratch_dir().c_str()) != 0)
				_exit(3);
			umask(0);
			int said[2] = {0, tq_daemonize(r.keep_cwd, r.keep_stdio)};
			said[0] = getpid();  // only the daemon gets here
			ssize_t w = write(back[1], said, sizeof said);
			close(back[1]);
			while (w == sizeof said)
				pause();
			_exit(4);
		}
		close(back[1]);
		int status = -1;
		ASSERT_EQ(waitpid(caller, &status, 0), caller);
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit(0) of the caller";
		int said[2] = {0, -1};
		ssize_t got = read(back[0], said, sizeof said);
		close(back[0]);
		ASSERT_EQ(got, static_cast<ssize_t>(sizeof said));
		EXPECT_TRUE(wait_for([&] { return look_at(said[0]).state == 'S'; }, 10s));
		process_view v = look_at(said[0]);
		end_process(said[0]);

		EXPECT_EQ(said[1], 0);
		EXPECT_NE(v.ppid, caller);
		EXPECT_EQ(v.session, said[0]) << "the daemon leads a session of its own";
		EXPECT_EQ(v.umask, "0027");
		EXPECT_EQ(v.cwd, r.keep_cwd ? scratch_dir() : "/");
		for (int fd = 0; fd < 3; ++fd)
			EXPECT_EQ(v.fds[fd], r.keep_stdio ? marker : "/dev/null") << fd;
	}
}

TEST_F(daemon_test, launched_program_runs_detached)
{
	const std::string script = scratch_dir() + "/" + probe_name;
	ASSERT_TRUE(write_file(script, probe_script));
	ASSERT_EQ(chmod(script.c_str(), 0755), 0);
	const int kept_fd = 40, cloexec_fd = 41;  // free in this program
	ASSERT_EQ(fcntl(kept_fd, F_GETFD), -1);
	ASSERT_EQ(fcntl(cloexec_fd, F_GETFD), -1);

	struct row {
		int keep_cwd, keep_fds;
	};
	for (const row &r : {row{0, 0}, row{1, 1}}) {
		SCOPED_TRACE("keep_cwd " + std::to_string(r.keep_cwd) + " keep_fds " +
			     std::to_string(r.keep_fds));
		const std::string out = scratch_dir() + "/probe-" + std::to_string(r.keep_fds);
		ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
		// The launcher is a child of this program, so the daemon's parent
		// (this program, once it adopts the daemon) is never the launcher.
		pid_t launcher = fork();
		ASSERT_GE(launcher, 0);
		if (launcher == 0) {
			stdio_onto(marker);
			dup2(0, kept_fd);
			dup3(0, cloexec_fd, O_CLOEXEC);
			if (chdir(scratch_dir().c_str()) != 0)
				_exit(3);
			char *argv[] = {const_cast<char *>(probe_name), const_cast<char *>(out.c_str()),
					nullptr};
			_exit(tq_daemonize_program(script.c_str(), argv, r.keep_cwd, r.keep_fds) ? 1 : 0);
		}
		int status = -1;
		ASSERT_EQ(waitpid(launcher, &status, 0), launcher);
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "launch result";
		ASSERT_TRUE(wait_for([&] { return access((out + "/pid").c_str(), F_OK) == 0; }, 20s))
			<< "the program did not run";
		pid_t daemon = std::stoi(read_all(out + "/pid"));
		ASSERT_TRUE(write_file(out + "/go", ""));
		// Asleep under the new name: the loader's descriptors are gone too.
		EXPECT_TRUE(wait_for([&] {
			return read_all("/proc/" + std::to_string(daemon) + "/stat").find("(sleep) S ") !=
			       std::string::npos;
		}, 20s));
		process_view v = look_at(daemon);
		end_process(daemon);

		EXPECT_NE(v.ppid, launcher);
		EXPECT_NE(v.session, getsid(0)) << "a session apart from the launcher's";
		EXPECT_NE(v.session, daemon) << "not a session leader";
		EXPECT_EQ(v.umask, "0027");
		EXPECT_EQ(v.cwd, r.keep_cwd ? scratch_dir() : "/");
		for (int fd = 0; fd < 3; ++fd)
			EXPECT_EQ(v.fds[fd], r.keep_fds ? marker : "/dev/null") << fd;
		EXPECT_FALSE(v.fds.count(cloexec_fd)) << "close-on-exec descriptors do not survive";
		if (r.keep_fds)
			EXPECT_EQ(v.fds[kept_fd], marker);
		else
			EXPECT_EQ(v.fds.rbegin()->first, 2) << v.fds.rbegin()->second;
	}
}

TEST_F(daemon_test, launcher_polls_for_the_base_name_fifty_times)
{
	// Longer than the kernel's 15 characters: a daemon whose program
	// cannot start carries the name only cut short, so only the process
	// this test starts is found under the full name. The pid keeps other
	// runs of this program on the machine apart.
	const std::string name = "tq_launch_probe_" + std::to_string(getpid());
	struct row {
		const char *what;
		std::string path;
		int appear_after;  // that many sleeps; -1: running before the call
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
	EXPECT_GE(std::chrono::steady_clock::now() - start, 5s) << "50 sleeps of 100 ms";
}
