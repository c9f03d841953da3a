// The search: a returned index is a real occurrence at or after start, it is
// the model's answer, and without "?" it is the classic first occurrence.
#include "fuzz_input.h"
#include "reference.h"

#include "tq_syslib.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const fuzz_input in = split_input(data, size);
	const std::string &text = in.text, &pattern = in.pattern;
	const int got = tq_findingstring(text.c_str(), pattern.c_str(), in.start);
	FUZZ_REQUIRE(got == wildcard_reference::find(text.c_str(), pattern.c_str(), in.start));
	if (got >= 0) {
		FUZZ_REQUIRE(got >= in.start);
		FUZZ_REQUIRE(static_cast<size_t>(got) + pattern.size() <= text.size());
		for (size_t x = 0; x < pattern.size(); ++x)
			FUZZ_REQUIRE(pattern[x] == '?' || pattern[x] == text[got + x]);
	} else {
		FUZZ_REQUIRE(got == -1);
	}
	if (pattern.find('?') == std::string::npos) {
		const size_t pos = in.start < 0 ? std::string::npos
						: std::string_view(text).find(pattern, in.start);
		FUZZ_REQUIRE(got == (pos == std::string::npos ? -1 : static_cast<int>(pos)));
	}
	return 0;
}
