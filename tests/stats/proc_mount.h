// Fixture mounts of the statistics tests: a file bound over a /proc file,
// an empty directory over /proc itself, a small tmpfs.
#pragma once

#include "sandbox.h"

#include <string>
#include <sys/mount.h>
#include <sys/stat.h>

namespace syslib_test {

// Binds `source` over `target` until the object goes.
class bound {
public:
	bound(const std::string &source, const std::string &target) : target_(target)
	{
		ok_ = bind_over(source, target);
	}
	~bound()
	{
		if (ok_)
			unbind(target_);
	}
	bound(const bound &) = delete;
	bound &operator=(const bound &) = delete;
	bool ok() const { return ok_; }

private:
	std::string target_;
	bool ok_ = false;
};

// `contents` in a scratch file bound over `target`; the file stays at
// path() so that a test can rewrite it while it is bound.
class file_over {
public:
	file_over(const std::string &target, const std::string &contents)
		: source_(write(target, contents)), bind_(source_, target)
	{
	}
	bool ok() const { return bind_.ok(); }
	const std::string &path() const { return source_; }

private:
	static std::string write(const std::string &target, const std::string &contents)
	{
		std::string source = scratch_dir() + "/over" + std::to_string(++serial_) + "-" +
				     target.substr(target.rfind('/') + 1);
		write_file(source, contents);
		return source;
	}
	static inline int serial_ = 0;
	std::string source_;
	bound bind_;
};

// /proc with nothing in it: every file of it fails to open.
class empty_proc : public bound {
public:
	empty_proc() : bound(make(), "/proc") {}

private:
	static std::string make()
	{
		std::string d = scratch_dir() + "/empty-proc";
		mkdir(d.c_str(), 0755);
		return d;
	}
};

// A tmpfs of `kib` KiB mounted on a scratch directory until the object goes.
class small_tmpfs {
public:
	explicit small_tmpfs(unsigned kib) : dir_(scratch_dir() + "/fs" + std::to_string(++serial_))
	{
		mkdir(dir_.c_str(), 0755);
		std::string opts = "size=" + std::to_string(kib) + "k";
		ok_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, opts.c_str()) == 0;
	}
	~small_tmpfs()
	{
		if (ok_)
			umount2(dir_.c_str(), MNT_DETACH);
	}
	small_tmpfs(const small_tmpfs &) = delete;
	small_tmpfs &operator=(const small_tmpfs &) = delete;
	bool ok() const { return ok_; }
	const std::string &dir() const { return dir_; }

private:
	static inline int serial_ = 0;
	std::string dir_;
	bool ok_ = false;
};

} // namespace syslib_test
