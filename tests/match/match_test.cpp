// The matchers: one table of examples, and random cases against the model
// and against fnmatch(3) where the two agree.
#include "model.h"
#include "tq_syslib.h"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include <string_view>

// f: search from arg; m: match, exact when arg; l: list, arg's digits all,
// invert, exact. Each row holds for the library and for the model.
TEST(match, examples)
{
	const struct { char fn; const char *text, *pattern; int arg, want; } rows[] = {
		{'f', "abc", "", 0, 0}, {'f', "abc", "", 3, 3}, {'f', "abc", "", 4, -1}, {'f', "abc", "", -1, -1},
		{'f', "abc", "abcd", 0, -1}, {'f', "abc", "??", 2, -1}, {'f', "abc", "bc", 1, 1}, {'f', "abc", "bc", 2, -1},
		{'f', "abcabc", "abc", 1, 3}, {'f', "ABC", "abc", 0, -1}, {'f', "aXb", "a?b", 0, 0}, {'f', "abc", "abc", 0, 0},
		{'f', "aaab", "a?b", 0, -1}, {'f', "aaabb", "a?b", 0, 2}, {'f', nullptr, "", 0, -1}, {'f', "", nullptr, 0, -1},
		{'m', "", "", 1, 1}, {'m', "abc", "", 1, 0}, {'m', "", "*", 1, 1}, {'m', "", "?", 1, 0}, {'m', "", "?*", 1, 0},
		{'m', "", "*?", 1, 0}, {'m', "abc", "a*", 1, 1}, {'m', "abc", "*bc", 1, 1}, {'m', "abc", "*b*", 1, 1},
		{'m', "ab", "*a", 1, 0}, {'m', "abcd", "a*bc", 1, 0}, {'m', "abc", "a?", 1, 0}, {'m', "abc", "abcd", 1, 0},
		{'m', "abc", "a??", 1, 1}, {'m', "abc", "a???", 1, 0}, {'m', "abc", "*?", 1, 1}, {'m', "abc", "a**bc", 1, 1},
		{'m', "abc", "a***", 1, 1}, {'m', "xabcabc", "*abc*abc", 1, 1}, {'m', "aXbXd", "a*b*d", 1, 1}, {'m', "adb", "a*b*d", 1, 0},
		{'m', "abcabc", "*bc*bc*", 1, 1}, {'m', "b", "[ab]", 1, 0}, {'m', "a\\x", "a\\*", 1, 1}, {'m', "ABC", "abc", 1, 0},
		{'m', "ABC", "abc", 0, 1}, {'m', "abc", "A*", 0, 1}, {'m', "Zz", "zZ", 0, 1}, {'m', "[@", "{`", 0, 0},
		{'m', "x[y", "*{*", 0, 0}, {'m', "\xc4", "\xe4", 0, 0}, {'m', nullptr, "*", 1, 0}, {'m', "abc", nullptr, 1, 0},
		{'m', "aab", "*a?b*", 1, 1}, {'m', "aaab", "*a?b*", 1, 0}, {'m', "aaab", "*a?b", 1, 1}, {'l', "abc", "a*,*bc", 101, 1},
		{'l', "abc", "a*,x*", 101, 0}, {'l', "abc", "a*,x*", 1, 1}, {'l', "abc", "x*,y*", 1, 0}, {'l', "abc", "x*,y*", 11, 1},
		{'l', "abc", "a*,*c", 111, 0}, {'l', "abc", "", 101, 0}, {'l', "abc", "", 1, 0}, {'l', "", "", 101, 1},
		{'l', "", "", 1, 0}, {'l', "", ",", 101, 1}, {'l', "", ",", 1, 0}, {'l', "abc", ",,abc", 1, 1},
		{'l', "abc", "abc,,", 101, 0}, {'l', "abc", "x*, a*", 1, 0}, {'l', "abc", "x*,a*", 1, 1}, {'l', "ABC", "abc", 0, 1},
		{'l', "ABC", "abc", 1, 0}, {'l', "ABC", "x,A*,*c", 100, 0}, {'l', nullptr, "x", 11, 0}, {'l', "abc", nullptr, 111, 0},
	};
	for (const auto &r : rows)
		for (bool m : {false, true})
			EXPECT_EQ(r.fn == 'f'   ? (m ? model::find : tq_findingstring)(r.text, r.pattern, r.arg)
				  : r.fn == 'm' ? (m ? model::match : tq_matchingstring)(r.text, r.pattern, r.arg)
						: (m ? model::multi : tq_multimatching)(r.text, r.pattern, r.arg / 100, r.arg / 10 % 10, r.arg % 10),
				  r.want)
				<< (m ? "model " : "") << r.fn << r.arg << " " << (r.text ? r.text : "-") << " / " << (r.pattern ? r.pattern : "-");
}

