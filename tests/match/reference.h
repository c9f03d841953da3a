// A plain model of the search, the match and the lists, with the copies
// and segment buffers written out; where "?" makes the search pass over an
// occurrence no outside oracle knows the answer, so tests compare to this.
#pragma once

#include <cstring>
#include <string>
#include <vector>

namespace wildcard_reference {

inline int find(const char *text, const char *pattern, int start)
{
	if (!text || !pattern || start < 0)
		return -1;
	const long n = static_cast<long>(std::strlen(text)), m = static_cast<long>(std::strlen(pattern));
	if (start + m > n)
		return -1;
	if (m == 0)
		return start;
	std::vector<long> table(m);
	table[0] = -1;
	long i = 0, k = -1;
	while (i < m - 1) {
		if (k == -1 || pattern[k] == '?' || pattern[i] == pattern[k])
			table[++i] = ++k;
		else
			k = table[k];
	}
	long t = start, j = 0;
	while (t < n && j < m) {
		if (j == -1 || pattern[j] == '?' || text[t] == pattern[j]) {
			++t;
			++j;
		} else {
			j = table[j];
		}
	}
	return j >= m ? static_cast<int>(t - m) : -1;
}

inline int match(const char *text, const char *pattern, int case_sensitive)
{
	if (!text || !pattern)
		return 0;
	if (!*pattern)
		return !*text;
	auto fold = [&](char c) {
		return !case_sensitive && c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c;
	};
	std::string wt, wp;
	for (const char *s = text; *s; ++s)
		wt += fold(*s);
	for (const char *s = pattern; *s; ++s) {
		wp += fold(*s);
		if (*s == '*')
			while (s[1] == '*')
				++s;
	}
	// std::string yields its NUL at size(), as the C buffers would.
	std::size_t p = 0, t = 0;
	while (wp[p]) {
		if (wp[p] == '*') {
			if (!wp[p + 1])
				return 1;
			std::size_t end = wp.find('*', p + 1);
			const bool last = end == std::string::npos;
			if (last)
				end = wp.size();
			const std::size_t len = end - p - 1;
			if (wt.size() - t < len)
				return 0;
			if (last) {
				for (std::size_t x = 1; x <= len; ++x)
					if (wp[end - x] != '?' && wp[end - x] != wt[wt.size() - x])
						return 0;
				return 1;
			}
			const std::string segment = wp.substr(p + 1, len);
			const int r = find(wt.c_str() + t, segment.c_str(), 0);
			if (r < 0)
				return 0;
			p += len;
			t += r + len - 1;
		} else {
			if (wp[p] == '?' ? !wt[t] : wp[p] != wt[t])
				return 0;
			if (!wp[p + 1] && wt[t + 1])
				return 0;
			++p;
			++t;
		}
	}
	return 1;
}

inline int multi(const char *text, const char *list, int match_all, int invert, int case_sensitive)
{
	if (!text || !list)
		return 0;
	int result = match_all ? 1 : 0;
	const std::string items = list;
	for (std::size_t at = 0, comma = 0; comma != std::string::npos; at = comma + 1) {
		comma = items.find(',', at);
		const std::string item = items.substr(at, comma - at);
		const int hit = match(text, item.c_str(), case_sensitive);
		if (match_all ? !hit : hit && !item.empty()) {
			result = hit;
			break;
		}
	}
	return invert ? !result : result;
}

} // namespace wildcard_reference
