// A plain model of the matchers, written from their rules rather than from
// their code: the search's failure table step by step (where a "?" makes it
// pass over an occurrence no outside oracle knows the answer), the match as
// a prefix, middle segments placed by that search and a last segment
// anchored at the end, and the lists item by item.
#pragma once

#include <sstream>
#include <string>
#include <vector>

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
