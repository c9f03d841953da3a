// Detaching processes: the caller itself, or another program started
// through a double fork and awaited by its process name.
#include "../frame/report.h"
#include "tq_syslib.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace syslib {
namespace {

constexpr mode_t daemon_umask = 027;
constexpr int launch_checks = 50;
constexpr int check_interval_us = 100000;
constexpr int sigalrm = 14;
// The kernel's name buffer is smaller still; this bounds what we hand it.
constexpr std::size_t name_capacity = 64;

// Descriptors 0 to 2 onto /dev/null; left alone when it cannot be opened.
void stdio_to_null() noexcept
{
	int null_fd = open("/dev/null", O_RDWR, 0);
	if (null_fd < 0)
		return;
	(void)dup2(null_fd, 0);
	(void)dup2(null_fd, 1);
	(void)dup2(null_fd, 2);
	if (null_fd > 2)
		(void)close(null_fd);
}

const char *base_name(const char *path) noexcept
{
	const char *slash = std::strrchr(path, '/');
	return slash ? slash + 1 : path;
}

// The first characters of the base name, cut to fit the buffer.
void process_name(const char *path, char (&name)[name_capacity]) noexcept
{
	std::size_t len = 0;
	for (const char *p = path; *p; ++p) {
		if (*p == '/')
			len = 0;
		else if (len < name_capacity - 1)
			name[len++] = *p;
	}
	name[len] = '\0';
}

[[noreturn]] void run_daemon(const char *path, char *const argv[], int keep_cwd,
			     int keep_fds) noexcept
{
	umask(daemon_umask);
	char name[name_capacity];
	process_name(path, name);
	(void)prctl(PR_SET_NAME, name);
	(void)tq_signal_mask(0, sigalrm);
	if (!keep_cwd)
		(void)chdir("/");
	if (!keep_fds)
		stdio_to_null();
	// Whatever the launcher ran under, the program starts time-shared.
	if (tq_sched_setscheduler(0, 0, 0) != 0)
		std::exit(0);
	execv(path, argv);
	std::exit(0);
}

[[noreturn]] void run_first_child(const char *path, char *const argv[], int keep_cwd,
				  int keep_fds) noexcept
{
	if (!keep_fds) {
		rlimit limit;
		if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
			TQ_ERR("getrlimit() failed!\n");
			std::exit(1);
		}
		// Up to the hard limit, so that nothing raised later survives;
		// descriptor numbers end at INT_MAX, which also bounds the loop
		// when the hard limit is unlimited.
		rlim_t end = limit.rlim_max;
		if (end > static_cast<rlim_t>(INT_MAX))
			end = static_cast<rlim_t>(INT_MAX);
		// One call where the kernel has close_range (5.9 and later), the
		// same descriptors one at a time where it has not: the device's
		// kernel may predate it.
		if (end > 0 && close_range(0, static_cast<unsigned>(end - 1), 0) != 0)
			for (rlim_t fd = 0; fd < end; ++fd)
				(void)close(static_cast<int>(fd));
	}
	(void)setsid();
	pid_t daemon = fork();
	if (daemon == 0)
		run_daemon(path, argv, keep_cwd, keep_fds);
	// A failed second fork ends here as well: nothing is started, and the
	// launcher's polling reports it.
	std::exit(daemon < 0 ? 1 : 0);
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_daemonize(int keep_cwd, int keep_stdio) noexcept
{
	pid_t child = fork();
	if (child < 0) {
		TQ_ERR("fork failed!\n");
		return -1;
	}
	if (child > 0)
		std::exit(0);
	if (setsid() < 0) {
		TQ_ERR("setsid failed\n");
		return -1;
	}
	if (!keep_cwd)
		(void)chdir("/");
	if (!keep_stdio)
		stdio_to_null();
	umask(daemon_umask);
	return 0;
}

extern "C" int tq_daemonize_program(const char *path, char *const argv[], int keep_cwd,
				    int keep_fds) noexcept
{
	pid_t first = fork();
	if (first < 0)
		return -1;
	if (first == 0)
		run_first_child(path, argv, keep_cwd, keep_fds);
	int status;
	if (waitpid(first, &status, 0) == -1)
		return -1;

	const char *name = base_name(path);
	for (int check = 0; check < launch_checks; ++check) {
		int pid;
		if (tq_process_exist(name, &pid) == 0)
			return 0;
		tq_usleep(0, check_interval_us);
	}
	return -1;
}
