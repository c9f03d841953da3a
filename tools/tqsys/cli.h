// Command table and argument parser of tqsys. Every command, its
// arguments and its options are data; the parser validates all of them
// before a handler runs, so a handler never sees malformed input.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tqsys {

// Exit statuses, documented in `tqsys --help`.
enum exit_code : int {
	exit_ok = 0,
	exit_no = 1,           // no match, port in use: a negative answer
	exit_usage = 2,        // bad command line or input file
	exit_failed = 3,       // the library or the device refused
	exit_unavailable = 4,  // the installed libsyslib lacks the function
};

using mac_address = std::array<uint8_t, 6>;

// What an argument or an option value must look like.
struct value_rule {
	enum kind_t { text, number, mac } kind = text;
	uint64_t min = 0;
	uint64_t max = UINT32_MAX;
};

inline constexpr value_rule text_value{value_rule::text};
inline constexpr value_rule mac_value{value_rule::mac};
constexpr value_rule number_value(uint64_t min, uint64_t max)
{
	return {value_rule::number, min, max};
}
inline constexpr value_rule u32_value = number_value(0, UINT32_MAX);

struct arg_def {
	std::string_view name;  // shown in usage, key of the parsed value
	value_rule value;
	bool optional = false;
	bool repeated = false;  // takes every remaining word (last only)
	std::string_view help = {};
};

struct option_def {
	std::string_view name;      // long name without "--"
	char short_name = 0;        // 0: none
	std::string_view value_name = {};  // empty: a flag
	value_rule value = text_value;
	std::string_view help = {};
};

using value = std::variant<std::string, uint64_t, mac_address>;

class invocation;
using handler = int (*)(const invocation &);

struct command_def {
	std::string_view path;     // "filter add": the words that select it
	std::string_view summary;  // one line for the overview
	std::vector<arg_def> args;
	std::vector<option_def> options;
	bool reads = false;        // a read command: takes --json
	handler run = nullptr;
	std::string_view details = {};  // further help text
};

// A command line that passed every check.
class invocation {
public:
	const command_def *command = nullptr;
	bool help = false;  // --help was given: nothing else was checked

	bool flag(std::string_view name) const;
	bool has(std::string_view name) const;
	const std::string &text(std::string_view name) const;
	uint64_t number(std::string_view name) const;
	const mac_address &mac(std::string_view name) const;
	const std::vector<std::string> &words(std::string_view name) const;

	std::map<std::string, value, std::less<>> values;
	std::map<std::string, std::vector<std::string>, std::less<>> lists;
	std::vector<std::string> flags;
};

// Bad input: the message is the one line the user sees after "tqsys: ".
struct usage_error : std::runtime_error {
	using std::runtime_error::runtime_error;
};

// What the command line asks for. `command` is null for the overview
// (`tqsys --help`) or for the help of a group (`tqsys filter --help`),
// named by `group`.
struct parse_result {
	invocation inv;
	std::string group;
};

// Throws usage_error on anything the table does not allow.
parse_result parse(std::span<const command_def> table,
		   std::span<const std::string_view> words);

// Strict conversions, also used for input files; throw usage_error with
// `what` naming the value.
uint64_t parse_number(std::string_view word, value_rule rule, std::string_view what);
mac_address parse_mac(std::string_view word, std::string_view what);

std::string usage_line(const command_def &c);
std::string command_help(const command_def &c);
std::string group_help(std::span<const command_def> table, std::string_view group);
std::string overview_help(std::span<const command_def> table);

} // namespace tqsys
