// The kernel commands: packet filters, 802.1X clients, watchdogs, the
// diagnostic records (black box, kernel trace, reboot record) and the port test.
#include "commands.h"

#include "filter_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace tqsys {
namespace {

// A filter file is a few lines (56 rule bytes, an id, a key); a few hundred
// lines of comments are room enough, and more is not a filter file.
constexpr size_t filter_file_max = 16 * 1024;

json filter_json(const tq_sys_filter_t &f)
{
	return {{"id", f.id}, {"key", f.key}, {"rule", hex_bytes(std::span(f.rule, rule_length(f)))}};
}

// The errno of the call just made, for a refusal that says nothing else.
std::string refused(int err)
{
	return err ? std::string(": ") + std::strerror(err) : "";
}

const char *auth_text(uint32_t state)
{
	return state == 1 ? "authenticated" : state == 2 ? "refused" : "unknown";
}

// Whether `program` is on PATH, as the shell of popen looks for it.
bool on_path(const char *program)
{
	std::istringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : "");
	for (std::string dir; std::getline(dirs, dir, ':');)
		if (access(((dir.empty() ? "." : dir) + "/" + program).c_str(), X_OK) == 0)
			return true;
	return false;
}

} // namespace

int cmd_filter(const args &a)
{
	const std::string op = a.command.substr(7);
	tq_sys_filter_t f{};
	if (op == "get")
		f.key = number(a, 0, 0, UINT32_MAX, "KEY");
	if (op == "del")
		f.id = number(a, 0, 0, UINT32_MAX, "ID");
	if (op == "add") {
		const std::string &path = a.words[0];
		f = parse_filter(read_input(a, path, filter_file_max, "a filter file may hold"),
				 path == "-" ? "stdin" : printable(path));
	}
	device dev(a);
	if (dev.code())
		return dev.code();
	uint32_t count = 0;
	errno = 0;
	if (op == "add") {
		if (tq_syslib_filter_add(&f) != 0)
			return failed(a, "the module refused filter " + std::to_string(f.id) + refused(errno));
		std::cout << "added filter " << f.id << " (key " << hex_word(f.key) << ")\n";
	} else if (op == "del") {
		if (tq_syslib_filter_del(f.id) != 0)
			return failed(a, "the module did not delete filter " + std::to_string(f.id) + refused(errno));
		std::cout << "deleted filter " << f.id << "\n";
	} else if (op == "get") {
		if (tq_syslib_filter_get(&f) != 0)
			return failed(a, "no filter with key " + hex_word(f.key));
		emit(a, filter_json(f), format_filter(f));
	} else if (tq_syslib_filter_get_cnt(&count) != 0) {
		return failed(a, "the module did not give the count");
	} else if (op == "count") {
		emit(a, {{"count", count}}, std::to_string(count) + "\n");
	} else {
		// The capacity travels as count * 64 in 32 bits; far below that,
		// a count this large means a confused module, not a real table.
		count = std::min(count, 1u << 20);
		std::vector<tq_sys_filter_t> rows(std::max(count, 1u));
		uint32_t got = count;
		if (tq_syslib_filter_get_list(rows.data(), &got) != 0)
			return failed(a, "the module did not give the list");
		table t({{"ID", table::right}, {"KEY"}, {"RULE"}});
		json doc = {{"count", std::min(got, count)}, {"filters", json::array()}};
		for (const tq_sys_filter_t &r : std::span(rows).first(std::min(got, count))) {
			const size_t n = rule_length(r);
			t.add({std::to_string(r.id), hex_word(r.key), n ? hex_bytes(std::span(r.rule, n)) : "-"});
			doc["filters"].push_back(filter_json(r));
		}
		emit(a, doc, t.render());
	}
	return exit_ok;
}

// No client list: its three words designate memory in a way only the
// module knows, and a guess would hand the kernel a pointer at random.
int cmd_client(const args &a)
{
	const bool get = a.command == "client get";
	const mac_address mac = get ? parse_mac(a.words[0], "client get: MAC") : mac_address{};
	const uint32_t selector = !get && !a.words.empty() ? number(a, 0, 0, UINT32_MAX, "SELECTOR") : 0;
	device dev(a);
	if (dev.code())
		return dev.code();
	if (!get) {
		uint32_t count = 0;
		if (tq_syslib_mac_get_cnt(selector, &count) != 0)
			return failed(a, "the module did not give the count");
		emit(a, {{"selector", selector}, {"count", count}}, std::to_string(count) + "\n");
		return exit_ok;
	}
	tq_sys_mac_entry_t e{};
	if (tq_syslib_mac_get_one(mac.data(), &e) != 0)
		return failed(a, "no client " + mac_text(mac));
	table t({{""}, {""}});
	t.add({"mac", mac_text(e.mac)});
	t.add({"vlan", std::to_string(e.vlan_id)});
	t.add({"auth", std::string(auth_text(e.auth_state)) + " (" + std::to_string(e.auth_state) + ")"});
	t.add({"auth value", hex_word(e.auth_value)});
	t.add({"ifindex", std::to_string(e.ifindex)});
	t.add({"session", std::to_string(e.session_s) + " s"});
	emit(a, {{"mac", mac_text(e.mac)}, {"vlan", e.vlan_id}, {"auth_state", e.auth_state},
		 {"auth", auth_text(e.auth_state)}, {"auth_value", e.auth_value}, {"ifindex", e.ifindex},
		 {"session_s", e.session_s}},
	     t.render());
	return exit_ok;
}

