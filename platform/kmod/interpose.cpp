// open, ioctl, fcntl and dup for the two device paths, in front of the C
// library, under every name the library, the runtime or a fortified build
// reaches them by.
//
// A device descriptor is an O_PATH descriptor of the device's node in the
// state directory, so close-on-exec, dup and fork behave as the kernel makes
// them, and nothing can read, write or map the state through it. A bit per
// descriptor number marks the ones that may be devices, so that an unrelated
// ioctl costs one bit test; a marked number is confirmed by the node it
// refers to, and unmarked when it no longer does.
#include "models.h"
#include "state.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tqsys {
namespace {

template <class F>
F next_symbol(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using open_t = int (*)(const char *, int, ...);
using openat_t = int (*)(int, const char *, int, ...);
using ioctl_t = int (*)(int, unsigned long, ...);
using fcntl_t = int (*)(int, int, ...);

// ---- which descriptors may be devices ----

// Numbers past the map are always checked against the nodes.
constexpr int mapped_fds = 1 << 16;
using fd_bits = std::atomic<uint32_t>[mapped_fds / 32];
fd_bits maybe_device, nonblocking;

void mark(int fd, bool on, fd_bits &bits = maybe_device)
{
	if (fd < 0 || fd >= mapped_fds)
		return;
	const uint32_t bit = 1u << (fd % 32);
	if (on)
		bits[fd / 32].fetch_or(bit, std::memory_order_relaxed);
	else
		bits[fd / 32].fetch_and(~bit, std::memory_order_relaxed);
}

bool marked(int fd, const fd_bits &bits)
{
	return fd < mapped_fds && (bits[fd / 32].load(std::memory_order_relaxed) & (1u << (fd % 32)));
}

uint32_t device_of_fd(int fd)
{
	if (fd < 0)
		return 0;
	if (fd < mapped_fds && !marked(fd, maybe_device))
		return 0;
	uint32_t device = device_of_node(fd);
	if (!device)
		mark(fd, false);
	return device;
}

std::atomic<uint32_t> absent_mask{0};
std::atomic<int> setfd_failure{0};

// ---- recording and injection (this process only) ----

constexpr int ring_size = 64;
constexpr int injection_max = 16;

std::mutex test_lock;
tqsys_request ring[ring_size];
int ring_next = 0;   // total recorded since the last clear
tqsys_injection queue[injection_max];
int queued = 0;

bool take_injection(uint32_t device, uint32_t cmd, tqsys_injection &out)
{
	held guard(&test_lock);
	for (int i = 0; i < queued; ++i) {
		if (queue[i].device != device || (queue[i].cmd && queue[i].cmd != cmd))
			continue;
		out = queue[i];
		std::memmove(&queue[i], &queue[i + 1], sizeof queue[0] * (queued - i - 1));
		--queued;
		return true;
	}
	return false;
}

void record(const tqsys_request &r)
{
	held guard(&test_lock);
	ring[ring_next % ring_size] = r;
	++ring_next;
}

uint32_t device_of_path(const char *path)
{
	if (!path)
		return 0;
	if (std::strcmp(path, TQSYS_DEVICE_PATH) == 0)
		return TQSYS_DEV_CONTROL;
	if (std::strcmp(path, TQSYS_BOARD_PATH) == 0)
		return TQSYS_DEV_BOARD;
	return 0;
}

int open_device(uint32_t device, int flags)
{
	if (absent_mask.load() & (1u << device)) {
		errno = ENOENT;
		return -1;
	}
	int fd = open_device_node(device, flags);
	mark(fd, true);
	mark(fd, flags & O_NONBLOCK, nonblocking);
	return fd;
}

// The caller's request is read and written outside the command, so that a
// bad pointer faults as it would in the caller (its handler runs), not with
// every signal blocked.
int serve(uint32_t device, unsigned long cmd, void *arg, bool wait)
{
	const int saved = errno;  // which a successful system call leaves alone
	const model *m = find_model(device, cmd);
	tqsys_request r{};
	r.device = device;
	r.cmd = static_cast<uint32_t>(cmd);
	r.arg = reinterpret_cast<uintptr_t>(arg);
	r.len = m && arg ? m->request_len : 0;
	if (r.len)
		std::memcpy(r.bytes, arg, r.len);
	std::memcpy(r.reply, r.bytes, r.len);
	{
		held quiet;  // the command itself, as one system call
		tqsys_injection inj;
		if (take_injection(device, r.cmd, inj)) {
			// A reply goes only where the command's own request lies.
			if (inj.reply_offset < r.len)
				std::memcpy(r.reply + inj.reply_offset, inj.reply,
					    std::min(inj.reply_len, r.len - inj.reply_offset));
			r.result = inj.result;
			r.err = inj.result < 0 ? (inj.err ? inj.err : EIO) : 0;
		} else if (!m) {
			r.result = -1, r.err = ENOTTY;
		} else {
			// Each run starts from the request as sent: a command run
			// again on newer tables must not see its own first answer.
			r.result = with_state([&](kstate &st) {
				++st.commands;
				std::memcpy(r.reply, r.bytes, r.len);
				return m->serve(st, cmd, r.len ? r.reply : arg);
			}, wait);
			r.err = r.result < 0 ? errno : 0;
		}
		record(r);
	}
	if (r.len)
		std::memcpy(arg, r.reply, r.len);
	errno = r.result < 0 ? r.err : saved;
	return r.result;
}

int open_common(const char *path, int flags, va_list ap, int dirfd, const char *name)
{
	mode_t mode = 0;
	if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
		mode = va_arg(ap, mode_t);
	// Only the absolute paths name the devices; a relative one is a file.
	if (uint32_t dev = device_of_path(path))
		return open_device(dev, flags);
	if (dirfd == -1) {
		static open_t next[2] = {next_symbol<open_t>("open"), next_symbol<open_t>("open64")};
		return next[name[4] != '\0'](path, flags, mode);
	}
	static openat_t next[2] = {next_symbol<openat_t>("openat"), next_symbol<openat_t>("openat64")};
	return next[name[6] != '\0'](dirfd, path, flags, mode);
}

int ioctl_common(int fd, unsigned long request, void *arg, ioctl_t next)
{
	if (uint32_t dev = device_of_fd(fd))
		return serve(dev, request, arg, !marked(fd, nonblocking));
	return next(fd, request, arg);
}

int fcntl_common(int fd, int cmd, unsigned long arg, fcntl_t next)
{
	uint32_t dev = device_of_fd(fd);
	if (dev && cmd == F_SETFD && setfd_failure.load()) {
		if (int err = setfd_failure.exchange(0)) {
			errno = err;
			return -1;
		}
	}
	// The status flags of a character device opened for reading and
	// writing (kept per descriptor number); with O_NONBLOCK a command
	// that would wait for a free slot fails with EAGAIN instead.
	if (dev && cmd == F_GETFL)
		return O_RDWR | (marked(fd, nonblocking) ? O_NONBLOCK : 0);
	if (dev && cmd == F_SETFL) {
		mark(fd, arg & O_NONBLOCK, nonblocking);
		return 0;
	}
	int rc = next(fd, cmd, arg);
	if (dev && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC))
		mark(rc, true);
	return rc;
}

// Descriptors inherited across exec are devices too.
__attribute__((constructor)) void start()
{
	pthread_atfork([] { lock_for_fork(), test_lock.lock(); },
		       [] { test_lock.unlock(), unlock_after_fork(); },
		       [] { test_lock.unlock(), unlock_after_fork(); });
	learn_nodes();
	DIR *fds = opendir("/proc/self/fd");
	if (!fds)
		return;
	int own = dirfd(fds);
	while (const dirent *e = readdir(fds)) {
		int fd = std::atoi(e->d_name);
		if (e->d_name[0] != '.' && fd != own && device_of_node(fd))
			mark(fd, true);
	}
	closedir(fds);
}

} // namespace
} // namespace tqsys

