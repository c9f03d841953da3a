// Shared by the wildcard fuzz targets: how the fuzzer's bytes become
// arguments, and the check that stops the run on a broken invariant.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Byte 0: flag bits (case_sensitive, match_all, invert), byte 1: start,
// then the text and the pattern (or list), cut at NUL bytes.
struct fuzz_input {
	bool case_sensitive = false, match_all = false, invert = false;
	int start = 0;
	std::string text, pattern;
};

inline fuzz_input split_input(const uint8_t *data, size_t size)
{
	fuzz_input in;
	if (size > 0) {
		in.case_sensitive = data[0] & 1;
		in.match_all = data[0] & 2;
		in.invert = data[0] & 4;
	}
	// Mostly small starts, with a few negative ones.
	if (size > 1)
		in.start = static_cast<int>(data[1]) - 2;
	const std::string rest(reinterpret_cast<const char *>(data) + (size > 2 ? 2 : size),
			       size > 2 ? size - 2 : 0);
	const size_t cut = rest.find('\0');
	in.text = rest.substr(0, cut);
	if (cut != std::string::npos)
		in.pattern = rest.substr(cut + 1, rest.find('\0', cut + 1) - cut - 1);
	return in;
}

#define FUZZ_REQUIRE(cond)                                                                \
	do {                                                                              \
		if (!(cond)) {                                                            \
			std::fprintf(stderr, "invariant broken: %s (line %d)\n", #cond, __LINE__); \
			std::abort();                                                     \
		}                                                                         \
	} while (0)
