// The lists: 0 or 1, the model's answer, and invert turning it over.
#include "fuzz_input.h"
#include "reference.h"

#include "tq_syslib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const fuzz_input in = split_input(data, size);
	const char *text = in.text.c_str(), *list = in.pattern.c_str();
	const int all = in.match_all, exact = in.case_sensitive;
	const int plain = tq_multimatching(text, list, all, 0, exact);
	FUZZ_REQUIRE(plain == 0 || plain == 1);
	FUZZ_REQUIRE(plain == wildcard_reference::multi(text, list, all, 0, exact));
	FUZZ_REQUIRE(tq_multimatching(text, list, all, 1, exact) == 1 - plain);
	return 0;
}
