#include "cli.h"

#include <algorithm>
#include <charconv>

namespace tqsys {
namespace {

constexpr std::string_view json_help = "print the result as one JSON document";
constexpr std::string_view help_help = "show this help";

std::string quoted(std::string_view word)
{
	return "'" + std::string(word) + "'";
}

std::vector<std::string_view> split_path(std::string_view path)
{
	std::vector<std::string_view> out;
	while (!path.empty()) {
		size_t blank = path.find(' ');
		out.push_back(path.substr(0, blank));
		if (blank == std::string_view::npos)
			break;
		path.remove_prefix(blank + 1);
	}
	return out;
}

bool is_help(std::string_view w)
{
	return w == "--help" || w == "-h";
}

// An option word is "-x" or "--name"; "-" alone is an argument (stdin).
bool is_option(std::string_view w)
{
	return w.size() > 1 && w[0] == '-';
}

std::string subcommands(std::span<const command_def> table, std::string_view group)
{
	std::string out;
	for (const command_def &c : table) {
		auto p = split_path(c.path);
		if (p.size() > 1 && p[0] == group)
			out += (out.empty() ? "" : ", ") + std::string(p[1]);
	}
	return out;
}

bool is_group(std::span<const command_def> table, std::string_view word)
{
	return !subcommands(table, word).empty();
}

const command_def *find_command(std::span<const command_def> table,
				 std::span<const std::string_view> words, size_t &used)
{
	const command_def *best = nullptr;
	used = 0;
	for (const command_def &c : table) {
		auto p = split_path(c.path);
		if (p.size() > words.size() || p.size() <= used)
			continue;
		if (std::equal(p.begin(), p.end(), words.begin())) {
			best = &c;
			used = p.size();
		}
	}
	return best;
}

value convert(std::string_view word, value_rule rule, std::string_view what)
{
	switch (rule.kind) {
	case value_rule::number:
		return parse_number(word, rule, what);
	case value_rule::mac:
		return parse_mac(word, what);
	case value_rule::text:
		break;
	}
	return std::string(word);
}

struct option_view {
	std::string_view name;
	char short_name;
	std::string_view value_name;
	value_rule value;
	std::string_view help;
};

// The command's own options plus the ones every command has.
std::vector<option_view> all_options(const command_def &c)
{
	std::vector<option_view> out;
	for (const option_def &o : c.options)
		out.push_back({o.name, o.short_name, o.value_name, o.value, o.help});
	if (c.reads)
		out.push_back({"json", 0, {}, text_value, json_help});
	out.push_back({"help", 'h', {}, text_value, help_help});
	return out;
}

} // namespace

static void parse_words(invocation &inv, std::span<const std::string_view> rest);

uint64_t parse_number(std::string_view word, value_rule rule, std::string_view what)
{
	std::string_view digits = word;
	int base = 10;
	if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
		digits.remove_prefix(2);
		base = 16;
	}
	uint64_t v = 0;
	auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
	bool whole = !digits.empty() && end == digits.data() + digits.size();
	if (ec == std::errc::invalid_argument || (ec == std::errc{} && !whole))
		throw usage_error(std::string(what) + " must be a number, got " + quoted(word));
	if (ec == std::errc::result_out_of_range || !whole || v < rule.min || v > rule.max)
		throw usage_error(std::string(what) + " must be from " + std::to_string(rule.min) +
				  " to " + std::to_string(rule.max) + ", got " + quoted(word));
	return v;
}

mac_address parse_mac(std::string_view word, std::string_view what)
{
	auto bad = [&] {
		return usage_error(std::string(what) + " must look like aa:bb:cc:dd:ee:ff, got " +
				   quoted(word));
	};
	// Six pairs of hex digits joined by one kind of separator, ':' or '-'.
	if (word.size() != 17)
		throw bad();
	char sep = word[2];
	if (sep != ':' && sep != '-')
		throw bad();
	mac_address mac{};
	for (size_t i = 0; i < 6; ++i) {
		std::string_view pair = word.substr(i * 3, 2);
		if (i < 5 && word[i * 3 + 2] != sep)
			throw bad();
		auto [end, ec] = std::from_chars(pair.data(), pair.data() + 2, mac[i], 16);
		if (ec != std::errc{} || end != pair.data() + 2)
			throw bad();
	}
	return mac;
}

