// The three matchers over any bytes: each gives the model's answer; a found
// index is a real occurrence at or after the start; folding case equals
// folding the inputs first; invert turns a list's answer over.
#include "model.h"
#include "tq_syslib.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#define CHECK(c) ((c) ? (void)0 : (std::fprintf(stderr, "line %d: %s\n", __LINE__, #c), std::abort()))

// Byte 0: flags (exact, all), byte 1: start (a few negative), then the
// text and the pattern or list, cut at NUL bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	const int exact = data[0] & 1, all = data[0] >> 1 & 1, start = int(data[1]) - 2;
	const std::string rest(reinterpret_cast<const char *>(data) + 2, size - 2);
	const std::string text = rest.substr(0, rest.find('\0'));
	const std::string pattern = rest.substr(text.size() + (text.size() < rest.size())).c_str();
	const char *t = text.c_str(), *p = pattern.c_str();

	const int at = tq_findingstring(t, p, start);
	CHECK(at == model::find(t, p, start));
	for (size_t x = 0, i = size_t(at); at >= 0 && x < pattern.size(); i = size_t(at) + ++x)
		CHECK(at >= start && i < text.size() && (pattern[x] == '?' || text[i] == pattern[x]));

	const int got = tq_matchingstring(t, p, exact);
	CHECK(got == model::match(t, p, exact));
	std::string folded = text + '\0' + pattern;
	for (char &c : folded)
		c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
	CHECK(exact || got == tq_matchingstring(folded.c_str(), folded.c_str() + text.size() + 1, 1));

	const int listed = tq_multimatching(t, p, all, 0, exact);
	CHECK(listed == model::multi(t, p, all, 0, exact));
	CHECK(tq_multimatching(t, p, all, 1, exact) == 1 - listed);
	return 0;
}
