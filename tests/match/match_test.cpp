// The matchers: one table of examples, and random cases against the model
// and against fnmatch(3) where the two agree.
#include "harness.h"

#include <random>

// A plain model of the matchers, written from their rules rather than from
// their code: the search's failure table step by step (where a "?" makes it
// pass over an occurrence no outside oracle knows the answer), the match as
// a prefix, middle segments placed by that search and a last segment
// anchored at the end, and the lists item by item.
namespace model {

inline int find(const char *text, const char *pattern, int start)
{
	if (!text || !pattern || start < 0)
		return -1;
	const std::string t = text, p = pattern;
	const long n = long(t.size()), m = long(p.size());
	if (start + m > n || m == 0)
		return m == 0 && start <= n ? start : -1;
	std::vector<long> next(m, -1);
	for (long i = 0, k = -1; i < m - 1;)
		k == -1 || p[k] == '?' || p[i] == p[k] ? next[++i] = ++k : k = next[k];
	long i = start, j = 0;
	while (i < n && j < m)
		j == -1 || p[j] == '?' || t[i] == p[j] ? (++i, ++j) : j = next[j];
	return j == m ? int(i - m) : -1;
}

inline int match(const char *text, const char *pattern, int case_sensitive)
{
	if (!text || !pattern)
		return 0;
	std::string t = text, p = pattern;
	for (std::string *s : {&t, &p})
		for (char &c : *s)
			c = char(!case_sensitive && c >= 'A' && c <= 'Z' ? c + 32 : c);
	std::vector<std::string> seg(1);  // the pattern cut at every "*"
	for (char c : p)
		c == '*' ? (void)seg.emplace_back() : (void)(seg.back() += c);
	// a segment fits at a place when the search finds it at the start of a
	// window of its length there: byte by byte, "?" standing for any byte
	auto fits = [&](size_t at, auto s) { return !find(t.substr(at, s.size()).c_str(), s.c_str(), 0); };
	if (seg.size() == 1 || t.size() < seg[0].size() || !fits(0, seg[0]))
		return seg.size() == 1 && t.size() == p.size() && fits(0, p);
	size_t at = seg[0].size();
	for (size_t s = 1, r = 0; s + 1 < seg.size(); at += r + seg[s++].size())
		if ((r = size_t(find(t.c_str() + at, seg[s].c_str(), 0))) == size_t(-1))
			return 0;
	return t.size() - at >= seg.back().size() && fits(t.size() - seg.back().size(), seg.back());
}

inline int multi(const char *text, const char *list, int match_all, int invert, int case_sensitive)
{
	if (!text || !list)
		return 0;
	// the first item that decides ends the walk; an empty one counts only
	// when all must match (getline drops the last item when it is empty)
	std::istringstream items(std::string(list) + ",");
	int result = match_all != 0;
	for (std::string item; result == (match_all != 0) && std::getline(items, item, ',');)
		if (match_all || !item.empty())
			result = match(text, item.c_str(), case_sensitive);
	return result != (invert != 0);
}

} // namespace model


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
