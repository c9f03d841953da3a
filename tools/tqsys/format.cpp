#include "format.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace tqsys {

std::string json_text(const json &doc)
{
	// C1 controls (C2 80 to C2 9F) can only stand inside strings: escaped
	// there as \u0080 to \u009f, so none reaches a terminal raw.
	std::string raw = doc.dump(-1, ' ', false, json::error_handler_t::replace), out;
	for (size_t i = 0; i < raw.size(); ++i)
		if (raw[i] == '\xc2' && i + 1 < raw.size() && static_cast<unsigned char>(raw[i + 1]) < 0xa0) {
			char esc[8];
			std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(raw[++i]));
			out += esc;
		} else {
			out += raw[i];
		}
	return out;
}

table::table(std::vector<column> columns) : columns_(std::move(columns)) {}

void table::add(std::vector<std::string> cells)
{
	cells.resize(columns_.size());
	rows_.push_back(std::move(cells));
}

std::string table::render(std::string_view indent) const
{
	std::vector<size_t> width(columns_.size());
	for (size_t c = 0; c < columns_.size(); ++c) {
		width[c] = columns_[c].title.size();
		for (const auto &row : rows_)
			width[c] = std::max(width[c], row[c].size());
	}
	std::string out;
	auto line = [&](auto cell_of) {
		std::string l(indent);
		for (size_t c = 0; c < columns_.size(); ++c) {
			const std::string &cell = cell_of(c);
			std::string pad(width[c] - cell.size(), ' ');
			l.append(c ? "  " : "").append(columns_[c].how == right ? pad + cell : cell + pad);
		}
		l.erase(l.find_last_not_of(' ') + 1);
		out.append(l).append("\n");
	};
	if (std::any_of(columns_.begin(), columns_.end(), [](const column &c) { return !c.title.empty(); }))
		line([&](size_t c) -> const std::string & { return columns_[c].title; });
	for (const auto &row : rows_)
		line([&](size_t c) -> const std::string & { return row[c]; });
	return out;
}

uint64_t parse_number(std::string_view word, uint64_t min, uint64_t max, std::string_view what)
{
	std::string_view digits = word;
	int base = 10;
	if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
		digits.remove_prefix(2), base = 16;
	uint64_t v = 0;
	auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
	const bool whole = !digits.empty() && end == digits.data() + digits.size();
	const std::string got = ", got '" + printable(word) + "'";
	if (ec == std::errc::invalid_argument || (ec == std::errc{} && !whole))
		throw usage_error(std::string(what) + " must be a number" + got);
	if (ec == std::errc::result_out_of_range || v < min || v > max)
		throw usage_error(std::string(what) + " must be from " + std::to_string(min) + " to " +
				  std::to_string(max) + got);
	return v;
}

mac_address parse_mac(std::string_view word, std::string_view what)
{
	// Six pairs of hex digits joined by one kind of separator, ':' or '-'.
	mac_address mac{};
	bool ok = word.size() == 17 && (word[2] == ':' || word[2] == '-');
	for (size_t i = 0; ok && i < 6; ++i) {
		auto [end, ec] = std::from_chars(word.data() + i * 3, word.data() + i * 3 + 2, mac[i], 16);
		ok = ec == std::errc{} && end == word.data() + i * 3 + 2 && (i == 5 || word[i * 3 + 2] == word[2]);
	}
	if (!ok)
		throw usage_error(std::string(what) + " must look like aa:bb:cc:dd:ee:ff, got '" +
				  printable(word) + "'");
	return mac;
}

std::string hex_bytes(std::span<const uint8_t> bytes)
{
	static constexpr char digits[] = "0123456789abcdef";
	std::string out;
	for (uint8_t b : bytes)
		out.append({digits[b >> 4], digits[b & 15]});
	return out;
}

std::string mac_text(std::span<const uint8_t, 6> mac)
{
	char buf[18];
	std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
		      mac[5]);
	return buf;
}