parse_result parse(std::span<const command_def> table, std::span<const std::string_view> words)
{
	parse_result r;
	if (words.empty())
		throw usage_error("no command given (try 'tqsys --help')");
	if (is_help(words[0]))
		return r;

	size_t used = 0;
	const command_def *c = find_command(table, words, used);
	if (!c) {
		std::string_view first = words[0];
		if (!is_group(table, first))
			throw usage_error("unknown command " + quoted(first) + " (try 'tqsys --help')");
		r.group = std::string(first);
		if (words.size() > 1 && is_help(words[1]))
			return r;
		std::string list = subcommands(table, first);
		if (words.size() == 1)
			throw usage_error(std::string(first) + ": missing subcommand (" + list + ")");
		throw usage_error(std::string(first) + ": unknown subcommand " + quoted(words[1]) +
				  " (" + list + ")");
	}

	r.inv.command = c;
	try {
		parse_words(r.inv, words.subspan(used));
	} catch (const usage_error &e) {
		throw usage_error(std::string(c->path) + ": " + e.what());
	}
	return r;
}

static void parse_words(invocation &inv, std::span<const std::string_view> rest)
{
	const command_def *c = inv.command;
	auto fail = [](const std::string &msg) { return usage_error(msg); };

	// --help wins over everything else on the line, even over bad words.
	for (std::string_view w : rest) {
		if (w == "--")
			break;
		if (is_help(w)) {
			inv.help = true;
			return;
		}
	}

	std::vector<option_view> options = all_options(*c);
	std::vector<std::string_view> positional;
	bool options_done = false;
	for (size_t i = 0; i < rest.size(); ++i) {
		std::string_view w = rest[i];
		if (options_done || !is_option(w)) {
			positional.push_back(w);
			continue;
		}
		if (w == "--") {
			options_done = true;
			continue;
		}
		std::string_view name, inline_value;
		bool has_inline = false;
		const option_view *o = nullptr;
		if (w.starts_with("--")) {
			name = w.substr(2);
			if (size_t eq = name.find('='); eq != std::string_view::npos) {
				inline_value = name.substr(eq + 1);
				name = name.substr(0, eq);
				has_inline = true;
			}
			for (const option_view &ov : options)
				if (ov.name == name)
					o = &ov;
		} else if (w.size() == 2) {
			for (const option_view &ov : options)
				if (ov.short_name && ov.short_name == w[1])
					o = &ov;
			if (o)
				name = o->name;
		}
		if (!o)
			throw fail("unknown option " + quoted(w));
		std::string key(name);
		if (inv.has(key))
			throw fail("option --" + key + " given twice");
		if (o->value_name.empty()) {
			if (has_inline)
				throw fail("option --" + key + " takes no value");
			inv.flags.push_back(key);
			continue;
		}
		if (!has_inline) {
			if (i + 1 == rest.size())
				throw fail("option --" + key + " needs " + std::string(o->value_name));
			inline_value = rest[++i];
		}
		inv.values.emplace(key, convert(inline_value, o->value, o->value_name));
	}

	size_t next = 0;
	for (const arg_def &a : c->args) {
		if (a.repeated) {
			std::vector<std::string> all;
			for (; next < positional.size(); ++next) {
				convert(positional[next], a.value, a.name);  // validates
				all.emplace_back(positional[next]);
			}
			if (all.empty() && !a.optional)
				throw fail("missing " + std::string(a.name));
			inv.lists.emplace(std::string(a.name), std::move(all));
			continue;
		}
		if (next == positional.size()) {
			if (!a.optional)
				throw fail("missing " + std::string(a.name));
			continue;
		}
		inv.values.emplace(std::string(a.name), convert(positional[next++], a.value, a.name));
	}
	if (next < positional.size())
		throw fail("unexpected argument " + quoted(positional[next]));
}

