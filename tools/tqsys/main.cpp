// tqsys: the operator's and daemon developer's view of libsyslib. The
// command line is CLI11's; every word is checked before a handler runs.
#include "commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#ifndef TQSYS_VERSION
#define TQSYS_VERSION "unknown"
#endif

namespace {

using namespace tqsys;

constexpr const char *exit_help =
	"exit status:\n"
	"  0    success; a match; a free port\n"
	"  1    no match; a port in use; standard output (or the metrics file) not written\n"
	"  2    bad command line or input (nothing was sent to the device)\n"
	"  3    the library or the device reported a failure\n"
	"  128+N  ended by signal N (top)\n";

struct command_line {
	CLI::App app{"show and drive the system services of libsyslib", "tqsys"};
	args a;
	std::vector<std::string> help_words;
	std::vector<std::pair<std::string, std::string>> listed;  // every command and its summary
	std::vector<std::string> readers;                        // the commands that take --json

	// A command of one or more words, run by `fn`, listed by help; one that
	// shows something takes --json.
	CLI::App *command(const std::string &path, handler fn, const std::string &summary, bool reads = false)
	{
		CLI::App *at = &app;
		std::istringstream in(path);
		for (std::string word; in >> word;) {
			auto all = at->get_subcommands([&](CLI::App *s) { return s->get_name() == word; });
			// A word with more words after it is a group: one of them must follow.
			at = !all.empty() ? all.front() : at->add_subcommand(word)->require_subcommand(in.eof() ? 0 : 1);
		}
		at->description(summary);
		at->callback([this, path, fn] { a.command = path, a.run = fn; });
		listed.push_back({path, summary});
		if (reads)  // also before the command: tqsys --json ps
			at->add_flag("-j,--json", a.json, "one JSON document on one line"), readers.push_back(path);
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
	void option(CLI::App *c, const char *names, std::string &to, const char *help)
	{
		c->add_option(names, to, help)->type_name("UINT");
	}

	command_line()
	{
		app.require_subcommand(1);
		app.set_version_flag("-V,--version", "tqsys " TQSYS_VERSION);
		// Before the command as well as after it, as ip -j is typed.
		app.add_flag("-j,--json", a.json, "one JSON document on one line, for the commands that show something");
		CLI::App *c;
		c = command("status", cmd_status, "memory, file systems, CPU load, readiness, largest processes", true);
		words(c, "PATH", "further file systems to show");
		c->footer("The CPU load is measured over one second, so the command takes about a second.");
		c = command("ps", cmd_ps, "every process of the survey, largest resident memory first", true);
		c->add_flag("-w,--watched", a.watched, "only the processes on the watch list");
		c->footer("One row per process name: the survey keeps one record per name, and PROCS counts the\n"
			  "processes of that name. The watch list is /f/etc/tq_mem_proc_list, or else the\n"
			  "library's own list of core daemons.");
		c = command("top", cmd_top, "live view: CPU load, memory and the largest processes, every second");
		option(c, "-n,--iterations", a.iterations, "stop after N samples");
		c->footer("On a terminal it redraws in place, within the terminal's size; q or Ctrl-C leaves.\n"
			  "Otherwise it prints one time-stamped snapshot per second. Ended by signal N: exit 128+N.");
		c = command("metrics", cmd_metrics, "the figures of status in the Prometheus text format");
		word(c, "FILE", "write them to FILE (a temporary file renamed over it), not to stdout", false);
		c = command("match", cmd_match, "match TEXT against a * and ? pattern, or a comma-separated list", true);
		word(c, "TEXT", "the text to test");
		word(c, "PATTERN", "a pattern: * any run, ? one character", false);
		c->add_option("-l,--list", a.list, "comma-separated patterns instead of PATTERN");
		c->add_flag("-a,--all", a.all, "with --list: every pattern must match");
		c->add_flag("-v,--invert", a.invert, "with --list: turn the answer over");
		c->add_flag("-i,--ignore-case", a.ignore_case, "fold A-Z to a-z first");
		c->footer("Exit status 0 on a match and 1 otherwise, like grep.");
		word(command("pidfile", cmd_pidfile, "read and check the pid in a pid file", true), "PATH", "the pid file");
		word(command("monitor", cmd_monitor, "monitor configuration and the status of its groups", true), "GROUP",
		     "only this group, 0 to 7", false);
		c = command("port", cmd_port, "whether a port number shows up in netstat -an", true);
		word(c, "PORT", "the port, 1 to 65535");
		c->footer("Exit status 0 when the port is free and 1 when it is in use.");
		for (auto [group, about] : {std::pair{"filter", "the packet filter table"}, {"client", "802.1X clients"},
					    {"swdog", "the software watchdog"}, {"hwdog", "the hardware watchdog"},
					    {"bbox", "the black-box records"}, {"trace", "the kernel trace"},
					    {"reboot", "the reboot record"},
					    {"module", "the kernel-module stand-in of a workstation"}})
			app.add_subcommand(group, about)->require_subcommand(1);
		command("filter count", cmd_filter, "number of packet filters", true);
		command("filter list", cmd_filter, "every packet filter", true);
		word(command("filter get", cmd_filter, "the packet filter with a key, in the FILE format", true), "KEY",
		     "the filter's key (decimal or 0x hex)");
		c = command("filter add", cmd_filter, "add the packet filter described in FILE");
		word(c, "FILE", "the filter file, - for stdin; at most 16384 bytes");
		c->footer("FILE holds one filter as lines of a field and its value:\n"
			  "    id    7            # names the filter for delete\n"
			  "    key   0x0a000001   # finds it for get\n"
			  "    rule  c0 a8 01 00  # up to 56 rule bytes in hex, over any lines");
		word(command("filter del", cmd_filter, "delete the packet filter with an id"), "ID", "the filter's id");
		word(command("client count", cmd_client, "number of 802.1X clients", true), "SELECTOR",
		     "word for the module, 0 by default", false);
		word(command("client get", cmd_client, "one 802.1X client by its MAC address", true), "MAC",
		     "aa:bb:cc:dd:ee:ff or aa-bb-cc-dd-ee-ff");
		command("swdog enable", cmd_plain, "enable the software watchdog");
		command("swdog disable", cmd_plain, "disable the software watchdog");
		command("swdog set", cmd_plain, "set the software watchdog");
		command("hwdog activate", cmd_plain, "activate the hardware watchdog (/dev/board0)");
		command("hwdog deactivate", cmd_plain, "deactivate the hardware watchdog (/dev/board0)");
		for (auto [record, what] : {std::pair{"bbox info", "the black-box info record"}, {"bbox data", "the black-box data"},
					    {"bbox state", "the black box's update-this-time word"},
					    {"trace show", "the kernel trace"}, {"reboot show", "the reboot record"}})
			option(command(record, cmd_record, what + std::string(", as hexdump -C shows it"), true), "-n,--bytes",
			       a.bytes, "bytes to show; by default up to the last that is not zero");
		command("bbox start", cmd_plain, "make the module update the black box this time");
		command("bbox stop", cmd_plain, "stop the black-box update of this time");
		command("trace clear", cmd_plain, "empty the kernel trace");
		command("reboot clear", cmd_plain, "clear the reboot record");
		command("module status", cmd_module, "the kernel-module stand-in: where its state lives, what it holds", true);
		command("module reset", cmd_module, "empty every table of the stand-in");
		c = command("module client add", cmd_module, "put an 802.1X client into the stand-in's table");
		app.get_subcommand("module")->get_subcommand("client")->description("the stand-in's 802.1X clients");
		word(c, "MAC", "the client's address");
		option(c, "--auth", a.auth, "0 unknown, 1 authenticated (default), 2 refused");
		option(c, "--vlan", a.vlan, "VLAN id, 0 by default");
		option(c, "--value", a.value, "auth value word, 0 by default");
		option(c, "--ifindex", a.ifindex, "interface index, 0 by default");
		word(command("module client del", cmd_module, "take an 802.1X client out of the stand-in's table"), "MAC",
		     "the client's address");
		words(command("module trace", cmd_module, "set the kernel trace text of the stand-in"), "TEXT",
		      "the text, words joined by blanks; at most 506 bytes", true);
		c = command("module reboot", cmd_module, "store a reboot record in the stand-in");
		word(c, "REASON", "the reason word");
		word(c, "NOTE", "a note of at most 47 bytes", false);
		word(command("module bbox", cmd_module, "set the stand-in's black-box data from FILE"), "FILE",
		     "at most 508 bytes, - for stdin");
		c = app.add_subcommand("help", "every command, or the help of one: tqsys help filter add");
		c->add_option("COMMAND", help_words, "the command's words");
		app.footer(exit_help);  // set last: the commands' own pages do not take it
	}

	// Every command, or the help of the command named by `path`'s words.
	int help(const std::vector<std::string> &path)
	{
		CLI::App *at = &app;
		for (const std::string &w : path) {
			try {
				at = at->get_subcommand(w);
			} catch (const CLI::OptionNotFound &) {
				throw usage_error("help: no command '" + printable(w) + "' (try 'tqsys help')");
			}
		}
		if (path.empty()) {
			table t({{""}, {""}});
			for (const auto &[name, summary] : listed)
				t.add({name, summary});
			std::cout << "tqsys: " << app.get_description() << "\n\ncommands:\n" << t.render("  ")
				  << "\n-j, --json before or after a command that shows something; -V, --version.\n"
				     "tqsys help COMMAND (or tqsys COMMAND --help) for a command's options.\n\n"
				  << exit_help;
			return exit_ok;
		}
		std::string prefix = "tqsys";
		for (size_t i = 0; i + 1 < path.size(); ++i)
			prefix += " " + path[i];
		std::cout << at->help(prefix);
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
	int rc;
	try {
		cl.app.parse(argc, argv);
		if (cl.app.got_subcommand("help")) {
			rc = cl.help(cl.help_words);
		} else {
			const args &a = cl.a;
			if (a.json && std::find(cl.readers.begin(), cl.readers.end(), a.command) == cl.readers.end())
				throw usage_error(a.command + ": --json goes with a command that shows something");
			capture_library_reports();
			rc = a.run(a);
		}
	} catch (const CLI::CallForHelp &e) {
		rc = cl.app.exit(e);
	} catch (const CLI::CallForVersion &e) {
		rc = cl.app.exit(e);
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
	// A full disk or a closed pipe behind stdout is a failure, said as ps says it.
	std::cout.flush();
	if (std::fflush(stdout) != 0 || std::ferror(stdout) || !std::cout) {
		std::fprintf(stderr, "tqsys: %s: write error: %s\n", cl.a.command.empty() ? "help" : cl.a.command.c_str(),
			     errno ? std::strerror(errno) : "standard output failed");
		return std::max(rc, int(exit_no));
	}
	return rc;
}