std::string hex_word(uint32_t v)
{
	char buf[11];
	std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(v));
	return buf;
}

namespace {

// Length of the UTF-8 sequence at s (1 to 4), or 0 when it is none.
size_t utf8_length(std::string_view s)
{
	const auto b = static_cast<unsigned char>(s[0]);
	const size_t n = b < 0x80 ? 1 : b >= 0xc2 && b < 0xe0 ? 2 : b >= 0xe0 && b < 0xf0 ? 3
		       : b >= 0xf0 && b < 0xf5 ? 4 : 0;
	if (n == 0 || n > s.size())
		return 0;
	for (size_t i = 1; i < n; ++i)
		if ((static_cast<unsigned char>(s[i]) & 0xc0) != 0x80)
			return 0;
	return n;
}

} // namespace

std::string printable(std::string_view bytes)
{
	std::string out;
	while (!bytes.empty()) {
		const auto b = static_cast<unsigned char>(bytes[0]);
		size_t n = utf8_length(bytes);
		// A C1 control, C2 80 to C2 9F, is escaped byte by byte as C0 is.
		const bool c1 = b == 0xc2 && n == 2 && static_cast<unsigned char>(bytes[1]) < 0xa0;
		if (n == 0 || c1 || b < 0x20 || b == 0x7f) {
			n = c1 ? 2 : 1;
			for (unsigned char e : bytes.substr(0, n)) {
				char esc[5];
				std::snprintf(esc, sizeof esc, "\\x%02x", e);
				out += e == '\n' ? "\\n" : e == '\t' ? "\\t" : esc;
			}
		} else {
			out.append(bytes.substr(0, n));
		}
		bytes.remove_prefix(n);
	}
	return out;
}

std::string utf8_text(std::string_view bytes)
{
	std::string out;
	for (size_t n; !bytes.empty(); bytes.remove_prefix(std::max<size_t>(n, 1)))
		out.append((n = utf8_length(bytes)) ? bytes.substr(0, n) : "\xef\xbf\xbd");
	return out;
}

std::string field_text(std::span<const char> field)
{
	return std::string(field.data(), std::find(field.begin(), field.end(), '\0') - field.begin());
}

std::string hex_dump(std::span<const uint8_t> bytes)
{
	std::string out;
	char cell[24];  // a 64-bit offset in hex, a blank and the terminator
	for (size_t at = 0; at < bytes.size(); at += 16) {
		std::snprintf(cell, sizeof cell, "%08zx ", at);
		std::string shown = "|";
		out += cell;
		for (size_t i = at; i < at + 16; ++i) {
			out += i % 16 == 8 ? " " : "";
			if (i >= bytes.size()) {
				out += "   ";
				continue;
			}
			std::snprintf(cell, sizeof cell, " %02x", bytes[i]);
			out += cell;
			shown += bytes[i] >= 0x20 && bytes[i] < 0x7f ? char(bytes[i]) : '.';
		}
		out.append("  ").append(shown).append("|\n");
	}
	std::snprintf(cell, sizeof cell, "%08zx\n", bytes.size());
	return out + cell;
}

std::string percent_text(uint32_t percent, uint32_t thousandths)
{
	char buf[32];
	std::snprintf(buf, sizeof buf, "%u.%03u", static_cast<unsigned>(percent),
		      static_cast<unsigned>(thousandths % 1000));
	return buf;
}

std::string used_share(uint32_t total_kb, uint32_t free_kb)
{
	if (total_kb == 0)
		return "-";
	// Tenths of a percent, rounded down, in integers.
	const uint64_t tenths = uint64_t(total_kb > free_kb ? total_kb - free_kb : 0) * 1000 / total_kb;
	char buf[32];
	std::snprintf(buf, sizeof buf, "%u.%u %%", unsigned(tenths / 10), unsigned(tenths % 10));
	return buf;
}

} // namespace tqsys
