// The private mount namespace and scratch files; also linked into the
// fuzz targets that read the library's fixed paths.
#include "sandbox.h"

#include <fstream>
#include <sched.h>

namespace syslib_test {
namespace {

bool sandboxed = false;

bool make_dirs(const std::string &path)
{
	for (size_t i = 1; i <= path.size(); ++i)
		if ((i == path.size() || path[i] == '/') && mkdir(path.substr(0, i).c_str(), 0755) < 0 &&
		    errno != EEXIST)
			return false;
	return true;
}

bool tmpfs(const std::string &where)
{
	return mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}

// The new root is an overlay of the host's root whose writes land in a
// tmpfs, with the host's other mounts bound in, a fresh /tmp and /dev/shm,
// and the working directory bound back in when it lived under those.
// Never list "/" here: under qemu-user it is the emulator's prefix.
bool build_root(int cwd_fd, const std::string &cwd)
{
	const std::string root = "/tmp/root";
	std::vector<std::string> points;  // shallowest first
	std::ifstream info("/proc/self/mountinfo");
	for (std::string a, b, c, d, point; info >> a >> b >> c >> d >> point; info.ignore(1 << 16, '\n'))
		points.push_back(point);
	std::sort(points.begin(), points.end(), [](auto &a, auto &b) { return a.size() < b.size(); });
	const char *layers = "lowerdir=/,upperdir=/tmp/ovl/upper,workdir=/tmp/ovl/work";
	if (!tmpfs("/tmp") || !make_dirs(root) || !make_dirs("/tmp/ovl/upper") ||
	    !make_dirs("/tmp/ovl/work") || mount("overlay", root.c_str(), "overlay", 0, layers))
		return false;
	auto under = [](const std::string &p, const std::string &d) {
		return p == d || (p.compare(0, d.size(), d) == 0 && p[d.size()] == '/');
	};
	std::vector<std::string> bound;
	for (const std::string &p : points) {
		if (p == "/" || under(p, "/tmp") ||
		    std::any_of(bound.begin(), bound.end(), [&](auto &b) { return under(p, b); }))
			continue;
		if (mount(p.c_str(), (root + p).c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0)
			bound.push_back(p);
	}
	if (!tmpfs(root + "/tmp") || !tmpfs(root + "/dev/shm") || !make_dirs(root + "/f/etc"))
		return false;
	if (under(cwd, "/tmp") || under(cwd, "/dev/shm")) {
		std::string from = "/proc/self/fd/" + std::to_string(cwd_fd);
		if (!make_dirs(root + cwd) ||
		    mount(from.c_str(), (root + cwd).c_str(), nullptr, MS_BIND | MS_REC, nullptr) < 0)
			return false;
	}
	return true;
}

} // namespace

bool enter_sandbox()
{
	char cwd[PATH_MAX];
	if (geteuid() != 0 || std::getenv("SYSLIB_TEST_NO_SANDBOX") || !getcwd(cwd, sizeof cwd) ||
	    unshare(CLONE_NEWNS) < 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
		return false;
	int cwd_fd = open(cwd, O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (!build_root(cwd_fd, cwd) || chdir("/tmp/root") < 0 || chroot(".") < 0) {
		std::perror("sandbox: cannot build the private root");
		std::exit(2);  // half a sandbox is worse than none
	}
	close(cwd_fd);
	if (chdir(cwd) < 0 && chdir("/") < 0)
		std::exit(2);
	return sandboxed = true;
}

bool in_sandbox() { return sandboxed; }

const std::string &scratch_dir()
{
	static const std::string dir = [] {
		char cwd[PATH_MAX] = ".";
		std::string d = (sandboxed ? std::string("/tmp") : std::string(getcwd(cwd, sizeof cwd))) +
				"/syslib-scratch-" + std::to_string(getpid());
		make_dirs(d);
		return d;
	}();
	return dir;
}

bool write_file(const std::string &path, const std::string &contents)
{
	make_dirs(path.substr(0, path.rfind('/')));
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	return static_cast<bool>(f << contents) && (f.close(), !f.fail());
}

std::string read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(f), {}};
}

fake_dir::fake_dir(const char *target)
	: dir(scratch_dir() + "/fake" + std::to_string(std::rand())), target_(target),
	  ok_(sandboxed && make_dirs(dir) && mount(dir.c_str(), target, nullptr, MS_BIND, nullptr) == 0) {}

fake_dir::~fake_dir()
{
	if (ok_)
		umount2(target_.c_str(), MNT_DETACH);
}

void fake_dir::put(const std::string &name, const std::string &text) const { write_file(dir + "/" + name, text); }

} // namespace syslib_test
