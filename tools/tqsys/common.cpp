// What every family of commands shares: the library's reports, the one
// error line, input files, and the control device held for one command.
#include "commands.h"

#include "tq_runtime.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace tqsys {
namespace {

std::string last_report;

void remember_report(const tqrt_record *rec, void *)
{
	std::string_view text = rec->text ? rec->text : "";
	while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
		text.remove_suffix(1);
	last_report = printable(text);  // one line, whatever bytes a report quotes
}

} // namespace

void capture_library_reports()
{
	auto quiet = lookup<void (*)(int)>("tqrt_set_quiet");
	auto observe = lookup<void (*)(tqrt_observer_fn, void *)>("tqrt_set_observer");
	if (quiet && observe)
		quiet(1), observe(remember_report, nullptr);
}

std::string because()
{
	std::string why = last_report.empty() ? "" : " (" + last_report + ")";
	last_report.clear();
	return why;
}

int failed(const args &a, const std::string &what)
{
	std::fprintf(stderr, "tqsys: %s: %s%s\n", a.command.c_str(), what.c_str(), because().c_str());
	return exit_failed;
}

void emit(const args &a, const json &doc, const std::string &text)
{
	std::cout << (a.json ? json_text(doc) + "\n" : text);
}

uint32_t number(const args &a, size_t word, uint64_t min, uint64_t max, const char *what)
{
	return static_cast<uint32_t>(parse_number(a.words.at(word), min, max, a.command + ": " + what));
}

std::string read_input(const args &a, const std::string &path, size_t most, const char *what)
{
	const bool in = path == "-";
	const std::string name = in ? "stdin" : printable(path);
	const int fd = in ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
	std::string text(most + 1, '\0');
	size_t got = 0;
	ssize_t n = fd < 0 ? -1 : 1;
	while (n > 0 && got < text.size())
		if ((n = read(fd, text.data() + got, text.size() - got)) > 0)
			got += static_cast<size_t>(n);
		else if (n < 0 && errno == EINTR)
			n = 1;
	const int err = errno;
	if (fd >= 0 && !in)
		close(fd);
	if (n < 0)
		throw usage_error(a.command + ": cannot read " + name + ": " + std::strerror(err));
	if (got > most)
		throw usage_error(a.command + ": " + name + " is larger than " + std::to_string(most) + " bytes, the most " +
				  what);
	text.resize(got);
	return text;
}

const char *standin_problem()
{
	auto problem = lookup<const char *(*)()>("tqsys_module_problem");
	return problem ? problem() : nullptr;
}

device::device(const args &a)
{
	if (tq_syslib_init() == 0) {
		code_ = exit_ok;
		return;
	}
	// A node that exists but does not open is a matter of rights; a
	// missing one means no module, unless the stand-in says why.
	const char *problem = standin_problem();
	failed(a, "cannot open /dev/tq_sys: " +
			  (problem ? "the kernel-module stand-in is loaded, but its state is unusable: " + std::string(problem)
			   : access("/dev/tq_sys", F_OK) == 0
				   ? std::string("the device exists: run tqsys as root")
				   : std::string("the kernel module is not loaded (on a workstation preload its "
						 "stand-in: LD_PRELOAD=<prefix>/lib/libtqsys_module.so)")));
}

device::~device()
{
	if (code_ == exit_ok)
		tq_syslib_exit();
}

} // namespace tqsys
