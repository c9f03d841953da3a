// Text for people and for scripts: aligned tables, hex, checked numbers
// and addresses, and the one JSON document a read command prints.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tqsys {

// Exit statuses, documented in tqsys(1).
enum exit_code : int {
	exit_ok = 0,
	exit_no = 1,      // no match, port in use, or standard output unwritable
	exit_usage = 2,   // bad command line or input file
	exit_failed = 3,  // the library or the device refused
};

// Bad input: the message is the one line the user sees after "tqsys: ".
struct usage_error : std::runtime_error {
	using std::runtime_error::runtime_error;
};

// Members keep the order they are set in.
using json = nlohmann::ordered_json;

// One line of JSON: UTF-8 as it is, a byte that is not UTF-8 as U+FFFD,
// a C1 control as its \u escape.
std::string json_text(const json &doc);

class table {
public:
	enum align { left, right };
	struct column {
		std::string title;
		align how = left;
	};

	explicit table(std::vector<column> columns);
	void add(std::vector<std::string> cells);
	// Every line starts with `indent`; trailing blanks are dropped. A table
	// of untitled columns is a list of "name  value" lines.
	std::string render(std::string_view indent = "") const;

private:
	std::vector<column> columns_;
	std::vector<std::vector<std::string>> rows_;
};

using mac_address = std::array<uint8_t, 6>;

// Strict conversions, decimal or 0x hex; throw usage_error naming `what`.
uint64_t parse_number(std::string_view word, uint64_t min, uint64_t max, std::string_view what);
mac_address parse_mac(std::string_view word, std::string_view what);

std::string hex_bytes(std::span<const uint8_t> bytes);  // "c0a8", no separators
std::string mac_text(std::span<const uint8_t, 6> mac);
std::string hex_word(uint32_t v);                        // 0x0000002a

// Bytes a terminal shows as they are: control bytes (C0, DEL and the C1
// range U+0080 to U+009F, a CSI among them) and bytes that are not UTF-8
// as \xNN, each byte of a sequence alike (a line break as \n, a tab as \t).
std::string printable(std::string_view bytes);

// The bytes as UTF-8: a byte that is not UTF-8 becomes U+FFFD.
std::string utf8_text(std::string_view bytes);

// A fixed-size name field up to its first NUL, as it stands.
std::string field_text(std::span<const char> field);

// The form of hexdump -C: offset, 16 bytes in two groups of eight, the
// printable ones beside them, and the offset after the last byte.
std::string hex_dump(std::span<const uint8_t> bytes);

// CPU load as the library gives it, e.g. "9.250".
std::string percent_text(uint32_t percent, uint32_t thousandths);

// Used share of a file system, "75.0 %" (or "-" for a size of zero).
std::string used_share(uint32_t total_kb, uint32_t free_kb);

} // namespace tqsys
