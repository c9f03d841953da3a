// Workstation stand-in for the device's runtime library: reports, I/O
// wrappers, sleeps, process lookup and the scheduler reset.
#include "tq_runtime.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <shared_mutex>
#include <sched.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

namespace {

struct hooks {
	tqrt_observer_fn observer = nullptr;
	void *observer_ctx = nullptr;
	tqrt_sleep_fn sleep = nullptr;
	void *sleep_ctx = nullptr;
	int quiet = -1;  // -1: not yet read from the environment
};

std::mutex hooks_lock;
hooks current;

// Held shared by every report and hooked sleep in flight, exclusively by a
// change of hooks: an observer removed is never called afterwards. A hook
// that reports or changes hooks itself is already inside (depth > 0).
std::shared_mutex in_flight;
thread_local int depth;

struct hooked_call {
	const bool outer = depth++ == 0;
	hooked_call()
	{
		if (outer)
			in_flight.lock_shared();
	}
	~hooked_call()
	{
		if (outer)
			in_flight.unlock_shared();
		--depth;
	}
};

template <class Change> void change_hooks(Change change)
{
	std::unique_lock<std::shared_mutex> wait(in_flight, std::defer_lock);
	if (depth == 0)
		wait.lock();
	std::lock_guard<std::mutex> guard(hooks_lock);
	change(current);
}

hooks snapshot()
{
	std::lock_guard<std::mutex> guard(hooks_lock);
	if (current.quiet < 0) {
		const char *q = std::getenv("TQRT_QUIET");
		current.quiet = q && *q && *q != '0';
	}
	return current;
}

// A report longer than this is cut; the runtime never allocates for one.
constexpr int report_max = 1024;

void deliver(tqrt_channel channel, int level, const char *tag, int line,
	     const char *fmt, va_list ap)
{
	char text[report_max];
	tq_vsnprintf(text, sizeof text, fmt, ap);
	hooked_call call;
	hooks h = snapshot();
	if (h.observer) {
		tqrt_record rec{channel, level, tag, line, fmt, text};
		h.observer(&rec, h.observer_ctx);
	}
	size_t n = std::strlen(text);
	// One record per report: a trailing newline belongs to the format,
	// not to the record.
	int shown = static_cast<int>(n && text[n - 1] == '\n' ? n - 1 : n);
	switch (channel) {
	case TQRT_ERR:
		syslog(LOG_ERR, "[%s:%d] %.*s", tag ? tag : "", line, shown, text);
		if (!h.quiet)
			std::fprintf(stderr, "syslib[%s:%d]: %.*s\n", tag ? tag : "", line,
				     shown, text);
		break;
	case TQRT_LOG:
		syslog(level & LOG_PRIMASK, "%.*s", shown, text);
		break;
	case TQRT_FLASH: {
		syslog(level & LOG_PRIMASK, "%.*s", shown, text);
		int fd = open(tqrt_flash_log_path(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
		if (fd < 0)
			break;
		char rec[report_max + 64];
		time_t now = time(nullptr);
		struct tm tm_now;
		gmtime_r(&now, &tm_now);
		char stamp[32];
		strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm_now);
		int len = std::snprintf(rec, sizeof rec, "%s <%d> %.*s\n", stamp, level,
					shown, text);
		if (len > 0) {
			size_t want = static_cast<size_t>(len) < sizeof rec ? static_cast<size_t>(len)
									   : sizeof rec - 1;
			// Flash records from several processes must not interleave.
			flock(fd, LOCK_EX);
			ssize_t w = write(fd, rec, want);
			(void)w;
			flock(fd, LOCK_UN);
		}
		close(fd);
		break;
	}
	}
}

} // namespace

extern "C" {

void __tq_err(const char *tag, int line, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	deliver(TQRT_ERR, LOG_ERR, tag, line, fmt, ap);
	va_end(ap);
}

void tq_log(int level, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	deliver(TQRT_LOG, level, nullptr, 0, fmt, ap);
	va_end(ap);
}

void tq_log_flash(int level, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	deliver(TQRT_FLASH, level, nullptr, 0, fmt, ap);
	va_end(ap);
}

const char *tqrt_flash_log_path(void)
{
	const char *p = std::getenv("TQRT_FLASH_LOG");
	return p && *p ? p : "/var/log/tq_flash.log";
}

void tqrt_set_observer(tqrt_observer_fn fn, void *ctx)
{
	change_hooks([=](hooks &h) { h.observer = fn, h.observer_ctx = ctx; });
}

void tqrt_set_sleep(tqrt_sleep_fn fn, void *ctx)
{
	change_hooks([=](hooks &h) { h.sleep = fn, h.sleep_ctx = ctx; });
}

void tqrt_set_quiet(int quiet)
{
	std::lock_guard<std::mutex> guard(hooks_lock);
	current.quiet = quiet != 0;
}

int tq_open(const char *path, int flags)
{
	int fd;
	do
		fd = open(path, flags | O_CLOEXEC);
	while (fd < 0 && errno == EINTR);
	return fd;
}

int tq_read(int fd, void *buf, int count)
{
	if (count < 0) {
		errno = EINVAL;
		return -1;
	}
	ssize_t n;
	do
		n = read(fd, buf, static_cast<size_t>(count));
	while (n < 0 && errno == EINTR);
	return static_cast<int>(n);
}

int tq_close(int fd)
{
	return close(fd);
}

void tq_usleep(int seconds, int microseconds)
{
	{
		hooked_call call;
		hooks h = snapshot();
		if (h.sleep) {
			h.sleep(seconds, microseconds, h.sleep_ctx);
			return;
		}
	}
	long long total_us = static_cast<long long>(seconds < 0 ? 0 : seconds) * 1000000LL +
			     (microseconds < 0 ? 0 : microseconds);
	struct timespec left = {static_cast<time_t>(total_us / 1000000),
				static_cast<long>(total_us % 1000000) * 1000};
	while (nanosleep(&left, &left) < 0 && errno == EINTR) {
	}
}

void tq_sleep(int seconds)
{
	tq_usleep(seconds, 0);
}

int tq_sched_setscheduler(int a, int b, int c)
{
	struct sched_param param = {};
	param.sched_priority = c;
	return sched_setscheduler(a, b, &param) < 0 ? -1 : 0;
}

} // extern "C"

namespace {

// Reads a small /proc file whole; returns the byte count or -1.
ssize_t read_small(const char *path, char *buf, size_t cap)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t n = read(fd, buf, cap - 1);
	close(fd);
	if (n < 0)
		return -1;
	buf[n] = '\0';
	return n;
}

const char *base_name(const char *path)
{
	const char *slash = std::strrchr(path, '/');
	return slash ? slash + 1 : path;
}

// A process runs the program once it executes it: the base name of its
// executable or of argv[0] is the name, or, for a script its interpreter
// runs, that of argv[1] with the kernel's name (the script's, at most 15
// characters) agreeing. The kernel's name alone is not enough: a launcher's
// child takes it before execv, and keeps it when execv fails. Zombies and
// exiting tasks do not count as running.
bool process_named(const char *pid_dir, const char *name)
{
	char path[64];
	char buf[4096];

	std::snprintf(path, sizeof path, "/proc/%s/stat", pid_dir);
	ssize_t n = read_small(path, buf, sizeof buf);
	if (n <= 0)
		return false;
	const char *close_paren = std::strrchr(buf, ')');
	const char *open_paren = std::strchr(buf, '(');
	if (!close_paren || !open_paren || close_paren < open_paren || close_paren[1] != ' ')
		return false;
	char state = close_paren[2];
	if (state == 'Z' || state == 'X' || state == 'x')
		return false;
	char comm[16] = {};
	std::memcpy(comm, open_paren + 1, std::min<size_t>(close_paren - open_paren - 1, 15));

	std::snprintf(path, sizeof path, "/proc/%s/cmdline", pid_dir);
	n = read_small(path, buf, sizeof buf);
	if (n > 0) {
		const char *argv1 = buf + std::strlen(buf) + 1;
		if (std::strcmp(base_name(buf), name) == 0 ||
		    (argv1 < buf + n && std::strcmp(base_name(argv1), name) == 0 &&
		     std::strncmp(comm, name, 15) == 0))
			return true;
	}

	std::snprintf(path, sizeof path, "/proc/%s/exe", pid_dir);
	ssize_t len = readlink(path, buf, sizeof buf - 1);
	if (len > 0) {
		buf[len] = '\0';
		if (std::strcmp(base_name(buf), name) == 0)
			return true;
	}
	return false;
}

} // namespace

extern "C" int tq_process_exist(const char *name, int *pid)
{
	if (!name)
		return -1;
	DIR *proc = opendir("/proc");
	if (!proc)
		return -1;
	int result = -1;
	while (struct dirent *e = readdir(proc)) {
		if (e->d_name[0] < '1' || e->d_name[0] > '9')
			continue;
		if (process_named(e->d_name, name)) {
			if (pid)
				*pid = std::atoi(e->d_name);
			result = 0;
			break;
		}
	}
	closedir(proc);
	return result;
}
