#include "filter_file.h"

#include "format.h"

#include <charconv>
#include <cstring>
#include <span>

namespace tqsys {
namespace {

std::string_view trim(std::string_view s)
{
	size_t b = s.find_first_not_of(" \t\r");
	if (b == std::string_view::npos)
		return {};
	return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string_view next_word(std::string_view &s)
{
	s = trim(s);
	size_t end = s.find_first_of(" \t");
	std::string_view w = s.substr(0, end);
	s = end == std::string_view::npos ? std::string_view{} : s.substr(end);
	return w;
}

} // namespace

tq_sys_filter_t parse_filter(std::string_view text, std::string_view source)
{
	tq_sys_filter_t f{};
	bool have_id = false, have_key = false;
	size_t rule_used = 0;
	int line_no = 0;
	while (!text.empty()) {
		size_t nl = text.find('\n');
		std::string_view line = text.substr(0, nl);
		text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
		++line_no;
		auto fail = [&](const std::string &msg) {
			return usage_error(std::string(source) + ":" + std::to_string(line_no) + ": " + msg);
		};
		line = line.substr(0, line.find('#'));
		std::string_view field = next_word(line);
		if (field.empty())
			continue;
		if (field == "id" || field == "key") {
			bool &seen = field == "id" ? have_id : have_key;
			if (seen)
				throw fail(std::string(field) + " given twice");
			std::string_view word = next_word(line);
			if (word.empty())
				throw fail(std::string(field) + " needs a value");
			uint32_t v;
			try {
				v = static_cast<uint32_t>(parse_number(word, 0, UINT32_MAX, field));
			} catch (const usage_error &e) {
				throw fail(e.what());
			}
			if (!trim(line).empty())
				throw fail(std::string(field) + " takes one value");
			(field == "id" ? f.id : f.key) = v;
			seen = true;
		} else if (field == "rule") {
			for (std::string_view word = next_word(line); !word.empty();
			     word = next_word(line)) {
				if (word.size() % 2)
					throw fail("rule bytes are pairs of hex digits, got '" + printable(word) + "'");
				for (size_t i = 0; i < word.size(); i += 2) {
					uint8_t b;
					auto [end, ec] = std::from_chars(word.data() + i, word.data() + i + 2, b, 16);
					if (ec != std::errc{} || end != word.data() + i + 2)
						throw fail("rule bytes are pairs of hex digits, got '" +
							   printable(word) + "'");
					if (rule_used == sizeof f.rule)
						throw fail("rule has more than " +
							   std::to_string(sizeof f.rule) + " bytes");
					f.rule[rule_used++] = b;
				}
			}
		} else {
			throw fail("unknown field '" + printable(field) + "' (id, key, rule)");
		}
	}
	if (!have_id || !have_key)
		throw usage_error(std::string(source) + ": " + (have_id ? "key" : "id") +
				  " is missing");
	return f;
}

size_t rule_length(const tq_sys_filter_t &f)
{
	size_t n = sizeof f.rule;
	while (n && f.rule[n - 1] == 0)
		--n;
	return n;
}

std::string format_filter(const tq_sys_filter_t &f)
{
	std::string out = "id    " + std::to_string(f.id) + "\nkey   " + hex_word(f.key) + "\n";
	std::span<const uint8_t> rule(f.rule, rule_length(f));
	for (size_t at = 0; at < rule.size(); at += 16) {
		out += "rule ";
		for (uint8_t b : rule.subspan(at, std::min<size_t>(16, rule.size() - at)))
			out.append(" ").append(hex_bytes(std::span(&b, 1)));
		out += "\n";
	}
	return out;
}

} // namespace tqsys
