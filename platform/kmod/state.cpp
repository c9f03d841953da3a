// The shared kernel state: where it lives, who may reach it, and how each
// command changes it without waiting for anybody.
//
// The state directory belongs to one user, nobody else may write it, and it
// holds nothing but the stand-in's files; the state file in it is that
// user's alone (0600). The file holds the tables in several slots and one
// word that says which slot is current and how often it changed. A command
// takes a slot nobody else is writing (a byte-range lock on its own
// descriptor, which the kernel drops when the process dies), copies the
// current tables into it, changes them there and publishes them by a
// compare-and-swap of that word; when another command published first, it
// does its work again on the newer tables. So a process stopped or killed
// at any point holds nobody up and leaves the tables as they were before or
// after its command; a stopped one, once resumed, never publishes what it
// made from old tables. The file is opened by path for each command: a
// state removed by hand is made anew, and no descriptor stays open between
// commands that a daemon closing its descriptors could lose.
#include "state.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tqsys {

// Nested holds (a command's locks inside its own) block signals once.
thread_local int holds;

namespace {

// As the kernel runs a system call: no handler inside a command.
void block_signals(sigset_t *old)
{
	sigset_t all;
	sigfillset(&all);
	pthread_sigmask(SIG_BLOCK, &all, old);
}

} // namespace

held::held(std::mutex *m)
{
	// Counted only once blocked: a handler that runs before sees none.
	if (!holds)
		block_signals(&old_);
	++holds;
	if (m)
		lock_ = std::unique_lock<std::mutex>(*m);
}

