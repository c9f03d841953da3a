// Wildcard matching: "?"-aware substring search, "*"/"?" whole-text match
// with optional ASCII case folding, and comma-separated pattern lists.
//
// The results of the search are fixed by its failure table, including the
// occurrences it passes over when a "?" meets a partial match, and the match
// places every middle segment where that search puts it. So the steps below
// are the classic ones; the speed comes from what they avoid: nothing is
// copied (folding is done on each comparison, segments and list items are
// read where they stand), short failure tables live on the stack, and the
// heap is taken only for patterns longer than any process name.
#include "tq_syslib.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
	// malloc rather than new[]: the library needs no C++ runtime.
	explicit failure_table(std::size_t m) noexcept
	{
		if (m <= stack_entries)
			entries_ = local_;
		else if (m <= SIZE_MAX / sizeof *entries_)
			entries_ = static_cast<std::ptrdiff_t *>(std::malloc(m * sizeof *entries_));
	}
	~failure_table()
	{
		if (entries_ != local_)
			std::free(entries_);
	}
	failure_table(const failure_table &) = delete;
	failure_table &operator=(const failure_table &) = delete;
	bool ok() const noexcept { return entries_ != nullptr; }
	std::ptrdiff_t &operator[](std::ptrdiff_t i) noexcept { return entries_[i]; }

