// The line reader: lines cut in place, a line that crosses the end of the
// buffer read again whole, NULs in the file, a descriptor that cannot seek.
#include "stats/readline.h"

#include "reports.h"
#include "sandbox.h"
#include "tq_runtime.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace syslib_test;
using syslib::tq_mem_readline;
using lines = std::vector<std::string>;

namespace {

struct reader_case {
	const char *name;
	std::string contents;
	lines expected;
};
class reader_cases : public ::testing::TestWithParam<reader_case> {};

} // namespace

// A buffer of 8 bytes: seven of the file per fill.
TEST_P(reader_cases, yields_the_expected_lines)
{
	const reader_case &c = GetParam();
	const std::string path = scratch_dir() + "/readline.txt";
	ASSERT_TRUE(write_file(path, c.contents));
	int fd = tq_open(path.c_str(), 0);
	ASSERT_GE(fd, 0);
	report_capture reports;
	char buf[8];
	char *cursor = nullptr;
	lines got;
	while (got.size() < 100) {  // a reader that loops fails instead of hanging
		char *line = tq_mem_readline(fd, buf, sizeof buf, &cursor);
		if (!line)
			break;
		EXPECT_TRUE(line >= buf && line < buf + sizeof buf);
		got.emplace_back(line);
	}
	tq_close(fd);
	EXPECT_EQ(cursor, nullptr);
	EXPECT_EQ(got, c.expected);
	EXPECT_EQ(reports.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
	stats, reader_cases,
	::testing::Values(
		reader_case{"newline_at_the_end_gives_an_empty_line", "ab\nc\n", {"ab", "c", ""}},
		reader_case{"file_of_exactly_one_fill", "ab\ncde\n", {"ab", "cde"}},
		// "klmnop\n" ends at the last byte of a fill.
		reader_case{"crossing_lines_are_read_again_whole", "abc\ndefgh\nij\nklmnop\nq",
			    {"abc", "defgh", "ij", "klmnop", "q"}},
		reader_case{"nul_ends_the_fill", std::string("ab\0cd\nefgh\n", 11), {"ab", "fgh", ""}},
		reader_case{"overlong_line_is_cut_and_never_loops", "abcdefghij\nk\n",
			    {"abcdefg", "hij", "k", ""}}),
	[](const auto &info) { return std::string(info.param.name); });

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
	const report r = reports.only();
	EXPECT_EQ(r.channel, TQRT_ERR);
	EXPECT_EQ(r.text, std::string("tq_mem_readline: lseek failed!(") + strerror(ESPIPE) + ")\n");
}
