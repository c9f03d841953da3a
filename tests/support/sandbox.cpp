#include "sandbox.h"

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

// An overlay whose writes land in the staging tmpfs; a plain bind when
// overlays are not available (the directory is then read-mostly).
void overlay_or_bind(const std::string &host_dir, const std::string &target)
{
	std::string name = host_dir.substr(1);
	std::string upper = std::string(staging) + "/ovl/" + name + "/upper";
	std::string work = std::string(staging) + "/ovl/" + name + "/work";
	make_dirs(upper);
	make_dirs(work);
	std::string opts = "lowerdir=" + host_dir + ",upperdir=" + upper + ",workdir=" + work;
	if (mount("overlay", target.c_str(), "overlay", 0, opts.c_str()) == 0)
		return;
	mount(host_dir.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
}

bool build_root()
{
	if (!mount_tmpfs(staging))
		return false;
	if (mkdir(new_root, 0755) < 0 || !mount_tmpfs(new_root))
		return false;
	chmod(new_root, 0755);

	DIR *top = opendir("/");
	if (!top)
		return false;
	while (struct dirent *e = readdir(top)) {
		std::string name = e->d_name;
		if (name == "." || name == ".." || name == "tmp" || name == "etc" || name == "f")
			continue;
		std::string host = "/" + name;
		std::string inside = std::string(new_root) + host;
		struct stat sb;
		if (lstat(host.c_str(), &sb) < 0)
			continue;
		if (S_ISLNK(sb.st_mode)) {
			char target[PATH_MAX];
			ssize_t n = readlink(host.c_str(), target, sizeof target - 1);
			if (n > 0) {
				target[n] = '\0';
				symlink(target, inside.c_str());
			}
		} else if (S_ISDIR(sb.st_mode)) {
			mkdir(inside.c_str(), sb.st_mode & 07777);
			mount(host.c_str(), inside.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
		}
	}
	closedir(top);

	std::string root = new_root;
	mkdir((root + "/tmp").c_str(), 01777);
	chmod((root + "/tmp").c_str(), 01777);
	mkdir((root + "/etc").c_str(), 0755);
	overlay_or_bind("/etc", root + "/etc");
	mkdir((root + "/f").c_str(), 0755);
	struct stat sb;
	if (stat("/f", &sb) == 0 && S_ISDIR(sb.st_mode))
		overlay_or_bind("/f", root + "/f");
	// Shared memory of the host (where the module's default state lives)
	// stays out of reach.
	mount_tmpfs((root + "/dev/shm").c_str());
	return true;
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
