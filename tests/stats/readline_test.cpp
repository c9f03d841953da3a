// The line reader: lines cut in place, lines that cross the end of the
// buffer read again whole, NULs in the file, a descriptor that cannot seek.
#include "stats/readline.h"

#include "reports.h"
#include "sandbox.h"
#include "tq_runtime.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace syslib_test;
using syslib::tq_mem_readline;
using lines = std::vector<std::string>;

namespace {

// Calls the reader until its first NULL, as the library's callers do.
lines read_file(const std::string &contents, int size)
{
	std::string path = scratch_dir() + "/readline.txt";
	EXPECT_TRUE(write_file(path, contents));
	int fd = tq_open(path.c_str(), 0);
	EXPECT_GE(fd, 0);
	std::string buf(static_cast<size_t>(size), 'x');
	char *cursor = nullptr;
	lines got;
	// A bound on the calls: a reader that loops fails instead of hanging.
	while (got.size() < 10000) {
		char *line = tq_mem_readline(fd, buf.data(), size, &cursor);
		if (!line)
			break;
		EXPECT_TRUE(line >= buf.data() && line < buf.data() + size);
		got.emplace_back(line);
	}
	EXPECT_EQ(cursor, nullptr);
	tq_close(fd);
	return got;
}

struct reader_case {
	const char *name;
	std::string contents;
	int size;
	lines expected;
};

class reader_cases : public ::testing::TestWithParam<reader_case> {};

} // namespace

TEST_P(reader_cases, yields_the_expected_lines)
{
	const reader_case &c = GetParam();
	report_capture reports;
	EXPECT_EQ(read_file(c.contents, c.size), c.expected);
	EXPECT_EQ(reports.size(), 0u);
}

// A buffer of 8 takes seven bytes of the file per fill.
INSTANTIATE_TEST_SUITE_P(
	stats, reader_cases,
	::testing::Values(
		reader_case{"newline_at_the_end_gives_an_empty_string", "one\ntwo\n", 1024,
			    {"one", "two", ""}},
		reader_case{"last_line_without_newline", "one\nlast", 1024, {"one", "last"}},
		reader_case{"empty_file", "", 1024, {}},
		reader_case{"crossing_line_is_read_again_whole", "abc\ndefgh\nij\n", 8,
			    {"abc", "defgh", "ij", ""}},
		reader_case{"file_of_exactly_one_fill", "ab\ncde\n", 8, {"ab", "cde"}},
		reader_case{"line_ends_at_the_last_byte", "abc\nxyz\nq\n", 8,
			    {"abc", "xyz", "q", ""}},
		reader_case{"nul_ends_the_fill_and_the_next_read_goes_on",
			    std::string("ab\0cd\nefgh\n", 11), 8, {"ab", "fgh", ""}},
		reader_case{"overlong_line_is_cut_and_never_loops", "abcdefghij\nk\n", 8,
			    {"abcdefg", "hij", "k", ""}}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(readline, many_lines_across_many_fills_come_back_whole)
{
	std::string contents;
	lines expected;
	for (int i = 0; i < 400; ++i) {
		expected.push_back(std::string(static_cast<size_t>(i * 37 % 301), 'a') +
				   std::to_string(i));
		contents += expected.back() + (i == 399 ? "" : "\n");
	}
	EXPECT_EQ(read_file(contents, 1024), expected);
}

TEST(readline, pipe_cannot_seek_back_for_a_crossing_line)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	ASSERT_EQ(write(p[1], "abc\ndefghij\n", 12), 12);
	close(p[1]);
	report_capture reports;
	char buf[8];
	char *cursor = nullptr;
	EXPECT_STREQ(tq_mem_readline(p[0], buf, sizeof buf, &cursor), "abc");
	EXPECT_EQ(tq_mem_readline(p[0], buf, sizeof buf, &cursor), nullptr);
	EXPECT_EQ(cursor, nullptr);
	close(p[0]);
	report r = reports.only();
	EXPECT_EQ(r.channel, TQRT_ERR);
	EXPECT_EQ(r.fmt, "tq_mem_readline: lseek failed!(%s)\n");
	EXPECT_EQ(r.text, std::string("tq_mem_readline: lseek failed!(") + strerror(ESPIPE) + ")\n");
}