held::~held()
{
	if (lock_)
		lock_.unlock();
	if (!--holds)
		pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

namespace {

constexpr uint32_t state_magic = 0x74717379;  // "tqsy"
constexpr uint32_t state_version = 4;
constexpr uint32_t slot_count = 16;  // a power of two: the low bits of `current`

struct shared_file {
	uint32_t magic;
	uint32_t version;
	uint32_t size;
	uint32_t current;  // changes << 4 | the slot that holds the tables
	kstate slots[slot_count];
};

struct process_view {
	char dir[PATH_MAX] = {};
	bool dir_set = false;
	shared_file *file = nullptr;
	char file_path[PATH_MAX + 32] = {};
	dev_t file_dev = 0;  // the file mapped, which its path must still name
	ino_t file_ino = 0;
	char problem[PATH_MAX + 200] = {};
};

std::mutex view_lock;
process_view view;
sigset_t fork_mask;

// The nodes this process made or met, by device: written under view_lock
// and read without it by every device ioctl's check. A sequence lock over
// 32-bit words, as a 32-bit target has no lock-free 64-bit atomics. Nodes
// of a state removed (or left) since are kept, so that descriptors opened
// before still reach the state in use.
struct node_identities {
	static constexpr int kept = 8;
	std::atomic<uint32_t> seq{0}, next{0};
	std::atomic<uint32_t> words[kept][5];  // device, then dev and ino 32 bits at a time

	static void split(uint32_t device, uint64_t dev, uint64_t ino, uint32_t (&w)[5])
	{
		w[0] = device, w[1] = uint32_t(dev), w[2] = uint32_t(dev >> 32), w[3] = uint32_t(ino),
		w[4] = uint32_t(ino >> 32);
	}
	void add(uint32_t device, uint64_t dev, uint64_t ino)
	{
		if (is(dev, ino) == device)
			return;
		uint32_t w[5], s = seq.load(std::memory_order_relaxed), at = next++ % kept;
		split(device, dev, ino, w);
		seq.store(s + 1, std::memory_order_relaxed);
		// Release: a reader that sees a new word also sees the odd count.
		for (int i = 0; i < 5; ++i)
			words[at][i].store(w[i], std::memory_order_release);
		seq.store(s + 2, std::memory_order_release);
	}
	uint32_t is(uint64_t dev, uint64_t ino) const
	{
		uint32_t w[5];
		split(0, dev, ino, w);
		for (;;) {
			const uint32_t s = seq.load(std::memory_order_acquire);
			uint32_t found = 0;
			for (const auto &row : words) {
				bool same = row[0].load(std::memory_order_acquire) != 0;
				for (int i = 1; i < 5; ++i)
					same &= row[i].load(std::memory_order_acquire) == w[i];
				found = same ? row[0].load(std::memory_order_relaxed) : found;
			}
			if (!(s & 1) && seq.load(std::memory_order_relaxed) == s)
				return found;
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

[[gnu::format(printf, 1, 2)]] bool fail(const char *fmt, ...)
{
	int e = errno;
	va_list ap;
	va_start(ap, fmt);
	std::vsnprintf(view.problem, sizeof view.problem, fmt, ap);
	va_end(ap);
	errno = e ? e : EACCES;
	return false;
}

// $XDG_RUNTIME_DIR is its user's alone; /dev/shm is shared, so a name there
// can have been taken by someone else first (and is refused then).
void ensure_dir_locked()
{
	if (view.dir_set)
		return;
	const char *env = std::getenv("TQSYS_STATE_DIR"), *run = std::getenv("XDG_RUNTIME_DIR");
	if (env && *env)
		std::snprintf(view.dir, sizeof view.dir, "%s", env);
	else if (run && *run == '/')
		std::snprintf(view.dir, sizeof view.dir, "%s/tqsys", run);
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
bool trusted(int fd, const char *what, const char *name, mode_t forbidden, struct stat &sb)
{
	const char *slash = *name ? "/" : "";
	errno = EACCES;
	if (fstat(fd, &sb) < 0)
		return fail("cannot examine the state %s %s%s%s: %s", what, view.dir, slash, name, std::strerror(errno));
	if (sb.st_uid != geteuid())
		return fail("the state %s %s%s%s belongs to uid %u, not to uid %u: set TQSYS_STATE_DIR to a "
			    "directory of your own", what, view.dir, slash, name, unsigned(sb.st_uid), unsigned(geteuid()));
	if (sb.st_mode & forbidden)
		return fail("the state %s %s%s%s has mode %03o: others may reach it", what, view.dir, slash, name,
			    unsigned(sb.st_mode & 0777));
	return true;
}

bool ours(const char *name)
{
	return !std::strcmp(name, ".") || !std::strcmp(name, "..") || !std::strcmp(name, "tq_sys") ||
	       !std::strcmp(name, "board0") || !std::strncmp(name, "state.", 6);
}

// A directory of the stand-in's own: never "/" or /etc, whose files it
// would otherwise sit among.
bool only_ours(int dir_fd)
{
	DIR *d = fdopendir(openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (!d)
		return fail("cannot read the state directory %s: %s", view.dir, std::strerror(errno));
	const dirent *e;
	while ((e = readdir(d)) && ours(e->d_name)) {
	}
	errno = ENOTEMPTY;
	if (e)
		fail("the state directory %s holds other files (%s): set TQSYS_STATE_DIR to a directory of its own",
		     view.dir, e->d_name);
	closedir(d);
	errno = ENOTEMPTY;
	return !e;
}

int open_dir_locked()
{
	ensure_dir_locked();
	errno = EINVAL;
	if (view.dir[0] != '/')
		return fail("the state directory %s is a relative path: name it from /", view.dir), -1;
	errno = 0;
	if (mkdir(view.dir, 0700) < 0 && errno != EEXIST)
		return fail("cannot make the state directory %s: %s", view.dir, std::strerror(errno)), -1;
	// O_PATH: what stands at the name is examined, whatever it is, before
	// anything is opened through it; a squatter's link or file is named so.
	int fd = open(view.dir, O_PATH | O_NOFOLLOW | O_CLOEXEC);
	struct stat sb;
	if (fd < 0)
		return fail("the state directory %s cannot be used (%s)", view.dir, std::strerror(errno)), -1;
	if (fstat(fd, &sb) == 0 && sb.st_uid == geteuid() && !S_ISDIR(sb.st_mode)) {
		errno = S_ISLNK(sb.st_mode) ? ELOOP : ENOTDIR;
		fail("the state directory %s is %s", view.dir, S_ISLNK(sb.st_mode) ? "a symbolic link" : "not a directory");
	} else if (trusted(fd, "directory", "", 022, sb) && only_ours(fd)) {
		return fd;
	}
	int e = errno;
	close(fd);
	errno = e;
	return -1;
}

// The device nodes are empty files whose identity marks a descriptor as a
// device; their content is never used. Anything else under their names
// (a FIFO would block the open without O_NONBLOCK) is refused.
bool make_nodes_locked(int dir_fd)
{
	for (uint32_t d : {TQSYS_DEV_CONTROL, TQSYS_DEV_BOARD}) {
		int fd = openat(dir_fd, node_name(d), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0400);
		if (fd < 0)
			return fail("cannot make the device node %s/%s: %s", view.dir, node_name(d),
				    errno == ELOOP ? "a symbolic link" : std::strerror(errno));
		struct stat sb;
		bool ok = trusted(fd, "node", node_name(d), 022, sb);
		close(fd);
		errno = EINVAL;
		if (ok && (!S_ISREG(sb.st_mode) || sb.st_size != 0))
			ok = fail("the device node %s/%s is not an empty regular file: remove it", view.dir, node_name(d));
		if (!ok)
			return false;
		nodes.add(d, sb.st_dev, sb.st_ino);
	}
	return true;
}

// A new state file is made whole, its space reserved (a full file system
// fails here, not with SIGBUS at a later command), without a name until it
// is linked into place: nobody maps a half-made file and a process killed
// meanwhile leaves nothing behind.
int create_state_file(int dir_fd, const char *name)
{
	int fd = openat(dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
	if (fd < 0)
		return -1;
	const uint32_t head[4] = {state_magic, state_version, sizeof(shared_file), 0};
	char self[32];
	std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
	int rc = posix_fallocate(fd, 0, sizeof(shared_file));
	if (rc == 0 && pwrite(fd, head, sizeof head, 0) == sizeof head)
		rc = linkat(AT_FDCWD, self, dir_fd, name, AT_SYMLINK_FOLLOW) < 0 ? errno : 0;
	else
		rc = rc ? rc : errno;
	close(fd);
	errno = rc;
	return rc ? -1 : 0;
}

bool map_state_locked(int dir_fd)
{
	char name[32];
	state_name(name);
	int fd = -1;
	for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
		fd = openat(dir_fd, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
		if (fd < 0 && errno == ENOENT && create_state_file(dir_fd, name) < 0 && errno != EEXIST)
			break;
	}
	if (fd < 0)
		return fail("cannot %s the state file %s/%s: %s", errno == ELOOP ? "open" : "make", view.dir, name,
			    errno == ELOOP ? "a symbolic link" : std::strerror(errno));
	struct stat sb;
	void *m = MAP_FAILED;
	const uint32_t head[3] = {state_magic, state_version, sizeof(shared_file)};
	const bool ours = trusted(fd, "file", name, 077, sb);
	if (ours && S_ISREG(sb.st_mode) && sb.st_size == static_cast<off_t>(sizeof(shared_file)))
		m = mmap(nullptr, sizeof(shared_file), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	// Another version's file is never truncated or rewritten: its
	// processes may still be using it.
	if (m != MAP_FAILED && std::memcmp(m, head, sizeof head) != 0)
		munmap(m, sizeof(shared_file)), m = MAP_FAILED;
	if (ours && m == MAP_FAILED)
		errno = EPROTO, fail(S_ISREG(sb.st_mode) ? "the state file %s/%s is of another version or size; remove it"
							 : "the state file %s/%s is not a regular file: remove it",
				     view.dir, name);
	int e = errno;
	close(fd);
	errno = e;
	if (m == MAP_FAILED)
		return false;
	view.file = static_cast<shared_file *>(m);
	view.file_dev = sb.st_dev;
	view.file_ino = sb.st_ino;
	std::snprintf(view.file_path, sizeof view.file_path, "%s/%s", view.dir, name);
	return true;
}

shared_file *attach_locked()
{
	if (view.file)
		return view.file;
	view.problem[0] = '\0';
	int dir_fd = open_dir_locked();
	bool ok = dir_fd >= 0 && make_nodes_locked(dir_fd) && map_state_locked(dir_fd);
	int e = errno;
	if (dir_fd >= 0)
		close(dir_fd);
	errno = e;
	return ok ? view.file : nullptr;
}

// This command's descriptor of the mapped file, found by its path: a file
// removed or replaced since (the state directory deleted by hand, say) is
// attached anew.
int open_state_locked()
{
	for (int attempt = 0; attempt < 2; ++attempt) {
		if (!attach_locked())
			return -1;
		int fd = open(view.file_path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
		struct stat sb;
		if (fd >= 0 && fstat(fd, &sb) == 0 && sb.st_dev == view.file_dev && sb.st_ino == view.file_ino) {
			if (sb.st_size >= static_cast<off_t>(sizeof(shared_file)))
				return fd;
			// Shrunk by hand: touching the mapping now would raise SIGBUS.
			close(fd);
			errno = EIO;
			return fail("the state file %s has shrunk; remove it", view.file_path), -1;
		}
		if (fd >= 0)
			close(fd);
		detach_locked();
	}
	return -1;
}

// A slot that is not the current one and that nobody else writes, locked
// for this command; -1 when every other slot stays held (by stopped
// processes) past the bound, or at once for a command that may not wait.
// The lowest free slot: alone, a process uses two slots, which stay in its
// cache.
int claim_slot(int fd, const uint32_t &current, bool wait)
{
	const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
	do {
		for (uint32_t slot = 0; slot < slot_count; ++slot) {
			if (__atomic_load_n(&current, __ATOMIC_ACQUIRE) % slot_count == slot)
				continue;
			struct flock l{};
			l.l_type = F_WRLCK, l.l_whence = SEEK_SET, l.l_start = slot, l.l_len = 1;
			if (fcntl(fd, F_SETLK, &l) < 0)
				continue;
			// Held now, it cannot become current but by this command.
			if (__atomic_load_n(&current, __ATOMIC_ACQUIRE) % slot_count != slot)
				return int(slot);
			l.l_type = F_UNLCK;
			fcntl(fd, F_SETLK, &l);
		}
		if (wait)
			usleep(1000);
	} while (wait && std::chrono::steady_clock::now() < give_up);
	return -1;
}

} // namespace

int with_state(int (*fn)(kstate &, void *), void *context, bool wait)
{
	held guard(&view_lock);
	const int fd = open_state_locked();
	if (fd < 0)
		return -1;
	shared_file *f = view.file;
	int rc = -1, e = EAGAIN;
	const int slot = claim_slot(fd, f->current, wait);
	for (uint32_t now = __atomic_load_n(&f->current, __ATOMIC_ACQUIRE); slot >= 0;) {
		kstate &next = f->slots[slot];
		std::memcpy(&next, &f->slots[now % slot_count], sizeof next);
		errno = 0;
		rc = fn(next, context), e = errno;
		// Fails when another command published since `now` was read (also
		// when this copy was torn by it): then this one runs again.
		if (__atomic_compare_exchange_n(&f->current, &now, (now / slot_count + 1) * slot_count + slot, false,
						__ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
			break;
	}
	if (slot < 0)
		errno = EAGAIN, fail("every slot of the state file %s is held by commands of stopped processes", view.file_path);
	close(fd);  // and with it the slot's lock
	errno = e;
	return rc;
}

int open_device_node(uint32_t device, int flags)
{
	held guard(&view_lock);
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
	return ok ? nodes.is(sb.st_dev, sb.st_ino) : 0;
}

// Marks the nodes of the state directory as known without making anything:
// a program started with device descriptors (across exec) recognises them.
void learn_nodes()
{
	held guard(&view_lock);
	ensure_dir_locked();
	for (uint32_t d : {TQSYS_DEV_CONTROL, TQSYS_DEV_BOARD}) {
		char path[PATH_MAX + 8];
		struct stat sb;
		node_path(d, path);
		if (lstat(path, &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_uid == geteuid())
			nodes.add(d, sb.st_dev, sb.st_ino);
	}
}

// Fork with another thread inside a command: the child gets an unlocked
// view instead of a mutex that nobody will release. Signals stay blocked
// meanwhile, so that no handler's command waits for the lock held here.
void lock_for_fork()
{
	block_signals(&fork_mask);
	view_lock.lock();
}

void unlock_after_fork()
{
	view_lock.unlock();
	pthread_sigmask(SIG_SETMASK, &fork_mask, nullptr);
}

} // namespace tqsys

extern "C" int tqsys_module_use_state_dir(const char *dir)
{
	if (dir && (!*dir || std::strlen(dir) >= PATH_MAX - 40)) {
		errno = EINVAL;
		return -1;
	}
	tqsys::held guard(&tqsys::view_lock);
	tqsys::detach_locked();
	std::snprintf(tqsys::view.dir, sizeof tqsys::view.dir, "%s", dir ? dir : "");
	tqsys::view.dir_set = dir != nullptr;  // NULL: the default, from the environment as it is now
	return tqsys::attach_locked() ? 0 : -1;
}

extern "C" const char *tqsys_module_state_dir(void)
{
	tqsys::held guard(&tqsys::view_lock);
	tqsys::ensure_dir_locked();
	return tqsys::view.dir;
}

extern "C" const char *tqsys_module_problem(void)
{
	tqsys::held guard(&tqsys::view_lock);
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
