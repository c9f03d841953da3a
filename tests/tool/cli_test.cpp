#include "cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace tqsys;

int nothing(const invocation &)
{
	return 0;
}

const std::vector<command_def> &table()
{
	static const std::vector<command_def> t = {
		{"status", "show", {{"PATH", text_value, true, true}}, {}, true, nothing},
		{"match", "match",
		 {{"TEXT", text_value}, {"PATTERN", text_value, true}},
		 {{"list", 'l', "LIST"}, {"all", 'a'}, {"ignore-case", 'i'}}, true, nothing},
		{"port", "port", {{"PORT", number_value(1, 65535)}}, {}, true, nothing},
		{"filter del", "del", {{"ID", u32_value}}, {}, false, nothing},
		{"filter list", "list", {}, {}, true, nothing},
		{"client get", "get", {{"MAC", mac_value}}, {}, true, nothing},
	};
	return t;
}

parse_result run(std::vector<std::string_view> words)
{
	return parse(table(), words);
}

std::string error_of(std::vector<std::string_view> words)
{
	try {
		run(words);
	} catch (const usage_error &e) {
		return e.what();
	}
	return "(accepted)";
}

TEST(ToolParse, RejectsBadCommandLinesWithOneMessage)
{
	struct {
		std::vector<std::string_view> words;
		std::string message;
	} cases[] = {
		{{}, "no command given (try 'tqsys --help')"},
		{{"bogus"}, "unknown command 'bogus' (try 'tqsys --help')"},
		{{"filter"}, "filter: missing subcommand (del, list)"},
		{{"filter", "purge"}, "filter: unknown subcommand 'purge' (del, list)"},
		{{"filter", "del"}, "filter del: missing ID"},
		{{"filter", "del", "1", "2"}, "filter del: unexpected argument '2'"},
		{{"filter", "del", "4294967296"},
		 "filter del: ID must be from 0 to 4294967295, got '4294967296'"},
		{{"filter", "del", "--json", "1"}, "filter del: unknown option '--json'"},
		{{"port", "0"}, "port: PORT must be from 1 to 65535, got '0'"},
		{{"port", "http"}, "port: PORT must be a number, got 'http'"},
		{{"client", "get", "00:11:22:33:44"},
		 "client get: MAC must look like aa:bb:cc:dd:ee:ff, got '00:11:22:33:44'"},
		{{"match", "abc", "--list"}, "match: option --list needs LIST"},
		{{"match", "abc", "-i", "-i"}, "match: option --ignore-case given twice"},
		{{"match", "abc", "--all=yes"}, "match: option --all takes no value"},
		{{"match", "abc", "-x"}, "match: unknown option '-x'"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(error_of(c.words), c.message);
}

TEST(ToolParse, FillsValuesFromArgumentsAndOptions)
{
	parse_result r = run({"match", "-i", "Abc", "--list=a*,b*", "--json"});
	ASSERT_EQ(r.inv.command->path, "match");
	EXPECT_EQ(r.inv.text("TEXT"), "Abc");
	EXPECT_EQ(r.inv.text("list"), "a*,b*");
	EXPECT_TRUE(r.inv.flag("ignore-case"));
	EXPECT_TRUE(r.inv.flag("json"));
	EXPECT_FALSE(r.inv.flag("all"));
	EXPECT_FALSE(r.inv.has("PATTERN"));

	r = run({"filter", "del", "0x2a"});
	EXPECT_EQ(r.inv.number("ID"), 42u);

	r = run({"client", "get", "0A-1b-2c-3d-4e-5F"});
	EXPECT_EQ(r.inv.mac("MAC"), (mac_address{0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f}));

	r = run({"status", "/", "/var", "--", "--odd"});
	EXPECT_EQ(r.inv.words("PATH"), (std::vector<std::string>{"/", "/var", "--odd"}));
	EXPECT_TRUE(run({"status"}).inv.words("PATH").empty());

	// "-" alone is an argument (stdin), not an option.
	r = run({"match", "-", "?"});
	EXPECT_EQ(r.inv.text("TEXT"), "-");
}

TEST(ToolParse, HelpWinsOverEverythingElseOnTheLine)
{
	EXPECT_TRUE(run({"filter", "del", "not-a-number", "--help"}).inv.help);
	EXPECT_TRUE(run({"port", "-h"}).inv.help);
	// After "--" it is only a word.
	EXPECT_EQ(error_of({"match", "x", "--", "--help", "y"}),
		  "match: unexpected argument 'y'");

	parse_result overview = run({"--help"});
	EXPECT_EQ(overview.inv.command, nullptr);
	EXPECT_TRUE(overview.group.empty());
	parse_result group = run({"filter", "--help"});
	EXPECT_EQ(group.inv.command, nullptr);
	EXPECT_EQ(group.group, "filter");
}

TEST(ToolParse, NumbersAreStrictDecimalOrHex)
{
	struct {
		std::string_view word;
		bool ok;
		uint64_t value;
	} cases[] = {
		{"0", true, 0},          {"4294967295", true, UINT32_MAX}, {"0x10", true, 16},
		{"0XfF", true, 255},     {"007", true, 7},                 {"", false, 0},
		{"-1", false, 0},        {"+1", false, 0},                 {" 1", false, 0},
		{"1 ", false, 0},        {"12a", false, 0},                {"0x", false, 0},
		{"0x1g", false, 0},      {"4294967296", false, 0},
		{"99999999999999999999999", false, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.word));
		if (c.ok) {
			EXPECT_EQ(parse_number(c.word, u32_value, "N"), c.value);
		} else {
			EXPECT_THROW(parse_number(c.word, u32_value, "N"), usage_error);
		}
	}
}

TEST(ToolParse, MacAddressesNeedSixPairsAndOneSeparator)
{
	for (std::string_view bad : {"", "00:11:22:33:44:5", "00:11:22:33:44:555", "00:11-22:33:44:55",
				     "00.11.22.33.44.55", "0g:11:22:33:44:55", "001122334455",
				     "00:11:22:33:44:55:66"})
		EXPECT_THROW(parse_mac(bad, "MAC"), usage_error) << bad;
	EXPECT_EQ(parse_mac("ff:ff:ff:ff:ff:ff", "MAC"), (mac_address{255, 255, 255, 255, 255, 255}));
}

TEST(ToolHelp, ShowsEveryArgumentOptionAndExitStatus)
{
	const command_def &match = table()[1];
	EXPECT_EQ(usage_line(match), "tqsys match TEXT [PATTERN] [-l LIST] [-a] [-i] [--json]");
	EXPECT_EQ(usage_line(table()[0]), "tqsys status [PATH...] [--json]");
	std::string help = command_help(match);
	EXPECT_NE(help.find("-l, --list LIST"), std::string::npos);
	EXPECT_NE(help.find("-h, --help"), std::string::npos);

	std::string overview = overview_help(table());
	for (std::string_view code : {"  0  ", "  1  ", "  2  ", "  3  ", "  4  "})
		EXPECT_NE(overview.find(code), std::string::npos) << code;
	EXPECT_NE(group_help(table(), "filter").find("tqsys filter del ID"), std::string::npos);
}

} // namespace
