// Fixtures of the statistics tests: a made-up /proc, and the reports made.
#pragma once

#include "reports.h"
#include "sandbox.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace syslib_test {

using lines = std::vector<std::string>;

// Each report as its channel, level and text: "err: ..." for __tq_err,
// "log 3: ..." for tq_log at level 3, "flash 3: ..." for tq_log_flash.
inline lines reported(const report_capture &reports)
{
	lines all;
	for (const report &r : reports.all())
		all.push_back(r.channel == TQRT_ERR ? "err: " + r.text
			      : (r.channel == TQRT_LOG ? "log " : "flash ") +
					std::to_string(r.level) + ": " + r.text);
	return all;
}

// A scratch directory bound over `target` until the object goes; files put
// in it show through.
class fake_dir {
public:
	explicit fake_dir(const char *target = "/proc")
		: dir(scratch_dir() + "/fake" + std::to_string(++serial_)), target_(target),
		  ok_(mkdir(dir.c_str(), 0755) == 0 && bind_over(dir, target))
	{
	}
	~fake_dir()
	{
		if (ok_)
			unbind(target_);
	}
	bool ok() const { return ok_; }
	void put(const std::string &name, const std::string &text) const
	{
		write_file(dir + "/" + name, text);
	}
	// A process entry: `rss_pages` resident, 1 shared, 2 text, 3 heap.
	void process(int pid, const std::string &name, uint32_t rss_pages) const
	{
		const std::string d = std::to_string(pid);
		put(d + "/statm", "100 " + std::to_string(rss_pages) + " 1 2 0 0 0 3\n");
		put(d + "/status", "Name:\t" + name + "\nVmData:\t8 kB\nVmStk:\t4 kB\n");
	}
	const std::string dir;

private:
	static inline int serial_ = 0;
	std::string target_;
	bool ok_;
};

} // namespace syslib_test
