// A fixed world for calling every stateless family repeatedly and
// expecting the same answers: /proc files bound over with fixtures, a
// stopped child whose memory does not move, pid files, monitor files and
// a small tmpfs of known size.
#pragma once

#include <string>
#include <sys/types.h>

namespace syslib_test {

class fixed_world {
public:
	// Builds everything inside the sandbox; ok() tells whether it worked.
	fixed_world();
	~fixed_world();
	fixed_world(const fixed_world &) = delete;
	fixed_world &operator=(const fixed_world &) = delete;

	bool ok() const { return ok_; }
	pid_t stopped_child() const { return child_; }
	const std::string &pid_file() const { return pid_file_; }
	const std::string &bad_pid_file() const { return bad_pid_file_; }
	const std::string &fs_dir() const { return fs_dir_; }

private:
	bool ok_ = false;
	bool bound_ = false;
	pid_t child_ = -1;
	std::string pid_file_, bad_pid_file_, fs_dir_;
	std::string meminfo_, stat_;
};

} // namespace syslib_test
