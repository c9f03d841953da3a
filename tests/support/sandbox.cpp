#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace syslib_test {
namespace {

bool sandboxed = false;

constexpr char staging[] = "/tmp";              // private tmpfs, outside the new root
constexpr char new_root[] = "/tmp/root";


bool make_dirs(const std::string &path)
{
	std::string part;
	for (size_t i = 1; i <= path.size(); ++i) {
		if (i == path.size() || path[i] == '/') {
			part = path.substr(0, i);
			if (mkdir(part.c_str(), 0755) < 0 && errno != EEXIST)
				return false;
		}
	}
	return true;
}

bool mount_tmpfs(const char *where)
{
	return mount("tmpfs", where, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}

// The mount points of this namespace, shallowest first.
std::vector<std::string> mount_points()
{
	std::vector<std::string> points;
	FILE *f = std::fopen("/proc/self/mountinfo", "r");
	if (!f)
		return points;
	char line[4096];
	while (std::fgets(line, sizeof line, f)) {
		// id parent major:minor root mount-point ...
		char point[PATH_MAX];
		if (std::sscanf(line, "%*s %*s %*s %*s %4095s", point) == 1)
			points.push_back(point);
	}
	std::fclose(f);
	std::sort(points.begin(), points.end(), [](const std::string &a, const std::string &b) {
		return a.size() < b.size();
	});
	return points;
}

bool under(const std::string &path, const std::string &dir)
{
	return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
			       path[dir.size()] == '/');
}

// The new root is an overlay of the host's root file system whose writes
// land in the staging tmpfs; the host's other mounts are bound into it.
// (The root is never listed with readdir: under qemu-user, "/" would be
// the emulator's library prefix.)
bool build_root()
{
	if (!mount_tmpfs(staging))
		return false;
	std::string root = new_root;
	std::string upper = std::string(staging) + "/ovl/upper";
	std::string work = std::string(staging) + "/ovl/work";
	if (!make_dirs(root) || !make_dirs(upper) || !make_dirs(work))
		return false;
	std::string opts = "lowerdir=/,upperdir=" + upper + ",workdir=" + work;
	if (mount("overlay", new_root, "overlay", 0, opts.c_str()) < 0)
		return false;

	std::vector<std::string> bound;
	for (const std::string &point : mount_points()) {
		if (point == "/" || under(point, staging))
			continue;
		bool covered = false;
		for (const std::string &b : bound)
			covered |= under(point, b);
		if (covered)
			continue;
		std::string inside = root + point;
		if (mount(point.c_str(), inside.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0)
			bound.push_back(point);
	}

	// A fresh /tmp and /dev/shm (where the module's default state lives),
	// and the device's flash directory.
	mount_tmpfs((root + "/tmp").c_str());
	mount_tmpfs((root + "/dev/shm").c_str());
	return make_dirs(root + "/f/etc");
}

} // namespace

bool enter_sandbox()
{
	if (sandboxed)
		return true;
	if (geteuid() != 0 || std::getenv("SYSLIB_TEST_NO_SANDBOX"))
		return false;
	char cwd[PATH_MAX];
	if (!getcwd(cwd, sizeof cwd))
		return false;
	if (unshare(CLONE_NEWNS) < 0)
		return false;
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
		return false;
	if (!build_root() || chdir(new_root) < 0 || chroot(".") < 0) {
		std::fprintf(stderr, "sandbox: cannot build the private root: %s\n",
			     std::strerror(errno));
		std::exit(2);  // half a sandbox is worse than none
	}
	if (chdir(cwd) < 0)
		chdir("/");
	sandboxed = true;
	return true;
}

bool in_sandbox() { return sandboxed; }

const std::string &scratch_dir()
{
	static const std::string dir = [] {
		char cwd[PATH_MAX] = ".";
		std::string base = sandboxed ? std::string("/tmp")
					     : std::string(getcwd(cwd, sizeof cwd) ? cwd : ".");
		std::string d = base + "/syslib-scratch-" + std::to_string(getpid());
		make_dirs(d);
		return d;
	}();
	return dir;
}

bool write_file(const std::string &path, const std::string &contents)
{
	size_t slash = path.rfind('/');
	if (slash != std::string::npos && slash > 0)
		make_dirs(path.substr(0, slash));
	FILE *f = std::fopen(path.c_str(), "wb");
	if (!f)
		return false;
	bool ok = std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
	return std::fclose(f) == 0 && ok;
}

bool bind_over(const std::string &source, const std::string &target)
{
	if (!sandboxed)
		return false;
	return mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

bool unbind(const std::string &target)
{
	return umount2(target.c_str(), MNT_DETACH) == 0;
}

int run_shell(const std::string &command)
{
	int status = std::system(command.c_str());
	if (status < 0 || !WIFEXITED(status))
		return -1;
	return WEXITSTATUS(status);
}

} // namespace syslib_test
