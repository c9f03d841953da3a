// The shared kernel state: where it lives, who may reach it, and how one
// command at a time changes it.
//
// The state directory belongs to one user and nobody else may write it; the
// state file in it is that user's alone (0600), so no other user can read,
// change or lock it. Each command opens the file afresh and holds an
// exclusive flock on that descriptor: threads, forked children and other
// processes exclude each other alike, the kernel drops the lock of a
// process that dies, and the lock works under qemu-user too, which has no
// robust futexes. No descriptor stays open between commands, so a program
// that closes every descriptor it does not know loses nothing. A command
// changes a copy of the tables and then switches to it with one word, so a
// process killed at any point leaves the tables as they were before or
// after its command.
#include "state.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tqsys {
namespace {

constexpr uint32_t state_magic = 0x74717379;  // "tqsy"
constexpr uint32_t state_version = 3;

struct shared_file {
	uint32_t magic;
	uint32_t version;
	uint32_t size;
	uint32_t current;  // the slot that holds the tables
	kstate slots[2];
};

struct process_view {
	char dir[PATH_MAX] = {};
	bool dir_set = false;
	int dir_fd = -1;     // while attaching only
	shared_file *file = nullptr;
	char file_path[PATH_MAX + 32] = {};
	dev_t file_dev = 0;  // the file mapped, which its path must still name
	ino_t file_ino = 0;
	char problem[PATH_MAX + 160] = {};
};

std::mutex view_lock;
process_view view;
thread_local bool in_command;

// The nodes' identities, written under view_lock and read without it by
// every device ioctl's check: a sequence lock over 32-bit words, as a
// 32-bit target has no lock-free 64-bit atomics.
struct node_identities {
	std::atomic<uint32_t> seq{0};
	std::atomic<uint32_t> words[3][4];  // per device: dev, ino, 32 bits at a time

