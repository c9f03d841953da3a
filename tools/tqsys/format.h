// Output of tqsys: aligned tables for people, JSON for scripts.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tqsys {

// Columns padded to their widest cell, two blanks apart; numbers are
// right-aligned so that their digits line up.
class table {
public:
	enum align { left, right };
	struct column {
		std::string title;
		align how = left;
	};

	explicit table(std::vector<column> columns);
	void add(std::vector<std::string> cells);
	size_t rows() const { return rows_.size(); }
	// Every line starts with `indent`; trailing blanks are dropped.
	std::string render(std::string_view indent = "") const;

private:
	std::vector<column> columns_;
	std::vector<std::vector<std::string>> rows_;
};

// A JSON value built in memory and written in one go, members in the
// order they were added.
class json {
public:
	using array = std::vector<json>;
	using object = std::vector<std::pair<std::string, json>>;

	json() : v_(nullptr) {}
	json(std::nullptr_t) : v_(nullptr) {}
	json(bool b) : v_(b) {}
	json(int v) : v_(static_cast<int64_t>(v)) {}
	json(int64_t v) : v_(v) {}
	json(uint32_t v) : v_(static_cast<int64_t>(v)) {}
	json(uint64_t v) : v_(v) {}
	json(const char *s) : v_(std::string(s)) {}
	json(std::string s) : v_(std::move(s)) {}
	json(std::string_view s) : v_(std::string(s)) {}
	json(array a) : v_(std::move(a)) {}
	json(object o) : v_(std::move(o)) {}

	static json obj(std::initializer_list<std::pair<std::string, json>> members)
	{
		return json(object(members));
	}
	// Adds a member to an object.
	json &set(std::string key, json value);
	// Appends to an array.
	json &push(json value);

	std::string dump() const;

private:
	void write(std::string &out) const;
	std::variant<std::nullptr_t, bool, int64_t, uint64_t, std::string, array, object> v_;
};

// JSON string literal; bytes of 0x80 and above are written as \u00XX, so
// any name read from /proc gives valid JSON.
std::string json_quote(std::string_view s);

// Lower-case hex digits of every byte, no separators.
std::string hex_bytes(std::span<const uint8_t> bytes);
std::string mac_text(std::span<const uint8_t, 6> mac);
std::string hex_word(uint32_t v);  // 0x0000002a

// A fixed-size name field as text: up to its first NUL, with control
// characters shown as '?', so a table stays one line per row.
std::string field_text(std::span<const char> field);

// CPU load as the library gives it, e.g. "9.250".
std::string percent_text(uint32_t percent, uint32_t thousandths);

// Used share of a file system, "75.0 %" (or "-" for a size of zero).
std::string used_share(uint32_t total_kb, uint32_t free_kb);

} // namespace tqsys