bool invocation::flag(std::string_view name) const
{
	return std::find(flags.begin(), flags.end(), name) != flags.end();
}

bool invocation::has(std::string_view name) const
{
	return flag(name) || values.contains(name) || lists.contains(name);
}

const std::string &invocation::text(std::string_view name) const
{
	return std::get<std::string>(values.find(name)->second);
}

uint64_t invocation::number(std::string_view name) const
{
	return std::get<uint64_t>(values.find(name)->second);
}

const mac_address &invocation::mac(std::string_view name) const
{
	return std::get<mac_address>(values.find(name)->second);
}

const std::vector<std::string> &invocation::words(std::string_view name) const
{
	static const std::vector<std::string> none;
	auto it = lists.find(name);
	return it == lists.end() ? none : it->second;
}

std::string usage_line(const command_def &c)
{
	std::string out = "tqsys " + std::string(c.path);
	for (const arg_def &a : c.args) {
		std::string word(a.name);
		if (a.repeated)
			word += "...";
		out.append(" ").append(a.optional ? "[" + word + "]" : word);
	}
	for (const option_view &o : all_options(c)) {
		if (o.name == "help")
			continue;
		std::string word = o.short_name ? std::string("-") + o.short_name
						: "--" + std::string(o.name);
		if (!o.value_name.empty())
			word.append(" ").append(o.value_name);
		out += " [" + word + "]";
	}
	return out;
}

std::string command_help(const command_def &c)
{
	std::string out = "usage: " + usage_line(c) + "\n\n" + std::string(c.summary) + "\n";
	auto row = [](std::string left, std::string_view help) {
		left = "  " + left;
		if (left.size() < 24)
			left.resize(24, ' ');
		else
			left += "  ";
		return left + std::string(help) + "\n";
	};
	if (!c.args.empty()) {
		out += "\narguments:\n";
		for (const arg_def &a : c.args)
			out += row(std::string(a.name), a.help);
	}
	out += "\noptions:\n";
	for (const option_view &o : all_options(c)) {
		std::string left = o.short_name ? std::string("-") + o.short_name + ", " : "";
		left.append("--").append(o.name);
		if (!o.value_name.empty())
			left.append(" ").append(o.value_name);
		out += row(left, o.help);
	}
	if (!c.details.empty())
		out.append("\n").append(c.details);
	return out;
}

std::string group_help(std::span<const command_def> table, std::string_view group)
{
	std::string out = "usage: tqsys " + std::string(group) + " SUBCOMMAND [ARGS] [--help]\n\n";
	for (const command_def &c : table)
		if (split_path(c.path)[0] == group)
			out += "  " + usage_line(c) + "\n      " + std::string(c.summary) + "\n";
	return out;
}

std::string overview_help(std::span<const command_def> table)
{
	std::string out =
		"usage: tqsys COMMAND [ARGS] [--json] [--help]\n\n"
		"Shows and drives the system services of libsyslib on this device.\n\n"
		"commands:\n";
	size_t width = 0;
	for (const command_def &c : table)
		width = std::max(width, c.path.size());
	for (const command_def &c : table) {
		std::string left(c.path);
		left.resize(width + 2, ' ');
		out += "  " + left + std::string(c.summary) + "\n";
	}
	out += "\n'tqsys COMMAND --help' shows a command's arguments; read commands take --json.\n"
	       "\nexit status:\n"
	       "  0  success; a match; a free port\n"
	       "  1  no match; a port in use\n"
	       "  2  bad command line or input file (nothing was sent to the device)\n"
	       "  3  the library or the device reported a failure\n"
	       "  4  this libsyslib does not provide the function\n";
	return out;
}

} // namespace tqsys
