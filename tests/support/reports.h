// Captures what the library hands to the runtime library: channel, level,
// format exactly as passed, the text it made, and the line.
#pragma once

#include "tq_runtime.h"

#include <mutex>
#include <string>
#include <vector>

namespace syslib_test {

struct report {
	tqrt_channel channel;
	int level;
	int line;
	std::string fmt;
	std::string text;
};

// Installs itself as the runtime's observer for its lifetime.
class report_capture {
public:
	report_capture();
	~report_capture();
	report_capture(const report_capture &) = delete;
	report_capture &operator=(const report_capture &) = delete;

	std::vector<report> all() const;
	void clear();
	size_t size() const;
	// The one report captured; fails the test when there is not exactly one.
	report only() const;

private:
	static void observe(const tqrt_record *rec, void *ctx);
	mutable std::mutex lock_;
	std::vector<report> reports_;
};

} // namespace syslib_test