// Mostly short texts over a few bytes, with a tenth of long ones that take
// the search's other paths (tables beyond the stack, long stretches).
TEST(match, random_cases_against_the_model)
{
	std::mt19937 rng{20260601};  // fixed, so that a failure reproduces
	auto below = [&](size_t k) { return size_t(rng() % k); };
	auto word = [&](std::string_view letters, size_t max_len) {
		std::string s(below(max_len + 1), ' ');
		std::generate(s.begin(), s.end(), [&] { return letters[below(letters.size())]; });
		return s;
	};
	// Mostly a mutation of the text, so that a good share of cases match.
	auto pattern_for = [&](const std::string &text, bool flip_case) {
		std::string p;
		for (size_t i = 0; i < text.size(); i += !p.empty() && p.back() == '*' ? below(3) + (text.size() > 40 ? 30 : 1) : 1) {
			const size_t roll = below(20);
			p += roll < 2 ? '*' : roll < 4 ? '?' : roll == 4 ? "aAzZ[{@`"[below(8)] : text[i];
			p.back() ^= flip_case && std::isalpha(static_cast<unsigned char>(p.back())) && below(2) ? 0x20 : 0;
		}
		return below(5) ? p : word("aAb?*", 8);
	};
	for (int i = 0, exact = 0; i < 30000; exact = ++i % 2) {
		const std::string text = i % 10 ? word("aAbBzZ[{@`?*", 14) : word("aabAb", 400);
		const std::string pattern = pattern_for(text, !exact), where = text + " / " + pattern + " " + std::to_string(exact);
		const int got = tq_matchingstring(text.c_str(), pattern.c_str(), exact);
		ASSERT_EQ(got, model::match(text.c_str(), pattern.c_str(), exact)) << where;
		// fnmatch backtracks and knows classes: the two agree without "[",
		// unless a "?" stands between two "*"
		const size_t star = pattern.find('*'), no = std::string::npos;
		const bool agree = pattern.find('[') == no && (star == no || pattern.find('?', star) > pattern.rfind('*')) && text.size() < 40;
		ASSERT_EQ(got, agree ? fnmatch(pattern.c_str(), text.c_str(), exact ? 0 : FNM_CASEFOLD) == 0 : got) << where;

		const std::string needle = below(3) ? text.substr(below(text.size() + 1), below(text.size() / 2 + 5)) : word("ab?", 4);
		const int start = int(below(text.size() + 3)) - 1, at = tq_findingstring(text.c_str(), needle.c_str(), start);
		ASSERT_EQ(at, model::find(text.c_str(), needle.c_str(), start)) << text << " / " << needle << " from " << start;

		std::string list = pattern;
		for (size_t items = below(4); items > 0; --items, list += below(4) ? "," + pattern_for(text, true) : ",");
		const int all = int(below(2)), invert = int(below(2));
		ASSERT_EQ(tq_multimatching(text.c_str(), list.c_str(), all, invert, exact), model::multi(text.c_str(), list.c_str(), all, invert, exact))
			<< text << " / " << list << " " << all << invert << exact;
	}
}
