// Fixtures of the statistics tests: mounts over /proc files, a child with
// a chosen name and touched memory.
#pragma once

#include "sandbox.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace syslib_test {

// A fresh empty scratch directory.
inline std::string new_dir()
{
	static int serial = 0;
	std::string d = scratch_dir() + "/d" + std::to_string(++serial);
	mkdir(d.c_str(), 0755);
	return d;
}

// Binds `source` over `target` until the object goes.
class bound {
public:
	bound(const std::string &source, const std::string &target)
		: target_(target), ok_(bind_over(source, target))
	{
	}
	~bound()
	{
		if (ok_)
			unbind(target_);
	}
	bool ok() const { return ok_; }

private:
	std::string target_;
	bool ok_;
};

// `contents` bound over `target`; path() may be rewritten while bound.
class file_over {
public:
	file_over(const std::string &target, const std::string &contents)
		: path_(new_dir() + "/f"), bind_((write_file(path_, contents), path_), target)
	{
	}
	bool ok() const { return bind_.ok(); }
	const std::string &path() const { return path_; }

private:
	std::string path_;
	bound bind_;
};

// A child named `name` that touched `touch_bytes` of heap before the
// constructor returns; killed when the object goes.
class child_process {
public:
	explicit child_process(const char *name, size_t touch_bytes = 0)
	{
		int ready[2];
		if (pipe(ready) != 0)
			return;
		pid_ = fork();
		if (pid_ == 0) {
			prctl(PR_SET_NAME, name, 0, 0, 0);
			auto *p = static_cast<volatile char *>(std::malloc(touch_bytes + 1));
			for (size_t i = 0; p && i < touch_bytes; i += 512)
				p[i] = 1;
			(void)!write(ready[1], "", 1);
			for (;;)
				pause();
		}
		char c;
		close(ready[1]);
		(void)!read(ready[0], &c, 1);
		close(ready[0]);
	}
	~child_process()
	{
		if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
			waitpid(pid_, nullptr, 0);
	}
	int pid() const { return pid_; }

private:
	int pid_ = -1;
};

// What /proc calls the process: under qemu the emulator keeps its own name.
inline std::string proc_name(int pid)
{
	std::string name;
	std::ifstream("/proc/" + std::to_string(pid) + "/comm") >> name;
	return name;
}

} // namespace syslib_test
