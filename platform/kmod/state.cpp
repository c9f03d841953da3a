// Mapping and locking of the shared kernel state.
//
// Threads of one process are kept apart by a mutex, processes by flock()
// on a descriptor that each process opens for itself (a forked child opens
// its own, because a shared open file description would share the lock).
#include "state.h"
#include "real.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tqsys {
namespace {

struct file_id {
	dev_t dev = 0;
	ino_t ino = 0;
	bool known = false;
};

struct process_view {
	char dir[PATH_MAX] = {};
	bool dir_set = false;
	pid_t owner = 0;        // process that opened lock_fd and mapped state
	int lock_fd = -1;
	kstate *state = nullptr;
	file_id ids[3];         // indexed by tqsys_device
};

std::recursive_mutex view_lock;
process_view view;

const char *device_file(uint32_t device)
{
	return device == TQSYS_DEV_BOARD ? "board0" : "tq_sys";
}

void ensure_dir_locked()
{
	if (view.dir_set)
		return;
	const char *env = std::getenv("TQSYS_STATE_DIR");
	std::snprintf(view.dir, sizeof view.dir, "%s", env && *env ? env : "/dev/shm/tqsys");
	view.dir_set = true;
}

void drop_mapping_locked()
{
	if (view.state && view.owner == getpid())
		munmap(view.state, sizeof(kstate));
	if (view.lock_fd >= 0 && view.owner == getpid())
		real::close_fd(view.lock_fd);
	view.state = nullptr;
	view.lock_fd = -1;
	view.owner = 0;
	for (auto &id : view.ids)
		id = file_id{};
}

int file_path(uint32_t device, char *out, size_t cap)
{
	int n = std::snprintf(out, cap, "%s/%s", view.dir, device_file(device));
	if (n < 0 || static_cast<size_t>(n) >= cap) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return 0;
}

// Opens (creating) the device's file in the state directory.
int open_file_locked(uint32_t device, int flags)
{
	ensure_dir_locked();
	if (mkdir(view.dir, 0775) < 0 && errno != EEXIST)
		return -1;
	char path[PATH_MAX];
	if (file_path(device, path, sizeof path) < 0)
		return -1;
	int fd = real::open_file(path, flags | O_CREAT, 0664);
	if (fd < 0)
		return -1;
	struct stat sb;
	if (fstat(fd, &sb) == 0) {
		view.ids[device].dev = sb.st_dev;
		view.ids[device].ino = sb.st_ino;
		view.ids[device].known = true;
	}
	return fd;
}

bool map_locked()
{
	if (view.state && view.owner == getpid())
		return true;
	if (view.owner != getpid()) {
		// Inherited across fork: the mapping is still good, the lock
		// descriptor is not ours alone.
		if (view.state)
			munmap(view.state, sizeof(kstate));
		view.state = nullptr;
		view.lock_fd = -1;
	}
	int fd = open_file_locked(TQSYS_DEV_CONTROL, O_RDWR | O_CLOEXEC);
	if (fd < 0)
		return false;
	flock(fd, LOCK_EX);
	struct stat sb;
	if (fstat(fd, &sb) < 0 || (static_cast<size_t>(sb.st_size) != sizeof(kstate) &&
				   ftruncate(fd, sizeof(kstate)) < 0)) {
		int e = errno;
		flock(fd, LOCK_UN);
		real::close_fd(fd);
		errno = e;
		return false;
	}
	void *m = mmap(nullptr, sizeof(kstate), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (m == MAP_FAILED) {
		int e = errno;
		flock(fd, LOCK_UN);
		real::close_fd(fd);
		errno = e;
		return false;
	}
	auto *st = static_cast<kstate *>(m);
	if (st->magic != state_magic || st->version != state_version || st->size != sizeof(kstate)) {
		std::memset(st, 0, sizeof *st);
		st->magic = state_magic;
		st->version = state_version;
		st->size = sizeof(kstate);
	}
	flock(fd, LOCK_UN);
	view.state = st;
	view.lock_fd = fd;
	view.owner = getpid();
	return true;
}

} // namespace

kstate *lock_state()
{
	view_lock.lock();
	if (!map_locked()) {
		int e = errno;
		view_lock.unlock();
		errno = e;
		return nullptr;
	}
	flock(view.lock_fd, LOCK_EX);
	return view.state;
}

void unlock_state()
{
	int e = errno;
	flock(view.lock_fd, LOCK_UN);
	view_lock.unlock();
	errno = e;
}

int open_device_file(uint32_t device, int flags)
{
	std::lock_guard<std::recursive_mutex> guard(view_lock);
	return open_file_locked(device, flags);
}

bool same_file(int fd, uint32_t device)
{
	file_id id;
	{
		std::lock_guard<std::recursive_mutex> guard(view_lock);
		if (!view.ids[device].known) {
			// Not opened by this process yet; a descriptor inherited
			// across exec still names the file.
			ensure_dir_locked();
			char path[PATH_MAX];
			struct stat sb;
			if (file_path(device, path, sizeof path) < 0 || stat(path, &sb) < 0)
				return false;
			view.ids[device] = {sb.st_dev, sb.st_ino, true};
		}
		id = view.ids[device];
		// The module's own descriptor of the state file is no device.
		if (fd == view.lock_fd && view.owner == getpid())
			return false;
	}
	struct stat sb;
	int saved = errno;
	bool same = fstat(fd, &sb) == 0 && sb.st_dev == id.dev && sb.st_ino == id.ino;
	errno = saved;
	return same;
}

} // namespace tqsys

extern "C" int tqsys_module_use_state_dir(const char *dir)
{
	if (!dir || !*dir || std::strlen(dir) >= PATH_MAX - 16) {
		errno = EINVAL;
		return -1;
	}
	std::lock_guard<std::recursive_mutex> guard(tqsys::view_lock);
	tqsys::drop_mapping_locked();
	std::snprintf(tqsys::view.dir, sizeof tqsys::view.dir, "%s", dir);
	tqsys::view.dir_set = true;
	return mkdir(dir, 0775) < 0 && errno != EEXIST ? -1 : 0;
}

extern "C" const char *tqsys_module_state_dir(void)
{
	std::lock_guard<std::recursive_mutex> guard(tqsys::view_lock);
	tqsys::ensure_dir_locked();
	return tqsys::view.dir;
}

extern "C" int tqsys_module_reset(void)
{
	return tqsys::with_state([](tqsys::kstate &st) {
		uint32_t keep[3] = {st.magic, st.version, st.size};
		std::memset(&st, 0, sizeof st);
		st.magic = keep[0];
		st.version = keep[1];
		st.size = keep[2];
		return 0;
	});
}
