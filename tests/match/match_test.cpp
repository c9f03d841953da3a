// The matchers: one table of examples, and random cases against the model
// and against fnmatch(3) where the two agree.
#include "model.h"
#include "tq_syslib.h"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <random>

namespace {

// One matcher in the library and in the model; a list's arg gives all,
// invert and exact as its digits.
using call = int (*)(const char *, const char *, int);
const struct { call lib, model; } F{tq_findingstring, model::find}, M{tq_matchingstring, model::match},
	L{[](auto t, auto l, int a) { return tq_multimatching(t, l, a / 100, a / 10 % 10, a % 10); },
	  [](auto t, auto l, int a) { return model::multi(t, l, a / 100, a / 10 % 10, a % 10); }};

// F: search from arg; M: match, exact when arg; L: list. The long text
// ends where the bytes "ab" follow: no search may look past its end.
const struct { decltype(F) fn; const char *text, *pattern; int arg, want; } rows[] = {
	{F, "abc", "", 3, 3}, {F, "", nullptr, 0, -1}, {F, "aaabb", "a?b", 0, 2}, {F, "ABC", "abc", 0, -1},
	{F, "abcabc", "abc", 1, 3}, {F, "abc", "bc", 1, 1}, {F, "abc", "", 4, -1}, {F, "aaab", "a?b", 0, -1},
	{F, nullptr, "", 0, -1}, {F, "abc", "", -1, -1}, {M, "", "", 1, 1}, {M, "abc", "", 1, 0},
	{M, "axxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\0ab", "*ab*", 1, 0}, {M, "", "?*", 1, 0},
	{M, "abcd", "a*bc", 1, 0}, {M, "abc", "a??", 1, 1}, {M, "", "*?", 1, 0}, {M, "abc", "a**bc", 1, 1},
	{M, "abc", "a***", 1, 1}, {M, "adb", "a*b*d", 1, 0}, {M, "xabcabc", "*abc*abc", 1, 1},
	{M, "abcabc", "*bc*bc*", 1, 1}, {M, "aaab", "*a?b*", 1, 0}, {M, "aaab", "*a?b", 1, 1},
	{M, "", "*", 1, 1}, {M, "aab", "*ab*", 1, 1}, {M, "b", "[ab]", 1, 0}, {M, "a\\x", "a\\*", 1, 1},
	{M, "ABC", "abc", 1, 0}, {M, "ABC", "abc", 0, 1}, {M, "abc", nullptr, 1, 0}, {M, "x[y", "*{*", 0, 0},
	{M, "\xc4", "\xe4", 0, 0}, {M, nullptr, "*", 1, 0}, {M, "[@", "{`", 0, 0}, {L, "abc", "x*,y*", 11, 1},
	{L, "abc", "a*,x*", 101, 0}, {L, "abc", "abc,,", 101, 0}, {L, "abc", "a*,*bc", 101, 1},
	{L, "abc", "a*,*c", 111, 0}, {L, "abc", "a*,x*", 1, 1}, {L, "", "", 1, 0}, {L, "abc", ",,abc", 1, 1},
	{L, "", "", 101, 1}, {L, "abc", "x*, a*", 1, 0}, {L, "ABC", "abc", 0, 1}, {L, "ABC", "abc", 1, 0},
	{L, "ABC", "x,A*,*c", 100, 0}, {L, nullptr, "x", 11, 0}, {L, "abc", nullptr, 111, 0},
};

} // namespace

TEST(match, examples)
{
	for (const auto &r : rows)  // the library's answer, then the model's
		EXPECT_EQ(std::pair(r.fn.lib(r.text, r.pattern, r.arg), r.fn.model(r.text, r.pattern, r.arg)),
			  std::pair(r.want, r.want)) << "row " << &r - rows;
}

// Mostly short texts over a few bytes, with a tenth of long ones that take
// the search's other paths (tables beyond the stack, long stretches).
TEST(match, random_cases_against_the_model)
{
	// a fixed seed, so that a failure reproduces
	auto below = [rng = std::mt19937{20260601}](size_t k) mutable { return size_t(rng() % k); };
	auto word = [&](const std::string &letters, size_t max_len) {
		std::string s(below(max_len + 1), ' ');
		for (char &c : s)
			c = letters[below(letters.size())];
		return s;
	};
	// Mostly a mutation of the text, so that a good share of cases match;
	// past a "*", a long text skips a stretch.
	auto pattern_for = [&](const std::string &text, bool flip_case) {
		std::string p;
		const size_t skip = text.size() > 40 ? 30 : 1;
		for (size_t i = 0; i < text.size(); i += p.ends_with('*') ? below(3) + skip : 1) {
			const size_t roll = below(20);
			p += roll < 2 ? '*' : roll < 4 ? '?' : roll == 4 ? "aAzZ[{@`"[below(8)] : text[i];
			p.back() ^= flip_case && std::isalpha(p.back() & 0xff) && below(2) ? 0x20 : 0;
		}
		return below(5) ? p : word("aAb?*", 8);
	};
	for (int i = 0, exact = 0; i < 30000; exact = ++i % 2) {
		const std::string text = i % 10 ? word("aAbBzZ[{@`?*", 14) : word("aabAb", 400);
		const std::string pattern = pattern_for(text, !exact);
		const auto needle = below(3) ? text.substr(below(text.size() + 1), below(text.size() / 2 + 5))
					     : word("ab?", 4);
		const int start = int(below(text.size() + 3)) - 1;
		std::string list = pattern;
		for (size_t items = below(4); items > 0; --items)
			list += ",", list += below(4) ? pattern_for(text, true) : "";
		const int all = int(below(2)), invert = int(below(2));
		const char *t = text.c_str(), *p = pattern.c_str(), *n = needle.c_str(), *l = list.c_str();
		SCOPED_TRACE(text + " / " + pattern + " / " + needle + " / " + list);
		ASSERT_EQ(tq_matchingstring(t, p, exact), model::match(t, p, exact));
		ASSERT_EQ(tq_findingstring(t, n, start), model::find(t, n, start));
		ASSERT_EQ(tq_multimatching(t, l, all, invert, exact), model::multi(t, l, all, invert, exact));
		// fnmatch backtracks and knows classes: the two agree without "[",
		// unless a "?" stands between two "*"
		const bool agree = text.size() < 40 && pattern.find('[') == pattern.npos &&
				   pattern.find('?', pattern.find('*')) >= pattern.rfind('*');
		ASSERT_TRUE(!agree || model::match(t, p, exact) == !fnmatch(p, t, exact ? 0 : FNM_CASEFOLD));
	}
}
