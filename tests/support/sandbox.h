// The private mount namespace and scratch files, without GoogleTest, so
// that the fuzz targets can use them too.
#pragma once

// What the tests and fuzz targets use, included once here.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace syslib_test {

// True when main() entered the private namespace (root only): an overlay
// of the host's root with a fresh /tmp, /dev/shm and /f/etc.
bool in_sandbox();
// Enters it; main() calls this while the process has one thread.
bool enter_sandbox();

// Scratch directory of this process (in the sandbox's /tmp when there is one).
const std::string &scratch_dir();
bool write_file(const std::string &path, const std::string &contents);
std::string read_file(const std::string &path);

// A scratch directory bound over `target` (inside the sandbox only) for
// the object's lifetime; files put in it show through.
struct fake_dir {
	explicit fake_dir(const char *target = "/proc");
	~fake_dir();
	bool ok() const { return ok_; }
	void put(const std::string &name, const std::string &text) const;
	const std::string dir, target_;
	const bool ok_;
};

} // namespace syslib_test