// Watchdogs, black-box switches and the clearing of the records: one call each.
int cmd_plain(const args &a)
{
	static const std::map<std::string, std::pair<int (*)() noexcept, const char *>> calls = {
		{"swdog enable", {tq_syslib_swdog_enable, "software watchdog enabled"}},
		{"swdog disable", {tq_syslib_swdog_disable, "software watchdog disabled"}},
		{"swdog set", {tq_syslib_swdog_set, "software watchdog set"}},
		{"hwdog activate", {tq_syslib_hwdog_activate, "hardware watchdog activated"}},
		{"hwdog deactivate", {tq_syslib_hwdog_deactivate, "hardware watchdog deactivated"}},
		{"bbox start", {tq_syslib_start_update_bbox_this_time, "black box update started"}},
		{"bbox stop", {tq_syslib_stop_update_bbox_this_time, "black box update stopped"}},
		{"trace clear", {tq_syslib_clear_kernel_trace, "kernel trace cleared"}},
		{"reboot clear", {tq_syslib_clear_reboot_info, "reboot record cleared"}},
	};
	const auto &[call, done] = calls.at(a.command);
	// The hardware watchdog is the board driver's: no control device.
	const bool board = a.command.starts_with("hwdog");
	std::unique_ptr<device> dev;
	if (!board && (dev = std::make_unique<device>(a))->code())
		return dev->code();
	if (int rc = call(); rc != 0) {
		const bool missing = board && access("/dev/board0", F_OK) != 0;
		return failed(a, "the " + std::string(board ? "board driver" : "module") + " refused (" + std::to_string(rc) +
					 ")" + because() +
					 (missing ? ": /dev/board0 is missing; is the board driver (or its stand-in) loaded?" : ""));
	}
	std::cout << done << "\n";
	return exit_ok;
}

// The records' layouts and sizes are the module's, not the library's: each
// is read into a zeroed area of 64 KiB, far more than the largest area any
// command of the module copies (560 bytes), so a larger record still lands
// in our memory.
constexpr size_t record_area = 64 * 1024;

int cmd_record(const args &a)
{
	static const std::map<std::string, int (*)(void *) noexcept> reads = {
		{"bbox info", tq_syslib_get_bbox_info},           {"bbox data", tq_syslib_get_bbox_data},
		{"bbox state", tq_syslib_get_update_bbox_this_time}, {"trace show", tq_syslib_get_kernel_trace},
		{"reboot show", tq_syslib_get_reboot_info}};
	const size_t asked = a.bytes.empty() ? 0 : parse_number(a.bytes, 1, record_area, a.command + ": --bytes");
	device dev(a);
	if (dev.code())
		return dev.code();
	std::vector<uint8_t> area(record_area);
	if (const int rc = reads.at(a.command)(area.data()); rc != 0)
		return failed(a, "the module returned " + std::to_string(rc));
	// Unless asked, up to the last byte the module left that is not zero,
	// in whole lines.
	const auto last = std::find_if(area.rbegin(), area.rend(), [](uint8_t b) { return b != 0; });
	const size_t shown = asked ? asked : std::max<size_t>(16, (size_t(area.rend() - last) + 15) / 16 * 16);
	std::span<const uint8_t> bytes(area.data(), shown);
	emit(a, {{"record", a.command}, {"bytes", hex_bytes(bytes)}}, hex_dump(bytes));
	return exit_ok;
}

int cmd_port(const args &a)
{
	const int port = static_cast<int>(number(a, 0, 1, 65535, "PORT"));
	// Without netstat the pipeline prints nothing, which the library must
	// read as free: an answer that would say nothing.
	if (!on_path("netstat"))
		return failed(a, "netstat cannot be run (not on PATH); without it the library answers free whatever the port");
	const bool in_use = tq_syslib_check_port_valid(port) != 0;
	emit(a, {{"port", port}, {"in_use", in_use}}, "port " + std::to_string(port) + (in_use ? ": in use\n" : ": free\n"));
	return in_use ? exit_no : exit_ok;
}

} // namespace tqsys
