// The line reader: lines cut in place, lines that cross the end of the
// buffer read again whole, NULs in the file, and a descriptor that
// cannot seek.
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

namespace {

constexpr int max_calls = 10000;  // a reader that loops fails instead of hanging

struct reading {
	std::vector<std::string> lines;
	bool cursor_null_at_end = false;
};

// Calls the reader until its first NULL, as the library's callers do.
reading read_all(int fd, int size)
{
	std::vector<char> buf(static_cast<size_t>(size), 'x');
	char *cursor = nullptr;
	reading r;
	for (int i = 0; i < max_calls; ++i) {
		char *line = tq_mem_readline(fd, buf.data(), size, &cursor);
		if (!line) {
			r.cursor_null_at_end = cursor == nullptr;
			return r;
		}
		EXPECT_GE(line, buf.data());
		EXPECT_LT(line, buf.data() + size);
		r.lines.emplace_back(line);
	}
	ADD_FAILURE() << "the reader never returned NULL";
	return r;
}

reading read_file(const std::string &contents, int size)
{
	std::string path = scratch_dir() + "/readline.txt";
	EXPECT_TRUE(write_file(path, contents));
	int fd = tq_open(path.c_str(), 0);
	EXPECT_GE(fd, 0);
	reading r = read_all(fd, size);
	tq_close(fd);
	return r;
}

using lines = std::vector<std::string>;

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
	reading r = read_file(c.contents, c.size);
	EXPECT_EQ(r.lines, c.expected);
	EXPECT_TRUE(r.cursor_null_at_end);
	EXPECT_EQ(reports.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
	stats, reader_cases,
	::testing::Values(
		reader_case{"three_lines_then_an_empty_string", "one\ntwo\nthree\n", 1024,
			    {"one", "two", "three", ""}},
		reader_case{"last_line_without_newline", "one\nlast", 1024, {"one", "last"}},
		reader_case{"empty_file", "", 1024, {}},
		// Buffer of 8: seven bytes of the file per fill.
		reader_case{"line_crossing_the_buffer_is_read_again_whole", "abc\ndefgh\nij\n", 8,
			    {"abc", "defgh", "ij", ""}},
		reader_case{"file_of_exactly_one_fill_gives_no_empty_string", "ab\ncde\n", 8,
			    {"ab", "cde"}},
		reader_case{"previous_line_ends_at_the_last_byte", "abc\nxyz\nq\n", 8,
			    {"abc", "xyz", "q", ""}},
		reader_case{"nul_ends_the_fill_and_the_next_read_goes_on",
			    std::string("ab\0cd\nefgh\n", 11), 8, {"ab", "fgh", ""}},
		reader_case{"nul_in_a_short_file_hides_its_rest", std::string("ab\0cd\nef\n", 9),
			    1024, {"ab"}},
		// A line that cannot fit is handed out cut; the rest follows.
		reader_case{"overlong_line_is_cut_and_never_loops", "abcdefghij\nk\n", 8,
			    {"abcdefg", "hij", "k", ""}},
		reader_case{"overlong_line_at_the_end", "0123456789abcdef", 8,
			    {"0123456", "789abcd", "ef"}}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(readline, many_lines_across_many_fills_come_back_whole)
{
	std::string contents;
	lines expected;
	for (int i = 0; i < 400; ++i) {
		std::string line(static_cast<size_t>((i * 37) % 301), static_cast<char>('a' + i % 26));
		line += std::to_string(i);
		expected.push_back(line);
		contents += line;
		if (i != 399)
			contents += '\n';
	}
	ASSERT_GT(contents.size(), 40000u);
	reading r = read_file(contents, 1024);
	EXPECT_EQ(r.lines, expected);
}

TEST(readline, pipe_cannot_seek_back_for_a_crossing_line)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	const char text[] = "abc\ndefghij\n";
	ASSERT_EQ(write(p[1], text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
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

TEST(readline, read_error_gives_null_without_a_report)
{
	report_capture reports;
	char buf[16];
	char *cursor = nullptr;
	int fd = tq_open("/", 0);  // a directory: read fails with EISDIR
	ASSERT_GE(fd, 0);
	EXPECT_EQ(tq_mem_readline(fd, buf, sizeof buf, &cursor), nullptr);
	EXPECT_EQ(cursor, nullptr);
	tq_close(fd);
	EXPECT_EQ(reports.size(), 0u);
}