using namespace tqsys;

extern "C" {

// ---- interposed C library calls ----

#define OPEN_ENTRY(NAME)                                                 \
	int NAME(const char *path, int flags, ...)                       \
	{                                                                \
		va_list ap;                                              \
		va_start(ap, flags);                                     \
		int fd = open_common(path, flags, ap, -1, #NAME);        \
		va_end(ap);                                              \
		return fd;                                               \
	}
#define OPENAT_ENTRY(NAME)                                               \
	int NAME(int dirfd, const char *path, int flags, ...)            \
	{                                                                \
		va_list ap;                                              \
		va_start(ap, flags);                                     \
		int fd = open_common(path, flags, ap, dirfd, #NAME);     \
		va_end(ap);                                              \
		return fd;                                               \
	}
OPEN_ENTRY(open)
OPEN_ENTRY(open64)
OPENAT_ENTRY(openat)
OPENAT_ENTRY(openat64)

// What open and openat become under _FORTIFY_SOURCE, without a mode.
int __open_2(const char *path, int flags) { return open(path, flags); }
int __open64_2(const char *path, int flags) { return open64(path, flags); }
int __openat_2(int dirfd, const char *path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char *path, int flags) { return openat64(dirfd, path, flags); }

#define IOCTL_ENTRY(NAME)                                                       \
	int NAME(int fd, unsigned long request, ...) noexcept                   \
	{                                                                       \
		va_list ap;                                                     \
		va_start(ap, request);                                          \
		void *arg = va_arg(ap, void *);                                 \
		va_end(ap);                                                     \
		static ioctl_t next = next_symbol<ioctl_t>(#NAME);              \
		return ioctl_common(fd, request, arg, next);                    \
	}
#define FCNTL_ENTRY(NAME)                                                       \
	int NAME(int fd, int cmd, ...)                                          \
	{                                                                       \
		va_list ap;                                                     \
		va_start(ap, cmd);                                              \
		unsigned long arg = va_arg(ap, unsigned long);                  \
		va_end(ap);                                                     \
		static fcntl_t next = next_symbol<fcntl_t>(#NAME);              \
		return fcntl_common(fd, cmd, arg, next);                        \
	}
IOCTL_ENTRY(ioctl)
FCNTL_ENTRY(fcntl)
FCNTL_ENTRY(fcntl64)
#if __SIZEOF_POINTER__ == 4
// A 32-bit program built with 64-bit time calls these instead.
IOCTL_ENTRY(__ioctl_time64)
FCNTL_ENTRY(__fcntl_time64)
#endif

int dup(int fd) noexcept
{
	static auto next = next_symbol<int (*)(int)>("dup");
	int rc = next(fd);
	mark(rc, device_of_fd(fd) != 0);
	return rc;
}

int dup2(int fd, int to) noexcept
{
	static auto next = next_symbol<int (*)(int, int)>("dup2");
	int rc = next(fd, to);
	mark(rc, device_of_fd(fd) != 0);
	return rc;
}

int dup3(int fd, int to, int flags) noexcept
{
	static auto next = next_symbol<int (*)(int, int, int)>("dup3");
	int rc = next(fd, to, flags);
	mark(rc, device_of_fd(fd) != 0);
	return rc;
}

// ---- test and tool controls ----

void tqsys_module_set_absent(uint32_t device, int absent)
{
	if (device > 31)
		return;
	if (absent)
		absent_mask.fetch_or(1u << device);
	else
		absent_mask.fetch_and(~(1u << device));
}

void tqsys_module_fail_next_setfd(int err)
{
	setfd_failure.store(err ? err : EBADF);
}

int tqsys_module_inject(const struct tqsys_injection *inj)
{
	if (!inj)
		return -1;
	held guard(&test_lock);
	if (queued == injection_max)
		return -1;
	queue[queued++] = *inj;
	return 0;
}

void tqsys_module_clear_injections(void)
{
	held guard(&test_lock);
	queued = 0;
}

int tqsys_module_request_count(void)
{
	held guard(&test_lock);
	return ring_next;
}

int tqsys_module_request_get(int index, struct tqsys_request *out)
{
	held guard(&test_lock);
	if (!out || index < 0 || index >= ring_next || index < ring_next - ring_size)
		return -1;
	*out = ring[index % ring_size];
	return 0;
}

void tqsys_module_clear_requests(void)
{
	held guard(&test_lock);
	ring_next = 0;
}

int tqsys_module_device_of(int fd)
{
	return static_cast<int>(device_of_fd(fd));
}

} // extern "C"
