// A child process of the test with a chosen name and a chosen amount of
// touched memory, alive until the object goes; and fixture files bound
// over its /proc entries.
#pragma once

#include "sandbox.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace syslib_test {

class child_process {
public:
	explicit child_process(const char *name, size_t touch_bytes = 0)
	{
		int ready[2], hold[2];
		if (pipe(ready) != 0 || pipe(hold) != 0)
			return;
		pid_ = fork();
		if (pid_ == 0) {
			close(ready[0]);
			close(hold[1]);
			prctl(PR_SET_NAME, name, 0, 0, 0);
			if (touch_bytes) {
				auto *p = static_cast<volatile char *>(std::malloc(touch_bytes));
				for (size_t i = 0; p && i < touch_bytes; i += 512)
					p[i] = 1;
			}
			char c = 1;
			(void)!write(ready[1], &c, 1);
			(void)!read(hold[0], &c, 1);  // until the parent closes its end
			_exit(0);
		}
		close(ready[1]);
		close(hold[0]);
		hold_ = hold[1];
		char c;
		(void)!read(ready[0], &c, 1);
		close(ready[0]);
	}
	~child_process()
	{
		if (hold_ >= 0)
			close(hold_);
		if (pid_ > 0)
			waitpid(pid_, nullptr, 0);
	}
	child_process(const child_process &) = delete;
	child_process &operator=(const child_process &) = delete;

	int pid() const { return pid_; }

private:
	int pid_ = -1;
	int hold_ = -1;
};

// Fixture contents bound over /proc/<pid>/<file> until the object goes.
class proc_fixture {
public:
	proc_fixture(int pid, const std::string &file, const std::string &contents)
		: target_("/proc/" + std::to_string(pid) + "/" + file)
	{
		std::string source = scratch_dir() + "/fixture-" + std::to_string(pid) + "-" + file;
		bound_ = write_file(source, contents) && bind_over(source, target_);
	}
	~proc_fixture()
	{
		if (bound_)
			unbind(target_);
	}
	proc_fixture(const proc_fixture &) = delete;
	proc_fixture &operator=(const proc_fixture &) = delete;
	bool bound() const { return bound_; }

private:
	std::string target_;
	bool bound_ = false;
};

// What /proc calls the process: a test that needs the name given with
// prctl checks it here first.
inline std::string proc_name(int pid)
{
	std::string path = "/proc/" + std::to_string(pid) + "/comm";
	FILE *f = std::fopen(path.c_str(), "r");
	if (!f)
		return {};
	char buf[64] = {};
	if (!std::fgets(buf, sizeof buf, f))
		buf[0] = '\0';
	std::fclose(f);
	std::string name(buf);
	if (!name.empty() && name.back() == '\n')
		name.pop_back();
	return name;
}

} // namespace syslib_test