private:
	std::ptrdiff_t local_[stack_entries];
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
template <bool Fold> inline std::size_t skip_to(std::string_view text, std::size_t from, char first) noexcept
{
	// A name is over before memchr pays for its call.
	constexpr std::size_t short_rest = 32;
	const unsigned char want = byte_of<Fold>(first);
	if (Fold && static_cast<unsigned>(want - 'a') < 26u) {
		// For a small letter, folding equals setting bit 0x20.
		for (std::size_t t = from; t < text.size(); ++t)
			if ((static_cast<unsigned char>(text[t]) | 0x20) == want)
				return t;
		return not_found;
	}
	if (text.size() - from <= short_rest) {
		for (std::size_t t = from; t < text.size(); ++t)
			if (text[t] == first)
				return t;
		return not_found;
	}
	const void *hit = std::memchr(text.data() + from, first, text.size() - from);
	return hit ? static_cast<std::size_t>(static_cast<const char *>(hit) - text.data()) : not_found;
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

template <bool Fold> inline bool same_byte(char a, char b) noexcept
{
	if (a == b)
		return true;
	if constexpr (Fold) {
		// Differing bytes are equal folded only as the two cases of a letter.
		const auto lower = static_cast<unsigned char>(a | 0x20);
		return (a ^ b) == 0x20 && static_cast<unsigned>(lower - 'a') < 26u;
	}
	return false;
}

// Backwards: names that share a start differ mostly near their end.
template <bool Fold> bool same_bytes(const char *text, const char *segment, std::size_t len) noexcept
{
	while (len-- > 0)
		if (segment[len] != '?' && !same_byte<Fold>(segment[len], text[len]))
			return false;
	return true;
}

// Without "?" the search's answer is the first occurrence, which a direct
// comparison finds faster for the short segments names are matched with;
// longer ones keep the linear scan.
constexpr std::size_t direct_segment_max = 16;

template <bool Fold> std::size_t first_occurrence(std::string_view text, std::string_view segment) noexcept
{
	const std::size_t len = segment.size();
	for (std::size_t at = 0; text.size() - at >= len; ++at) {
		at = skip_to<Fold>(text, at, segment[0]);
		if (at == not_found || text.size() - at < len)
			return not_found;
		if (same_bytes<Fold>(text.data() + at, segment.data(), len))
			return at;
	}
	return not_found;
}

// A single pattern ends at its NUL; an item of a list also at a ",".
template <bool Item> inline bool ends(char c) noexcept
{
	return c == '\0' || (Item && c == ',');
}

// The length of a text that is mostly a process name: its first bytes are
// looked at in line, which for a name of a few bytes costs less than a call
// of strlen.
inline std::size_t name_length(const char *text) noexcept
{
	for (std::size_t i = 0; i < 8; ++i)
		if (!text[i])
			return i;
	return 8 + std::strlen(text + 8);
}

// From the first "*" on: each middle segment where the search first places
// it, and the last segment against the end of the text only. Runs of "*"
// act as one. Kept out of line so that the many names which fail on their
// first bytes pay for none of this.
template <bool Fold, bool Item>
[[gnu::noinline]] bool match_from_star(const char *text, const char *p) noexcept
{
	while (*p == '*')
		++p;
	if (ends<Item>(*p))
		return true;
	std::string_view rest(text, name_length(text));
	for (;;) {
		// A segment longer than the rest of the text fails wherever it
		// stands, so its end is looked for no further than that.
		const char *segment = p;
		bool wild = false;
		for (; *p != '*' && !ends<Item>(*p); ++p) {
			if (static_cast<std::size_t>(p - segment) == rest.size())
				return false;
			wild |= *p == '?';
		}
		const auto len = static_cast<std::size_t>(p - segment);
		if (*p != '*')
			return same_bytes<Fold>(rest.data() + rest.size() - len, segment, len);
		const std::string_view seg(segment, len);
		const std::size_t r = !wild && len <= direct_segment_max ? first_occurrence<Fold>(rest, seg)
									  : search<Fold>(rest, seg);
		if (r == not_found)
			return false;
		rest.remove_prefix(r + len);
		while (*p == '*')
			++p;
		if (ends<Item>(*p))
			return true;
	}
}

// Left to right without backtracking; the part before the first "*" byte by
// byte, and without a "*" the text must end where the pattern does.
template <bool Fold, bool Item> inline bool match(const char *text, const char *p) noexcept
{
	for (; *p != '*'; ++p, ++text) {
		if (ends<Item>(*p))
			return *text == '\0';
		if (*text == '\0' || (*p != '?' && !same_byte<Fold>(*p, *text)))
			return false;
	}
	return match_from_star<Fold, Item>(text, p);
}

template <bool Item> bool matches(const char *text, const char *pattern, bool exact) noexcept
{
	return exact ? match<false, Item>(text, pattern) : match<true, Item>(text, pattern);
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_findingstring(const char *text, const char *pattern, int start) noexcept
{
	if (!text || !pattern || start < 0)
		return -1;
	const auto from = static_cast<std::size_t>(start);
	if (pattern[0] && pattern[0] != '?') {
		// Up to its first "?" the pattern is plain bytes: strchr goes to
		// each place of the first one (finding the text's end in the same
		// pass) and the rest is compared in line. A place that matches up
		// to a "?" leaves the answer to the wildcard's scan below; if none
		// does, no occurrence can exist.
		if (from && strnlen(text, from) < from)
			return -1;
		bool wild = false;
		for (const char *at = text + from; !wild && (at = std::strchr(at, pattern[0])); ++at) {
			std::size_t j = 1;  // stops at the text's end: pattern[j] is no NUL there
			while (pattern[j] && pattern[j] != '?' && at[j] == pattern[j])
				++j;
			if (!pattern[j])
				return at - text <= INT_MAX ? static_cast<int>(at - text) : -1;
			wild = pattern[j] == '?';
		}
		if (!wild)
			return -1;
	}
	const std::size_t n = std::strlen(text), m = std::strlen(pattern);
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
	return matches<false>(text, pattern, case_sensitive != 0) ? 1 : 0;
}

extern "C" int tq_multimatching(const char *text, const char *list, int match_all, int invert,
				int case_sensitive) noexcept
{
	if (!text || !list)
		return 0;
	const bool exact = case_sensitive != 0;
	bool result = match_all != 0;
	// Each item is matched where it stands in the list, up to its "," or the
	// NUL; the first one that decides ends the walk.
	for (const char *item = list;; ++item) {
		if (match_all) {
			result = matches<true>(text, item, exact);
			if (!result)
				break;
		} else if (!ends<true>(*item) && matches<true>(text, item, exact)) {
			result = true;
			break;
		}
		while (!ends<true>(*item))
			++item;
		if (*item == '\0')
			break;
	}
	return result != (invert != 0) ? 1 : 0;
}
