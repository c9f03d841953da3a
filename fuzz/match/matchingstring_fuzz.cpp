// The match: 0 or 1, the model's answer, case folding equal to folding the
// inputs first, and fnmatch's answer wherever the two are meant to agree.
#include "fuzz_input.h"
#include "reference.h"

#include "tq_syslib.h"

#include <algorithm>
#include <fnmatch.h>

namespace {

std::string folded(std::string s)
{
	for (auto &c : s)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c + 0x20);
	return s;
}

// fnmatch knows classes and escapes, and places a "?" of a middle segment
// anywhere; its backtracking is also exponential in the number of "*", so it
// is asked only about short inputs with few of them.
bool fnmatch_agrees_on(const std::string &text, const std::string &pattern)
{
	if (pattern.find_first_of("[\\") != std::string::npos || text.size() > 40)
		return false;
	if (std::count(pattern.begin(), pattern.end(), '*') > 4)
		return false;
	const size_t first = pattern.find('*'), last = pattern.rfind('*');
	return first == std::string::npos ||
	       pattern.find('?', first) == std::string::npos || pattern.find('?', first) > last;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const fuzz_input in = split_input(data, size);
	const char *text = in.text.c_str(), *pattern = in.pattern.c_str();
	const int exact = in.case_sensitive ? 1 : 0;
	const int got = tq_matchingstring(text, pattern, exact);
	FUZZ_REQUIRE(got == 0 || got == 1);
	FUZZ_REQUIRE(got == wildcard_reference::match(text, pattern, exact));
	if (!exact)
		FUZZ_REQUIRE(got == tq_matchingstring(folded(in.text).c_str(),
						      folded(in.pattern).c_str(), 1));
	if (fnmatch_agrees_on(in.text, in.pattern))
		FUZZ_REQUIRE(got == (fnmatch(pattern, text, exact ? 0 : FNM_CASEFOLD) == 0));
	return 0;
}
