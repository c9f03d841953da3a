#include "format.h"

#include <algorithm>
#include <cstdio>

namespace tqsys {

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
			if (c)
				l += "  ";
			l += columns_[c].how == right ? pad + cell : cell + pad;
		}
		l.erase(l.find_last_not_of(' ') + 1);
		out += l + "\n";
	};
	// A table of untitled columns is a list of "name  value" lines.
	bool titled = std::any_of(columns_.begin(), columns_.end(),
				  [](const column &c) { return !c.title.empty(); });
	if (titled)
		line([&](size_t c) -> const std::string & { return columns_[c].title; });
	for (const auto &row : rows_)
		line([&](size_t c) -> const std::string & { return row[c]; });
	return out;
}

json &json::set(std::string key, json value)
{
	std::get<object>(v_).emplace_back(std::move(key), std::move(value));
	return *this;
}

json &json::push(json value)
{
	std::get<array>(v_).push_back(std::move(value));
	return *this;
}

std::string json::dump() const
{
	std::string out;
	write(out);
	return out;
}

void json::write(std::string &out) const
{
	struct visitor {
		std::string &out;
		void operator()(std::nullptr_t) { out += "null"; }
		void operator()(bool b) { out += b ? "true" : "false"; }
		void operator()(int64_t v) { out += std::to_string(v); }
		void operator()(uint64_t v) { out += std::to_string(v); }
		void operator()(const std::string &s) { out += json_quote(s); }
		void operator()(const array &a)
		{
			out += '[';
			for (size_t i = 0; i < a.size(); ++i) {
				if (i)
					out += ',';
				a[i].write(out);
			}
			out += ']';
		}
		void operator()(const object &o)
		{
			out += '{';
			for (size_t i = 0; i < o.size(); ++i) {
				if (i)
					out += ',';
				out += json_quote(o[i].first) + ':';
				o[i].second.write(out);
			}
			out += '}';
		}
	};
	std::visit(visitor{out}, v_);
}

std::string json_quote(std::string_view s)
{
	std::string out = "\"";
	for (unsigned char ch : s) {
		switch (ch) {
		case '"': out += "\\\""; break;
		case '\\': out += "\\\\"; break;
		case '\n': out += "\\n"; break;
		case '\t': out += "\\t"; break;
		default:
			if (ch < 0x20 || ch >= 0x7f) {
				char buf[8];
				std::snprintf(buf, sizeof buf, "\\u%04x", ch);
				out += buf;
			} else {
				out += static_cast<char>(ch);
			}
		}
	}
	return out + "\"";
}

std::string hex_bytes(std::span<const uint8_t> bytes)
{
	static constexpr char digits[] = "0123456789abcdef";
	std::string out;
	out.reserve(bytes.size() * 2);
	for (uint8_t b : bytes) {
		out += digits[b >> 4];
		out += digits[b & 15];
	}
	return out;
}

std::string mac_text(std::span<const uint8_t, 6> mac)
{
	char buf[18];
	std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
		      mac[3], mac[4], mac[5]);
	return buf;
}

std::string hex_word(uint32_t v)
{
	char buf[11];
	std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(v));
	return buf;
}

std::string field_text(std::span<const char> field)
{
	std::string out;
	for (char ch : field) {
		if (ch == '\0')
			break;
		auto u = static_cast<unsigned char>(ch);
		out += (u < 0x20 || u == 0x7f) ? '?' : ch;
	}
	return out;
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
	uint64_t used = total_kb > free_kb ? total_kb - free_kb : 0;
	// Tenths of a percent, rounded down, in integers: no float formatting.
	uint64_t tenths = used * 1000 / total_kb;
	char buf[32];
	std::snprintf(buf, sizeof buf, "%u.%u %%", static_cast<unsigned>(tenths / 10),
		      static_cast<unsigned>(tenths % 10));
	return buf;
}

} // namespace tqsys
