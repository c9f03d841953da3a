// tqsys: the operator's and daemon developer's view of libsyslib. The
// command line is CLI11's; every word is checked before a handler runs.
#include "commands.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <sstream>

#ifndef TQSYS_VERSION
#define TQSYS_VERSION "unknown"
#endif

namespace {

using namespace tqsys;

constexpr const char *exit_help =
	"exit status:\n"
	"  0  success; a match; a free port\n"
	"  1  no match; a port in use\n"
	"  2  bad command line or input file (nothing was sent to the device)\n"
	"  3  the library or the device reported a failure\n";

struct command_line {
	CLI::App app{"show and drive the system services of libsyslib", "tqsys"};
	args a;
	std::vector<std::string> help_words;

	// A command of one or more words; the handler found by its path.
	CLI::App *command(const std::string &path, const std::string &summary, bool reads = false)
	{
		CLI::App *at = &app;
		std::istringstream in(path);
		for (std::string word; in >> word;) {
			auto all = at->get_subcommands([&](CLI::App *s) { return s->get_name() == word; });
			// A word with more words after it is a group: one of them must follow.
			at = !all.empty() ? all.front() : at->add_subcommand(word)->require_subcommand(in.eof() ? 0 : 1);
		}
		at->description(summary);
		at->callback([this, path] { a.command = path; });
		if (reads)
			at->add_flag("--json", a.json, "one JSON document on one line");
		return at;
	}
	void word(CLI::App *c, const char *name, const char *help, bool required = true)
	{
		CLI::Option *o = c->add_option(name)->description(help)->each([this](const std::string &v) { a.words.push_back(v); });
		if (required)
			o->required();
	}
	// Every remaining word (the command's only positional).
	void words(CLI::App *c, const char *name, const char *help, bool required = false)
	{
		c->add_option(name, a.words, help)->required(required);
	}

	command_line()
	{
		app.require_subcommand(1);
		app.set_version_flag("--version", "tqsys " TQSYS_VERSION);
		app.footer(exit_help);
		CLI::App *c;
		c = command("status", "memory, file systems, CPU load, readiness, largest processes", true);
		words(c, "PATH", "further file systems to show");
		c->footer("The CPU load is measured over one second, so the command takes about a second.");
		c = command("ps", "every process of the survey, largest resident memory first", true);
		c->add_flag("-w,--watched", a.watched, "only the processes on the watch list");
		c->footer("One row per process name: the survey keeps one record per name, and PROCS counts the\n"
			  "processes of that name. The watch list is /f/etc/tq_mem_proc_list, or else the\n"
			  "library's own list of core daemons.");
		c = command("top", "live view: CPU load, memory and the largest processes, every second");
		c->add_option("-n,--iterations", a.iterations, "stop after N samples");
		c->footer("On a terminal it redraws in place; q or Ctrl-C leaves. Otherwise it prints one\n"
			  "plain snapshot per second.");
		c = command("match", "match TEXT against a * and ? pattern, or a comma-separated list", true);
		word(c, "TEXT", "the text to test");
		word(c, "PATTERN", "a pattern: * any run, ? one character", false);
		c->add_option("-l,--list", a.list, "comma-separated patterns instead of PATTERN");
		c->add_flag("-a,--all", a.all, "with --list: every pattern must match");
		c->add_flag("-v,--invert", a.invert, "with --list: turn the answer over");
		c->add_flag("-i,--ignore-case", a.ignore_case, "fold A-Z to a-z first");
		c->footer("Exit status 0 on a match and 1 otherwise, like grep.");
		word(command("pidfile", "read and check the pid in a pid file", true), "PATH", "the pid file");
		word(command("monitor", "monitor configuration and the status of its groups", true), "GROUP",
		     "only this group, 0 to 7", false);
		c = command("port", "whether a port number shows up in netstat -an", true);
		word(c, "PORT", "the port, 1 to 65535");
		c->footer("Exit status 0 when the port is free and 1 when it is in use.");
		for (auto [group, about] : {std::pair{"filter", "the packet filter table"}, {"client", "802.1X clients"},
					    {"swdog", "the software watchdog"}, {"hwdog", "the hardware watchdog"},
					    {"bbox", "the black-box records"},
					    {"module", "the kernel-module stand-in of a workstation"}})
			app.add_subcommand(group, about)->require_subcommand(1);
		command("filter count", "number of packet filters", true);
		command("filter list", "every packet filter", true);
		word(command("filter get", "the packet filter with a key, in the FILE format", true), "KEY",
		     "the filter's key (decimal or 0x hex)");
		c = command("filter add", "add the packet filter described in FILE");
		word(c, "FILE", "the filter file, - for stdin");
		c->footer("FILE holds one filter as lines of a field and its value:\n"
			  "    id    7            # names the filter for delete\n"
			  "    key   0x0a000001   # finds it for get\n"
			  "    rule  c0 a8 01 00  # up to 56 rule bytes in hex, over any lines");
		word(command("filter del", "delete the packet filter with an id"), "ID", "the filter's id");
		word(command("client count", "number of 802.1X clients", true), "SELECTOR",
		     "word for the module, 0 by default", false);
		word(command("client get", "one 802.1X client by its MAC address", true), "MAC",
		     "aa:bb:cc:dd:ee:ff or aa-bb-cc-dd-ee-ff");
		command("swdog enable", "enable the software watchdog");
		command("swdog disable", "disable the software watchdog");
		command("swdog set", "set the software watchdog");
		command("hwdog activate", "activate the hardware watchdog (/dev/board0)");
		command("hwdog deactivate", "deactivate the hardware watchdog (/dev/board0)");
		for (const char *record : {"info", "data", "state"})
			command(std::string("bbox ") + record, std::string("the black-box ") + record + " record, in hex", true)
				->add_option("-n,--bytes", a.bytes, "bytes to show, 64 by default");
		command("bbox start", "make the module update the black box this time");
		command("bbox stop", "stop the black-box update of this time");
		command("module status", "the kernel-module stand-in: where its state lives, what it holds", true);
		command("module reset", "empty every table of the stand-in");
		c = command("module client add", "put an 802.1X client into the stand-in's table");
		word(c, "MAC", "the client's address");
		c->add_option("--auth", a.auth, "0 unknown, 1 authenticated (default), 2 refused");
		c->add_option("--vlan", a.vlan, "VLAN id, 0 by default");
		c->add_option("--value", a.value, "auth value word, 0 by default");
		c->add_option("--ifindex", a.ifindex, "interface index, 0 by default");
		word(command("module client del", "take an 802.1X client out of the stand-in's table"), "MAC",
		     "the client's address");
		words(command("module trace", "set the kernel trace text of the stand-in"), "TEXT",
		      "the text, words joined by blanks", true);
		c = command("module reboot", "store a reboot record in the stand-in");
		word(c, "REASON", "the reason word");
		word(c, "NOTE", "a note of at most 47 bytes", false);
		word(command("module bbox", "set the stand-in's black-box data from FILE"), "FILE",
		     "at most 508 bytes, - for stdin");
		c = app.add_subcommand("help", "the help of a command: tqsys help filter add");
		c->add_option("COMMAND", help_words, "the command's words");
	}

