// The three matchers over any bytes: each gives the model's answer; a found
// index is a real occurrence at or after the start; folding case equals
// folding the inputs first; invert turns a list's answer over.
#include "model.h"
#include "tq_syslib.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_REQUIRE(cond)                                                                  \
	do {                                                                                \
		if (!(cond)) {                                                              \
			std::fprintf(stderr, "invariant broken: %s (line %d)\n", #cond, __LINE__); \
			std::abort();                                                       \
		}                                                                           \
	} while (0)

// Byte 0: flags (exact, all), byte 1: start (a few negative), then the
// text and the pattern or list, cut at NUL bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	const int exact = data[0] & 1, all = data[0] >> 1 & 1, start = int(data[1]) - 2;
	const std::string rest(reinterpret_cast<const char *>(data) + 2, size - 2);
	const std::string text = rest.substr(0, rest.find('\0'));
	const std::string pattern = text.size() < rest.size() ? rest.substr(text.size() + 1).c_str() : "";
	const char *t = text.c_str(), *p = pattern.c_str();

	const int at = tq_findingstring(t, p, start);
	FUZZ_REQUIRE(at == model::find(t, p, start));
	for (size_t x = 0; at >= 0 && x < pattern.size(); ++x)
		FUZZ_REQUIRE(at >= start && size_t(at) + x < text.size() && (pattern[x] == '?' || text[size_t(at) + x] == pattern[x]));

	const int got = tq_matchingstring(t, p, exact);
	FUZZ_REQUIRE(got == model::match(t, p, exact));
	std::string ft = text, fp = pattern;
	for (std::string *s : {&ft, &fp})
		for (char &c : *s)
			c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
	FUZZ_REQUIRE(exact || got == tq_matchingstring(ft.c_str(), fp.c_str(), 1));

	const int listed = tq_multimatching(t, p, all, 0, exact);
	FUZZ_REQUIRE(listed == model::multi(t, p, all, 0, exact) && tq_multimatching(t, p, all, 1, exact) == 1 - listed);
	return 0;
}
