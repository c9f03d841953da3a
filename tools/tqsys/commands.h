// The handlers of tqsys, one file per family as the library's sources are
// laid out, and what they share.
#pragma once

#include "format.h"
#include "tq_syslib.h"

#include <dlfcn.h>
#include <string>
#include <vector>

namespace tqsys {

struct args;
using handler = int (*)(const args &);

// The command line as the parser left it: names and words as given; each
// handler checks its numbers and addresses before it touches the device.
struct args {
	std::string command;             // "filter add"
	handler run = nullptr;
	std::vector<std::string> words;  // the positional words, in order
	bool json = false, watched = false, all = false, invert = false, ignore_case = false;
	std::string list, bytes, auth = "1", vlan = "0", value = "0", ifindex = "0", iterations;
};

// ---- the handlers, by the file that holds them ----
int cmd_status(const args &a);   // stats.cpp
int cmd_ps(const args &a);
int cmd_metrics(const args &a);  // metrics.cpp
int cmd_top(const args &a);      // top.cpp
int cmd_match(const args &a);    // match.cpp
int cmd_pidfile(const args &a);  // process.cpp
int cmd_monitor(const args &a);  // monitor.cpp
int cmd_filter(const args &a);   // kernel.cpp
int cmd_client(const args &a);
int cmd_plain(const args &a);
int cmd_record(const args &a);
int cmd_port(const args &a);
int cmd_module(const args &a);   // module.cpp

// ---- shared (common.cpp) ----

// Sends the runtime's reports to the one line tqsys writes, not to stderr.
void capture_library_reports();

// The library's report of the failure just seen, in parentheses, or "".
std::string because();

// One line on stderr, "tqsys: COMMAND: WHAT (the library's report)", and 3.
int failed(const args &a, const std::string &what);

// The JSON document or the text, as --json asks.
void emit(const args &a, const json &doc, const std::string &text);

// Positional word `word` as a number from min to max, or a usage_error.
uint32_t number(const args &a, size_t word, uint64_t min, uint64_t max, const char *what);

// A command's input file, or stdin for "-", read up to `most` bytes: more
// is refused, so a mistyped path (/dev/zero) costs nothing.
std::string read_input(const args &a, const std::string &path, size_t most, const char *what);

// Found by name: the workstation's runtime and the kernel-module stand-in
// have these calls, the device's runtime has not.
template <class F> F lookup(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

// Why the stand-in's state cannot be used; null when it can or is absent.
const char *standin_problem();

// Holds /dev/tq_sys open for one command, opened only after every check.
class device {
public:
	explicit device(const args &a);
	~device();
	device(const device &) = delete;
	device &operator=(const device &) = delete;
	int code() const { return code_; }

private:
	int code_ = exit_failed;
};

// ---- the survey and the figures of status (stats.cpp) ----

// The survey, largest resident set first, with what the tool adds to it:
// each record's whole name and how many processes share its name.
struct process_row {
	tq_mem_proc_info_t info;
	std::string name;
	int processes;
};
struct survey {
	bool ok = false, complete = false;
	std::vector<process_row> rows;
};
survey take_survey();

// The memory summary as text lines and as JSON; false when unreadable.
bool memory_summary(table &t, std::string &notes, json &doc);

// Everything status shows, as its JSON document, and as text when asked.
json status_report(const std::vector<std::string> &paths, std::string *text);

} // namespace tqsys
