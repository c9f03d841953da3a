// open/ioctl/fcntl for the two device paths, in front of the C library.
//
// A device descriptor is a real descriptor of the device's file in the
// state directory, so its flags and close-on-exec behave as the kernel
// makes them; a descriptor is recognised as a device by the file it
// refers to, which keeps working after close() and dup() without a table.
#include "models.h"
#include "real.h"
#include "state.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
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
using ioctl_t = int (*)(int, unsigned long, ...);
using fcntl_t = int (*)(int, int, ...);
using close_t = int (*)(int);

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
	std::lock_guard<std::mutex> guard(test_lock);
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
	std::lock_guard<std::mutex> guard(test_lock);
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

uint32_t device_of_fd(int fd)
{
	if (fd < 0)
		return 0;
	if (same_file(fd, TQSYS_DEV_CONTROL))
		return TQSYS_DEV_CONTROL;
	if (same_file(fd, TQSYS_DEV_BOARD))
		return TQSYS_DEV_BOARD;
	return 0;
}

int open_device(uint32_t device, int flags)
{
	if (absent_mask.load() & (1u << device)) {
		errno = ENOENT;
		return -1;
	}
	// A device node takes no O_CREAT or O_TRUNC from its caller.
	return open_device_file(device, flags & (O_ACCMODE | O_NONBLOCK | O_CLOEXEC));
}

int serve(uint32_t device, unsigned long cmd, void *arg)
{
	const model *m = find_model(device, cmd);
	tqsys_request r{};
	r.device = device;
	r.cmd = static_cast<uint32_t>(cmd);
	r.arg = reinterpret_cast<uintptr_t>(arg);
	r.len = m && arg ? m->request_len : 0;
	if (r.len)
		std::memcpy(r.bytes, arg, r.len);

	tqsys_injection inj;
	int rc;
	int err = 0;
	if (take_injection(device, r.cmd, inj)) {
		if (arg && inj.reply_len && inj.reply_offset < TQSYS_REQUEST_MAX) {
			uint32_t n = inj.reply_len;
			if (n > TQSYS_REQUEST_MAX - inj.reply_offset)
				n = TQSYS_REQUEST_MAX - inj.reply_offset;
			std::memcpy(static_cast<unsigned char *>(arg) + inj.reply_offset, inj.reply, n);
		}
		rc = inj.result;
		err = rc < 0 ? (inj.err ? inj.err : EIO) : 0;
	} else if (!m) {
		rc = -1;
		err = ENOTTY;
	} else {
		rc = with_state([&](kstate &st) {
			++st.commands;
			return m->serve(st, cmd, arg);
		});
		err = rc < 0 ? errno : 0;
	}
	r.result = rc;
	r.err = err;
	if (r.len)
		std::memcpy(r.reply, arg, r.len);
	record(r);
	if (rc < 0)
		errno = err;
	return rc;
}

} // namespace

namespace real {

int open_file(const char *path, int flags, mode_t mode)
{
	static open_t next = next_symbol<open_t>("open");
	return next(path, flags, mode);
}

int ioctl_fd(int fd, unsigned long request, void *arg)
{
	static ioctl_t next = next_symbol<ioctl_t>("ioctl");
	return next(fd, request, arg);
}

int fcntl_fd(int fd, int cmd, unsigned long arg)
{
	static fcntl_t next = next_symbol<fcntl_t>("fcntl");
	return next(fd, cmd, arg);
}

int close_fd(int fd)
{
	static close_t next = next_symbol<close_t>("close");
	return next(fd);
}

} // namespace real
} // namespace tqsys

using namespace tqsys;

extern "C" {

// ---- interposed C library calls ----

int open(const char *path, int flags, ...)
{
	mode_t mode = 0;
	if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
		va_list ap;
		va_start(ap, flags);
		mode = va_arg(ap, mode_t);
		va_end(ap);
	}
	if (uint32_t dev = device_of_path(path))
		return open_device(dev, flags);
	return real::open_file(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	mode_t mode = 0;
	if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
		va_list ap;
		va_start(ap, flags);
		mode = va_arg(ap, mode_t);
		va_end(ap);
	}
	if (uint32_t dev = device_of_path(path))
		return open_device(dev, flags);
	static open_t next = next_symbol<open_t>("open64");
	return next(path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	if (uint32_t dev = device_of_fd(fd))
		return serve(dev, request, arg);
	return real::ioctl_fd(fd, request, arg);
}

static int fcntl_common(int fd, int cmd, unsigned long arg, const char *next_name)
{
	if (cmd == F_SETFD && setfd_failure.load() && device_of_fd(fd)) {
		int err = setfd_failure.exchange(0);
		if (err) {
			errno = err;
			return -1;
		}
	}
	if (std::strcmp(next_name, "fcntl") == 0)
		return real::fcntl_fd(fd, cmd, arg);
	static fcntl_t next64 = next_symbol<fcntl_t>("fcntl64");
	return next64(fd, cmd, arg);
}

int fcntl(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	unsigned long arg = va_arg(ap, unsigned long);
	va_end(ap);
	return fcntl_common(fd, cmd, arg, "fcntl");
}

int fcntl64(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	unsigned long arg = va_arg(ap, unsigned long);
	va_end(ap);
	return fcntl_common(fd, cmd, arg, "fcntl64");
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
	std::lock_guard<std::mutex> guard(test_lock);
	if (queued == injection_max)
		return -1;
	queue[queued++] = *inj;
	return 0;
}

void tqsys_module_clear_injections(void)
{
	std::lock_guard<std::mutex> guard(test_lock);
	queued = 0;
}

int tqsys_module_request_count(void)
{
	std::lock_guard<std::mutex> guard(test_lock);
	return ring_next;
}

int tqsys_module_request_get(int index, struct tqsys_request *out)
{
	std::lock_guard<std::mutex> guard(test_lock);
	if (!out || index < 0 || index >= ring_next || index < ring_next - ring_size)
		return -1;
	*out = ring[index % ring_size];
	return 0;
}

void tqsys_module_clear_requests(void)
{
	std::lock_guard<std::mutex> guard(test_lock);
	ring_next = 0;
}

int tqsys_module_device_of(int fd)
{
	return static_cast<int>(device_of_fd(fd));
}

} // extern "C"
