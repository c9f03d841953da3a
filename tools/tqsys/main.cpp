// tqsys: the operator's and daemon developer's view of libsyslib.
#include "cli.h"
#include "commands.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <string_view>
#include <vector>

int main(int argc, char **argv)
{
	using namespace tqsys;
	std::vector<std::string_view> words(argv + 1, argv + argc);
	try {
		parse_result r = parse(commands(), words);
		if (!r.inv.command) {
			std::cout << (r.group.empty() ? overview_help(commands())
						      : group_help(commands(), r.group));
			return exit_ok;
		}
		if (r.inv.help) {
			std::cout << command_help(*r.inv.command);
			return exit_ok;
		}
		capture_library_reports();
		return r.inv.command->run(r.inv);
	} catch (const usage_error &e) {
		std::fprintf(stderr, "tqsys: %s\n", e.what());
		return exit_usage;
	} catch (const std::exception &e) {
		std::fprintf(stderr, "tqsys: %s\n", e.what());
		return exit_failed;
	}
}
