// The handlers of tqsys and what they share with the live view.
#pragma once

#include "format.h"
#include "tq_syslib.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tqsys {

// The command line as the parser left it: names and words as given; each
// handler checks its numbers and addresses before it touches the device.
struct args {
	std::string command;             // "filter add"
	std::vector<std::string> words;  // the positional words, in order
	bool json = false, watched = false, all = false, invert = false, ignore_case = false;
	std::string list, bytes, auth = "1", vlan = "0", value = "0", ifindex = "0", iterations;
};

using handler = int (*)(const args &);

// The handler of a command path ("filter add"); null for none.
handler find_handler(const std::string &path);

// Sends the runtime's reports to the one line tqsys writes, not to stderr.
void capture_library_reports();

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

// One line on stderr, "tqsys: COMMAND: WHAT (the library's report)", and 3.
int failed(const args &a, const std::string &what);

// The live view: CPU load, memory and the largest processes, once per sample.
int cmd_top(const args &a);

} // namespace tqsys
