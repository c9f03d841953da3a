#include "filter_file.h"
#include "format.h"
#include "cli.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace tqsys;

TEST(ToolTable, PadsColumnsAndAlignsNumbersRight)
{
	table t({{"PID", table::right}, {"NAME"}, {"WATCH"}});
	t.add({"1", "init", "yes"});
	t.add({"12345", "a", ""});
	EXPECT_EQ(t.render("  "),
		  "    PID  NAME  WATCH\n"
		  "      1  init  yes\n"
		  "  12345  a\n");

	table pairs({{""}, {"", table::right}});
	pairs.add({"total", "100"});
	pairs.add({"tmpfs used", "5"});
	EXPECT_EQ(pairs.render(), "total       100\ntmpfs used    5\n");
}

TEST(ToolJson, KeepsMemberOrderAndEscapesEveryByte)
{
	json doc = json::obj({{"b", 1}, {"a", json::array{true, nullptr, "x"}}});
	doc.set("n", uint64_t{4294967296}).set("neg", -1);
	EXPECT_EQ(doc.dump(), R"({"b":1,"a":[true,null,"x"],"n":4294967296,"neg":-1})");

	EXPECT_EQ(json_quote("a\"b\\c\n\t\x01"), R"("a\"b\\c\n\t\u0001")");
	// A name from /proc may hold any byte; JSON must still parse.
	EXPECT_EQ(json_quote("\xe9\x7f"), R"("\u00e9\u007f")");
	EXPECT_EQ(json(uint32_t{4294967295u}).dump(), "4294967295");
}

TEST(ToolText, FormatsFiguresAsTheToolPrintsThem)
{
	EXPECT_EQ(percent_text(9, 250), "9.250");
	EXPECT_EQ(percent_text(100, 0), "100.000");
	EXPECT_EQ(percent_text(0, 5), "0.005");
	EXPECT_EQ(used_share(4000, 1000), "75.0 %");
	EXPECT_EQ(used_share(3, 2), "33.3 %");
	EXPECT_EQ(used_share(0, 0), "-");
	EXPECT_EQ(used_share(10, 20), "0.0 %");  // free beyond total never underflows
	EXPECT_EQ(used_share(4294967295u, 0), "100.0 %");
	EXPECT_EQ(hex_word(42), "0x0000002a");
	uint8_t mac[6] = {0, 0x1a, 0x2b, 0x3c, 0x4d, 0xff};
	EXPECT_EQ(mac_text(mac), "00:1a:2b:3c:4d:ff");

	char unterminated[4] = {'a', '\n', 'b', 'c'};
	EXPECT_EQ(field_text(unterminated), "a?bc");
	char early[4] = {'x', '\0', 'y', 'z'};
	EXPECT_EQ(field_text(early), "x");
}

TEST(ToolFilterFile, ReadsFieldsInAnyLayout)
{
	tq_sys_filter_t f = parse_filter("# a filter\n"
					 "key 0x0a000001   # for get\n"
					 "\n"
					 "  id\t7\r\n"
					 "rule c0a8 01 00\n"
					 "rule ff\n",
					 "f");
	EXPECT_EQ(f.id, 7u);
	EXPECT_EQ(f.key, 0x0a000001u);
	const uint8_t rule[] = {0xc0, 0xa8, 0x01, 0x00, 0xff};
	EXPECT_EQ(std::memcmp(f.rule, rule, sizeof rule), 0);
	for (size_t i = sizeof rule; i < sizeof f.rule; ++i)
		EXPECT_EQ(f.rule[i], 0) << i;
}

TEST(ToolFilterFile, WhatGetPrintsAddTakesBackUnchanged)
{
	tq_sys_filter_t f{};
	f.id = 4294967295u;
	f.key = 3;
	for (size_t i = 0; i < sizeof f.rule; ++i)
		f.rule[i] = static_cast<uint8_t>(i * 7 + 1);
	tq_sys_filter_t back = parse_filter(format_filter(f), "f");
	EXPECT_EQ(std::memcmp(&f, &back, sizeof f), 0);

	tq_sys_filter_t bare{};
	bare.id = 1;
	EXPECT_EQ(format_filter(bare), "id    1\nkey   0x00000000\n");
}

TEST(ToolFilterFile, NamesTheLineOfEveryMistake)
{
	std::string full_rule = "rule";
	for (int i = 0; i < 56; ++i)
		full_rule += " 00";
	struct {
		std::string text;
		std::string message;
	} cases[] = {
		{"id 1\n", "f: key is missing"},
		{"key 1\n", "f: id is missing"},
		{"id 1\nkey 2\nid 3\n", "f:3: id given twice"},
		{"id\n", "f:1: id needs a value"},
		{"id 1 2\n", "f:1: id takes one value"},
		{"id 0x100000000\n", "f:1: id must be from 0 to 4294967295, got '0x100000000'"},
		{"id 1\nname x\n", "f:2: unknown field 'name' (id, key, rule)"},
		{"rule abc\n", "f:1: rule bytes are pairs of hex digits, got 'abc'"},
		{"rule zz\n", "f:1: rule bytes are pairs of hex digits, got 'zz'"},
		{full_rule + "\nrule 01\n", "f:2: rule has more than 56 bytes"},
	};
	for (const auto &c : cases) {
		try {
			parse_filter(c.text, "f");
			ADD_FAILURE() << "accepted: " << c.text;
		} catch (const usage_error &e) {
			EXPECT_EQ(std::string(e.what()), c.message);
		}
	}
}

} // namespace
