// Wildcard matching: "?"-aware substring search, "*"/"?" whole-text match
// with optional ASCII case folding, and comma-separated pattern lists.
//
// The results of the search are fixed by its failure table, including the
// occurrences it passes over when a "?" meets a partial match, and the match
// places every middle segment where that search puts it. So the steps below
// are the classic ones; the speed comes from what they avoid: the text and
// pattern are never copied (folding is done on each comparison, segments and
// list items are views), and short failure tables live on the stack.
#include "tq_syslib.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace syslib {
namespace {

constexpr std::size_t not_found = std::string_view::npos;

// Process names and the patterns written for them are far shorter than
// this, so the common call takes no heap at all.
constexpr std::size_t stack_entries = 128;

template <bool Fold> inline unsigned char byte_of(char c) noexcept
{
	auto b = static_cast<unsigned char>(c);
	if constexpr (Fold) {
		// Only "A" to "Z": bytes of 0x80 and above belong to no locale here.
		if (static_cast<unsigned>(b - 'A') < 26u)
			return static_cast<unsigned char>(b + 0x20);
	}
	return b;
}

// Entry i is the pattern index the scan resumes at after a mismatch at i.
class failure_table {
public:
	explicit failure_table(std::size_t m) noexcept
	{
		if (m <= stack_entries) {
			entries_ = local_;
		} else {
			heap_.reset(new (std::nothrow) std::ptrdiff_t[m]);
			entries_ = heap_.get();
		}
	}
	bool ok() const noexcept { return entries_ != nullptr; }
	std::ptrdiff_t &operator[](std::ptrdiff_t i) noexcept { return entries_[i]; }

private:
	std::ptrdiff_t local_[stack_entries];
	std::unique_ptr<std::ptrdiff_t[]> heap_;
	std::ptrdiff_t *entries_ = nullptr;
};

// "?" is a wildcard only on the prefix side (index k) while the table is
// built, and only on the pattern side while the text is scanned.
template <bool Fold> void build(std::string_view pattern, failure_table &table) noexcept
{
	const auto m = static_cast<std::ptrdiff_t>(pattern.size());
	std::ptrdiff_t i = 0, k = -1;
	table[0] = -1;
	while (i < m - 1) {
		if (k == -1 || pattern[k] == '?' ||
		    byte_of<Fold>(pattern[i]) == byte_of<Fold>(pattern[k])) {
			++i;
			++k;
			table[i] = k;
		} else {
			k = table[k];
		}
	}
}

// First t at or after `from` whose byte equals the pattern's first one, as
// the scan would reach it stepping through mismatches at index 0.
template <bool Fold> std::size_t skip_to(std::string_view text, std::size_t from, char first) noexcept
{
	if constexpr (!Fold) {
		const void *hit = std::memchr(text.data() + from, first, text.size() - from);
		return hit ? static_cast<std::size_t>(static_cast<const char *>(hit) - text.data())
			   : not_found;
	}
	const unsigned char want = byte_of<Fold>(first);
	for (std::size_t t = from; t < text.size(); ++t)
		if (byte_of<Fold>(text[t]) == want)
			return t;
	return not_found;
}

// Index of the occurrence the scan finds in `text`, or not_found; also
// not_found when a long pattern's table cannot be allocated.
template <bool Fold> std::size_t search(std::string_view text, std::string_view pattern) noexcept
{
	const std::size_t n = text.size(), m = pattern.size();
	if (m == 0)
		return 0;
	if (m > n)
		return not_found;
	failure_table table(m);
	if (!table.ok())
		return not_found;
	build<Fold>(pattern, table);

	const auto sm = static_cast<std::ptrdiff_t>(m);
	std::size_t t = 0;
	std::ptrdiff_t j = 0;
	while (t < n && j < sm) {
		if (j == 0 && pattern[0] != '?') {
			// The scan can finish only with m - j more bytes, and t never
			// moves back, so a short rest decides at once.
			t = skip_to<Fold>(text, t, pattern[0]);
			if (t == not_found || n - t < m)
				return not_found;
		}
		if (j == -1 || pattern[j] == '?' || byte_of<Fold>(text[t]) == byte_of<Fold>(pattern[j])) {
			++t;
			++j;
		} else {
			j = table[j];
		}
	}
	return j >= sm ? t - m : not_found;
}

template <bool Fold> bool same_bytes(std::string_view text, std::string_view segment) noexcept
{
	for (std::size_t x = 0; x < segment.size(); ++x)
		if (segment[x] != '?' && byte_of<Fold>(segment[x]) != byte_of<Fold>(text[x]))
			return false;
	return true;
}

// Left to right without backtracking: the part before the first "*" byte by
// byte, each middle segment where the search first places it, and the last
// segment against the end of the text only.
template <bool Fold> bool match(std::string_view text, std::string_view pattern) noexcept
{
	const std::size_t n = text.size(), m = pattern.size();
	std::size_t p = 0, t = 0;
	while (p < m && pattern[p] != '*') {
		if (t == n || (pattern[p] != '?' && byte_of<Fold>(pattern[p]) != byte_of<Fold>(text[t])))
			return false;
		++p;
		++t;
	}
	if (p == m)
		return t == n;

	for (;;) {
		while (p < m && pattern[p] == '*')
			++p;
		if (p == m)
			return true;
		std::size_t end = pattern.find('*', p);
		const bool last = end == not_found;
		if (last)
			end = m;
		const std::size_t len = end - p;
		const std::string_view segment = pattern.substr(p, len);
		if (n - t < len)
			return false;
		if (last)
			return same_bytes<Fold>(text.substr(n - len), segment);
		const std::size_t r = search<Fold>(text.substr(t), segment);
		if (r == not_found)
			return false;
		t += r + len;
		p = end;
	}
}

bool matches(std::string_view text, std::string_view pattern, bool exact) noexcept
{
	return exact ? match<false>(text, pattern) : match<true>(text, pattern);
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_findingstring(const char *text, const char *pattern, int start) noexcept
{
	if (!text || !pattern || start < 0)
		return -1;
	const std::size_t n = std::strlen(text), m = std::strlen(pattern);
	const auto from = static_cast<std::size_t>(start);
	if (from > n || m > n - from)
		return -1;
	if (m == 0)
		return start;
	const std::size_t r = search<false>({text + from, n - from}, {pattern, m});
	// An index that an int cannot carry is reported as no occurrence.
	if (r == not_found || r > static_cast<std::size_t>(INT_MAX) - from)
		return -1;
	return static_cast<int>(from + r);
}

extern "C" int tq_matchingstring(const char *text, const char *pattern, int case_sensitive) noexcept
{
	if (!text || !pattern)
		return 0;
	return matches(text, pattern, case_sensitive != 0) ? 1 : 0;
}

extern "C" int tq_multimatching(const char *text, const char *list, int match_all, int invert,
				int case_sensitive) noexcept
{
	if (!text || !list)
		return 0;
	const std::string_view subject(text);
	std::string_view rest(list);
	const bool exact = case_sensitive != 0;
	bool result = match_all != 0;
	// Items are views into the list; the first one that decides ends the walk.
	for (;;) {
		const std::size_t comma = rest.find(',');
		const std::string_view item = rest.substr(0, comma);
		if (match_all) {
			result = matches(subject, item, exact);
			if (!result)
				break;
		} else if (!item.empty() && matches(subject, item, exact)) {
			result = true;
			break;
		}
		if (comma == not_found)
			break;
		rest.remove_prefix(comma + 1);
	}
	return result != (invert != 0) ? 1 : 0;
}