	// The help of the command named by `path`'s words.
	int help(const std::vector<std::string> &path)
	{
		CLI::App *at = &app;
		for (const std::string &w : path) {
			try {
				at = at->get_subcommand(w);
			} catch (const CLI::OptionNotFound &) {
				throw usage_error("help: no command '" + printable(w) + "' (try 'tqsys --help')");
			}
		}
		std::string prefix = "tqsys";
		for (size_t i = 0; i + 1 < path.size(); ++i)
			prefix += " " + path[i];
		std::cout << (path.empty() ? app.help() : at->help(prefix));
		return exit_ok;
	}
};

// The deepest command the parser reached, and its words.
CLI::App *reached(CLI::App &app, std::string &path)
{
	CLI::App *at = &app;
	while (!at->get_subcommands().empty()) {
		at = at->get_subcommands().front();
		path.append(path.empty() ? "" : " ").append(at->get_name());
	}
	return at;
}

} // namespace

int main(int argc, char **argv)
{
	command_line cl;
	try {
		cl.app.parse(argc, argv);
		if (cl.app.got_subcommand("help"))
			return cl.help(cl.help_words);
		capture_library_reports();
		return find_handler(cl.a.command)(cl.a);
	} catch (const CLI::CallForHelp &e) {
		return cl.app.exit(e);
	} catch (const CLI::CallForVersion &e) {
		return cl.app.exit(e);
	} catch (const CLI::ParseError &e) {
		std::string path, what = e.what();
		CLI::App *at = reached(cl.app, path);
		auto subs = at->get_subcommands([](CLI::App *) { return true; });
		if (!subs.empty() && !at->remaining().empty()) {  // a word that names no command
			what = "unknown command '" + printable(at->remaining().front()) + "'; one of ";
			for (CLI::App *sub : subs)
				what += sub->get_name() + (sub == subs.back() ? "" : ", ");
		}
		std::fprintf(stderr, "tqsys: %s%s%s (try 'tqsys %s%s--help')\n", path.c_str(), path.empty() ? "" : ": ",
			     what.c_str(), path.c_str(), path.empty() ? "" : " ");
		return exit_usage;
	} catch (const usage_error &e) {
		std::fprintf(stderr, "tqsys: %s\n", e.what());
		return exit_usage;
	} catch (const std::exception &e) {
		std::fprintf(stderr, "tqsys: %s\n", e.what());
		return exit_failed;
	}
}