	void set(uint32_t device, uint64_t dev, uint64_t ino)
	{
		const uint32_t s = seq.load(std::memory_order_relaxed);
		seq.store(s + 1, std::memory_order_relaxed);
		// Release: a reader that sees a new word also sees the odd count.
		const uint64_t parts[2] = {dev, ino};
		for (int i = 0; i < 4; ++i)
			words[device][i].store(uint32_t(parts[i / 2] >> (i % 2 * 32)), std::memory_order_release);
		seq.store(s + 2, std::memory_order_release);
	}
	bool is(uint32_t device, uint64_t dev, uint64_t ino) const
	{
		const uint64_t parts[2] = {dev, ino};
		for (;;) {
			const uint32_t s = seq.load(std::memory_order_acquire);
			bool same = ino != 0;
			for (int i = 0; i < 4; ++i)
				same &= words[device][i].load(std::memory_order_acquire) ==
					uint32_t(parts[i / 2] >> (i % 2 * 32));
			if (!(s & 1) && seq.load(std::memory_order_relaxed) == s)
				return same;
		}
	}
} nodes;

const char *node_name(uint32_t device)
{
	return device == TQSYS_DEV_BOARD ? "board0" : "tq_sys";
}

// The path of a device's node in the state directory.
void node_path(uint32_t device, char (&out)[PATH_MAX + 8])
{
	std::snprintf(out, sizeof out, "%s/%s", view.dir, node_name(device));
}

// Processes of another byte order or word size (a qemu-ppc daemon beside
// native ones) keep a state of their own rather than misread this one.
void state_name(char (&out)[32])
{
	std::snprintf(out, sizeof out, "state.%s%zu",
		      __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? "be" : "le", sizeof(void *) * 8);
}

[[gnu::format(printf, 1, 2)]] void set_problem(const char *fmt, ...)
{
	int e = errno;
	va_list ap;
	va_start(ap, fmt);
	std::vsnprintf(view.problem, sizeof view.problem, fmt, ap);
	va_end(ap);
	errno = e ? e : EACCES;
}

void ensure_dir_locked()
{
	if (view.dir_set)
		return;
	const char *env = std::getenv("TQSYS_STATE_DIR");
	if (env && *env)
		std::snprintf(view.dir, sizeof view.dir, "%s", env);
	else
		std::snprintf(view.dir, sizeof view.dir, "/dev/shm/tqsys-%u", unsigned(geteuid()));
	view.dir_set = true;
}

void detach_locked()
{
	if (view.file)
		munmap(view.file, sizeof(shared_file));
	view.file = nullptr;
}

// Refuses what another user could have placed or can change.
bool trusted(const struct stat &sb, const char *what, const char *name, mode_t forbidden)
{
	errno = EACCES;
	const char *slash = *name ? "/" : "";
	if (sb.st_uid != geteuid()) {
		set_problem("the state %s %s%s%s belongs to uid %u, not to uid %u", what, view.dir, slash, name,
			    unsigned(sb.st_uid), unsigned(geteuid()));
		return false;
	}
	if (sb.st_mode & forbidden) {
		set_problem("the state %s %s%s%s has mode %03o: others may reach it", what, view.dir, slash,
			    name, unsigned(sb.st_mode & 0777));
		return false;
	}
	return true;
}

bool open_dir_locked()
{
	ensure_dir_locked();
	errno = 0;
	if (mkdir(view.dir, 0700) < 0 && errno != EEXIST) {
		set_problem("cannot make the state directory %s: %s", view.dir, std::strerror(errno));
		return false;
	}
	int fd = open(view.dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0) {
		struct stat sb;
		const bool link = lstat(view.dir, &sb) == 0 && S_ISLNK(sb.st_mode);
		set_problem("the state directory %s cannot be used (%s)", view.dir,
			    link ? "a symbolic link" : std::strerror(errno));
		return false;
	}
	struct stat sb;
	if (fstat(fd, &sb) < 0 || !trusted(sb, "directory", "", 022)) {
		close(fd);
		return false;
	}
	view.dir_fd = fd;
	return true;
}

// The device nodes are empty files whose identity marks a descriptor as a
// device; their content is never used.
bool make_nodes_locked()
{
	for (uint32_t d : {TQSYS_DEV_CONTROL, TQSYS_DEV_BOARD}) {
		int fd = openat(view.dir_fd, node_name(d), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0400);
		struct stat sb;
		if (fd < 0 || fstat(fd, &sb) < 0) {
			set_problem("cannot make the device node %s/%s: %s", view.dir, node_name(d),
				    std::strerror(errno));
			if (fd >= 0)
				close(fd);
			return false;
		}
		close(fd);
		if (!S_ISREG(sb.st_mode) || !trusted(sb, "node", node_name(d), 022))
			return false;
		nodes.set(d, sb.st_dev, sb.st_ino);
	}
	return true;
}

// A new state file is made whole under a name of its own, then linked into
// place: nobody ever maps a file of the wrong size or a half-made one.
int create_state_file(const char *name)
{
	char tmp[64];
	std::snprintf(tmp, sizeof tmp, "%s.new.%d", name, int(getpid()));
	unlinkat(view.dir_fd, tmp, 0);
	int fd = openat(view.dir_fd, tmp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (fd < 0)
		return -1;
	void *m = MAP_FAILED;
	if (ftruncate(fd, sizeof(shared_file)) == 0)
		m = mmap(nullptr, sizeof(shared_file), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	int rc = -1;
	if (m != MAP_FAILED) {
		auto *f = static_cast<shared_file *>(m);
		f->magic = state_magic;
		f->version = state_version;
		f->size = sizeof(shared_file);
		munmap(m, sizeof(shared_file));
		rc = linkat(view.dir_fd, tmp, view.dir_fd, name, 0);
	}
	int e = errno;
	unlinkat(view.dir_fd, tmp, 0);
	close(fd);
	errno = e;
	return rc;
}

bool map_state_locked()
{
	char name[32];
	state_name(name);
	int fd = -1;
	for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
		fd = openat(view.dir_fd, name, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
		if (fd < 0 && errno == ENOENT && create_state_file(name) < 0 && errno != EEXIST)
			break;
	}
	if (fd < 0) {
		set_problem("cannot open the state file %s/%s: %s", view.dir, name,
			    errno == ELOOP ? "a symbolic link" : std::strerror(errno));
		return false;
	}
	struct stat sb;
	void *m = MAP_FAILED;
	if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && trusted(sb, "file", name, 077)) {
		if (sb.st_size == static_cast<off_t>(sizeof(shared_file)))
			m = mmap(nullptr, sizeof(shared_file), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
		auto *f = static_cast<shared_file *>(m);
		// Never truncated or rewritten: another version's processes may
		// still be using it.
		if (m == MAP_FAILED || f->magic != state_magic || f->version != state_version ||
		    f->size != sizeof(shared_file)) {
			if (m != MAP_FAILED)
				munmap(m, sizeof(shared_file));
			m = MAP_FAILED;
			errno = EPROTO;
			set_problem("the state file %s/%s is of another version or size; remove it", view.dir,
				    name);
		}
	}
	if (m == MAP_FAILED) {
		int e = errno;
		close(fd);
		errno = e;
		return false;
	}
	view.file = static_cast<shared_file *>(m);
	view.file_dev = sb.st_dev;
	view.file_ino = sb.st_ino;
	std::snprintf(view.file_path, sizeof view.file_path, "%s/%s", view.dir, name);
	close(fd);
	return true;
}

shared_file *attach_locked()
{
	if (view.file)
		return view.file;
	view.problem[0] = '\0';
	bool ok = open_dir_locked() && make_nodes_locked() && map_state_locked();
	int e = errno;
	if (view.dir_fd >= 0)
		close(view.dir_fd);
	view.dir_fd = -1;
	errno = e;
	return ok ? view.file : nullptr;
}

// This command's descriptor of the mapped file. A file removed or replaced
// since (the state directory deleted by hand, say) is attached anew.
int open_state_locked()
{
	for (int attempt = 0; attempt < 2; ++attempt) {
		if (!attach_locked())
			return -1;
		int fd = open(view.file_path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
		struct stat sb;
		if (fd >= 0 && fstat(fd, &sb) == 0 && sb.st_dev == view.file_dev &&
		    sb.st_ino == view.file_ino) {
			if (sb.st_size >= static_cast<off_t>(sizeof(shared_file)))
				return fd;
			// Shrunk by hand: touching the mapping now would raise SIGBUS.
			close(fd);
			errno = EIO;
			set_problem("the state file %s has shrunk; remove it", view.file_path);
			return -1;
		}
		if (fd >= 0)
			close(fd);
		detach_locked();
	}
	return -1;
}

// The kernel's lock on this process's descriptor; a signal that interrupts
// the wait resumes it, and any other failure keeps the command from running.
bool lock_file(int fd)
{
	int rc;
	while ((rc = flock(fd, LOCK_EX)) < 0 && errno == EINTR) {
	}
	return rc == 0;
}

} // namespace

int with_state(int (*fn)(kstate &, void *), void *context)
{
	if (in_command) {  // a signal handler's command inside this thread's own
		errno = EDEADLK;
		return -1;
	}
	in_command = true;
	std::lock_guard<std::mutex> guard(view_lock);
	struct leave {
		~leave() { in_command = false; }
	} leaving;
	const int fd = open_state_locked();
	if (fd < 0 || !lock_file(fd)) {
		if (fd >= 0)
			close(fd);
		return -1;
	}
	shared_file *f = view.file;
	const uint32_t now = __atomic_load_n(&f->current, __ATOMIC_ACQUIRE) & 1;
	kstate &next = f->slots[now ^ 1];
	std::memcpy(&next, &f->slots[now], sizeof next);
	int rc = fn(next, context);
	int e = errno;
	__atomic_store_n(&f->current, now ^ 1, __ATOMIC_RELEASE);
	close(fd);  // and with it the lock
	errno = e;
	return rc;
}

int open_device_node(uint32_t device, int flags)
{
	std::lock_guard<std::mutex> guard(view_lock);
	if (!attach_locked())
		return -1;
	char path[PATH_MAX + 8];
	node_path(device, path);
	// O_PATH: read, write and mmap find nothing to act on, as on a device
	// that offers none of them.
	return open(path, O_PATH | O_NOFOLLOW | (flags & O_CLOEXEC));
}

uint32_t device_of_node(int fd)
{
	struct stat sb;
	int saved = errno;
	bool ok = fstat(fd, &sb) == 0;
	errno = saved;
	if (!ok)
		return 0;
	for (uint32_t d : {TQSYS_DEV_CONTROL, TQSYS_DEV_BOARD})
		if (nodes.is(d, sb.st_dev, sb.st_ino))
			return d;
	return 0;
}

// Marks the nodes of the state directory as known without making anything:
// a program started with device descriptors (across exec) recognises them.
void learn_nodes()
{
	std::lock_guard<std::mutex> guard(view_lock);
	ensure_dir_locked();
	for (uint32_t d : {TQSYS_DEV_CONTROL, TQSYS_DEV_BOARD}) {
		char path[PATH_MAX + 8];
		struct stat sb;
		node_path(d, path);
		if (lstat(path, &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_uid == geteuid())
			nodes.set(d, sb.st_dev, sb.st_ino);
	}
}

// Fork with another thread inside a command: the child gets an unlocked
// view instead of a mutex that nobody will release.
void lock_for_fork() { view_lock.lock(); }
void unlock_after_fork() { view_lock.unlock(); }

} // namespace tqsys

extern "C" int tqsys_module_use_state_dir(const char *dir)
{
	if (!dir || !*dir || std::strlen(dir) >= PATH_MAX - 40) {
		errno = EINVAL;
		return -1;
	}
	std::lock_guard<std::mutex> guard(tqsys::view_lock);
	tqsys::detach_locked();
	for (uint32_t d = 0; d < 3; ++d)
		tqsys::nodes.set(d, 0, 0);
	std::snprintf(tqsys::view.dir, sizeof tqsys::view.dir, "%s", dir);
	tqsys::view.dir_set = true;
	return tqsys::attach_locked() ? 0 : -1;
}

extern "C" const char *tqsys_module_state_dir(void)
{
	std::lock_guard<std::mutex> guard(tqsys::view_lock);
	tqsys::ensure_dir_locked();
	return tqsys::view.dir;
}

extern "C" const char *tqsys_module_problem(void)
{
	std::lock_guard<std::mutex> guard(tqsys::view_lock);
	const int fd = tqsys::open_state_locked();
	if (fd < 0)
		return tqsys::view.problem;
	close(fd);
	return nullptr;
}

extern "C" int tqsys_module_reset(void)
{
	return tqsys::with_state([](tqsys::kstate &st) {
		std::memset(&st, 0, sizeof st);
		return 0;
	});
}
