// The handlers of tqsys: each checks what the parser cannot, then calls
// the library and prints the answer as a table or as JSON.
#include "commands.h"

#include "filter_file.h"
#include "tq_runtime.h"
#include "tqsys_module.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tqsys {
namespace {

std::string last_report;

void remember_report(const tqrt_record *rec, void *)
{
	std::string_view text = rec->text ? rec->text : "";
	while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
		text.remove_suffix(1);
	last_report = printable(text);  // one line, whatever bytes a report quotes
}

// The library's report of the failure just seen, in parentheses.
std::string because()
{
	std::string why = last_report.empty() ? "" : " (" + last_report + ")";
	last_report.clear();
	return why;
}

// Found by name: the workstation's runtime and the kernel-module stand-in
// have these calls, the device's runtime has not.
template <class F> F lookup(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

const char *standin_problem()
{
	auto problem = lookup<const char *(*)()>("tqsys_module_problem");
	return problem ? problem() : nullptr;
}

void emit(const args &a, const json &doc, const std::string &text)
{
	std::cout << (a.json ? json_text(doc) + "\n" : text);
}

uint32_t number(const args &a, size_t word, uint64_t min, uint64_t max, const char *what)
{
	return static_cast<uint32_t>(parse_number(a.words.at(word), min, max, a.command + ": " + what));
}

// Holds /dev/tq_sys open for one command, opened only after every check.
class device {
public:
	explicit device(const args &a)
	{
		if (tq_syslib_init() == 0) {
			code_ = exit_ok;
			return;
		}
		// A node that exists but does not open is a matter of rights; a
		// missing one means no module, unless the stand-in says why.
		const char *problem = standin_problem();
		failed(a, "cannot open /dev/tq_sys: " +
				  (problem ? "the kernel-module stand-in is loaded, but its state is unusable: " +
						     std::string(problem)
				   : access("/dev/tq_sys", F_OK) == 0
					   ? std::string("the device exists: run tqsys as root")
					   : std::string("the kernel module is not loaded (on a workstation preload its "
							 "stand-in: LD_PRELOAD=<prefix>/lib/libtqsys_module.so)")));
		last_report.clear();
	}
	~device()
	{
		if (code_ == exit_ok)
			tq_syslib_exit();
	}
	device(const device &) = delete;
	device &operator=(const device &) = delete;
	int code() const { return code_; }

private:
	int code_ = exit_failed;
};

// ---- status, ps ----

// The first four labels of /proc/meminfo, which the library reads by position.
std::vector<std::string> meminfo_labels()
{
	std::ifstream in("/proc/meminfo");
	std::vector<std::string> labels;
	for (std::string line; labels.size() < 4 && std::getline(in, line);)
		labels.push_back(line.substr(0, line.find(':')));
	return labels;
}

// The type of the file system that holds /tmp, from the mount table.
std::string tmp_type()
{
	std::ifstream in("/proc/self/mounts");
	std::string device, point, type, best_point, best = "unknown";
	for (std::string rest; in >> device >> point >> type && std::getline(in, rest);)
		if ((point == "/" || point == "/tmp") && point.size() >= best_point.size())
			best_point = point, best = type;
	return best;
}

// The whole name of a process and the first word of it, which the survey keeps.
std::string status_name(const std::string &pid)
{
	std::ifstream in("/proc/" + pid + "/status");
	std::string line;
	std::getline(in, line);
	return line.starts_with("Name:") ? line.substr(line.find_first_not_of(" \t", 5)) : "";
}

json process_json(const process_row &p)
{
	const tq_mem_proc_info_t &i = p.info;
	return {{"pid", i.pid},           {"name", p.name},           {"processes", p.processes},
		{"rss_kb", i.rss_kb},     {"shared_kb", i.shared_kb}, {"private_kb", i.private_kb},
		{"text_kb", i.text_kb},   {"data_kb", i.data_kb},     {"stack_kb", i.stack_kb},
		{"heap_kb", i.heap_kb},   {"watched", i.watch_flag == 1}};
}

std::string process_table(const std::vector<process_row> &rows, size_t most)
{
	table t({{"PID", table::right}, {"NAME"}, {"PROCS", table::right}, {"RSS", table::right},
		 {"SHARED", table::right}, {"PRIVATE", table::right}, {"TEXT", table::right},
		 {"DATA", table::right}, {"STACK", table::right}, {"HEAP", table::right}, {"WATCH"}});
	for (const process_row &p : std::span(rows).first(std::min(most, rows.size()))) {
		const tq_mem_proc_info_t &i = p.info;
		t.add({std::to_string(i.pid), printable(p.name), std::to_string(p.processes), std::to_string(i.rss_kb),
		       std::to_string(i.shared_kb), std::to_string(i.private_kb), std::to_string(i.text_kb),
		       std::to_string(i.data_kb), std::to_string(i.stack_kb), std::to_string(i.heap_kb),
		       i.watch_flag == 1 ? "yes" : i.watch_flag == 2 ? "no" : "-"});
	}
	return t.render("  ");
}

constexpr const char *per_name_note =
	"  one row per process name (the survey keeps one record per name); PROCS: processes of that name\n";
constexpr const char *full_note = "  more process names run than the survey holds (128); these are the first 128\n";

int cmd_status(const args &a)
{
	json doc = json::object(), problems = json::array();
	std::string text = "memory (KiB)\n";
	auto problem = [&](const std::string &part, const std::string &why) {
		text.append("  unavailable: ").append(why).append("\n");
		problems.push_back(part + ": " + why);
	};
	table mem({{""}, {"", table::right}});
	std::string notes;
	if (!memory_summary(mem, notes, doc["memory"]))
		problem("memory", "cannot read /proc/meminfo" + because());
	text += mem.render("  ") + notes;

	text += "\nfile systems (KiB)\n";
	std::vector<std::string> paths = {"/", "/tmp"};
	paths.insert(paths.end(), a.words.begin(), a.words.end());
	table fs({{"PATH"}, {"TOTAL", table::right}, {"FREE", table::right}, {"USED", table::right}});
	doc["filesystems"] = json::array();
	for (const std::string &p : paths) {
		uint32_t total = 0, free = 0;
		const bool ok = tq_mem_get_fs_info(p.c_str(), &total, &free) == 0;
		doc["filesystems"].push_back({{"path", p}, {"total_kb", ok ? json(total) : json()},
					      {"free_kb", ok ? json(free) : json()}});
		if (ok)
			fs.add({printable(p), std::to_string(total), std::to_string(free), used_share(total, free)});
		else
			problems.push_back("filesystems: cannot read " + p + because()), fs.add({printable(p), "-", "-", "-"});
	}
	text += fs.render("  ");

	uint32_t percent = 0, thousandths = 0;
	if (tq_sys_get_cpu_total_utilize(&percent, &thousandths) == 0) {
		text += "\ncpu    " + percent_text(percent, thousandths) + " %\n";
		doc["cpu"] = {{"percent", percent}, {"thousandths", thousandths}, {"text", percent_text(percent, thousandths)}};
	} else {
		text += "\ncpu\n", doc["cpu"] = nullptr;
		problem("cpu", "cannot read /proc/stat" + because());
	}
	const bool ready = tq_sys_ready() == 1;
	text += std::string("ready  ") + (ready ? "yes (/tmp/pm_cli_ready present)\n" : "no (/tmp/pm_cli_ready absent)\n");
	doc["ready"] = ready;

	text += "\nlargest processes (KiB)\n";
	survey s = take_survey();
	doc["processes"] = json::array();
	if (!s.ok) {
		problem("processes", "cannot survey /proc" + because());
	} else {
		text += process_table(s.rows, 10) + per_name_note + (s.complete ? "" : full_note);
		for (const process_row &p : std::span(s.rows).first(std::min<size_t>(10, s.rows.size())))
			doc["processes"].push_back(process_json(p));
	}
	doc["survey_complete"] = s.complete;
	doc["problems"] = problems;
	emit(a, doc, text);
	return problems.empty() ? exit_ok : exit_failed;
}

int cmd_ps(const args &a)
{
	survey s = take_survey();
	if (!s.ok)
		return failed(a, "cannot survey /proc");
	std::erase_if(s.rows, [&](const process_row &p) { return a.watched && p.info.watch_flag != 1; });
	json doc = {{"processes", json::array()}, {"survey_complete", s.complete}};
	for (const process_row &p : s.rows)
		doc["processes"].push_back(process_json(p));
	emit(a, doc, process_table(s.rows, s.rows.size()) + per_name_note + (s.complete ? "" : full_note));
	return exit_ok;
}

// ---- match, pidfile, monitor, port ----

int cmd_match(const args &a)
{
	const bool listed = !a.list.empty();
	if (listed == (a.words.size() == 2))
		throw usage_error("match: give either PATTERN or --list LIST");
	if (!listed && (a.all || a.invert))
		throw usage_error("match: --all and --invert go with --list");
	const std::string &text = a.words[0];
	const int case_sensitive = a.ignore_case ? 0 : 1;
	json doc = {{"text", text}};
	int hit;
	if (listed) {
		hit = tq_multimatching(text.c_str(), a.list.c_str(), a.all, a.invert, case_sensitive);
		doc["list"] = a.list, doc["all"] = a.all, doc["invert"] = a.invert;
	} else {
		hit = tq_matchingstring(text.c_str(), a.words[1].c_str(), case_sensitive);
		doc["pattern"] = a.words[1];
	}
	doc["ignore_case"] = a.ignore_case, doc["match"] = hit == 1;
	emit(a, doc, hit == 1 ? "match\n" : "no match\n");
	return hit == 1 ? exit_ok : exit_no;
}

int cmd_pidfile(const args &a)
{
	const std::string &path = a.words[0];
	const int pid = tq_read_pid_file(path.c_str());
	// The library takes the number as the platform's atoi does; a number
	// too large for a pid comes back wrapped, so look at it here.
	std::ifstream in(path);
	std::string digits;
	in >> digits;
	if (pid > 0 && digits.find_first_not_of("0123456789") == std::string::npos &&
	    (digits.size() > 10 || std::stoull(digits) > INT_MAX))
		return failed(a, "the number in " + path + " (" + digits + ") is too large for a pid");
	if (pid <= 0)
		return failed(a, "no valid pid in " + path);
	emit(a, {{"path", path}, {"pid", pid}}, std::to_string(pid) + "\n");
	return exit_ok;
}

int cmd_monitor(const args &a)
{
	if (access("/etc/monitor.conf", F_OK) != 0)
		return failed(a, "/etc/monitor.conf is missing (the library reads that as an all-zero configuration)");
	tq_monitor_cfg_t cfg{};
	if (tq_monitor_read_config(&cfg, sizeof cfg) != 0)
		return failed(a, "cannot read /etc/monitor.conf");
	uint32_t first = 0, last = TQ_MAX_GROUP_NUM - 1;
	if (!a.words.empty())
		first = last = number(a, 0, 0, TQ_MAX_GROUP_NUM - 1, "GROUP");
	table t({{"GROUP", table::right}, {"NAME"}, {"ENABLED"}, {"INTERVAL", table::right},
		 {"THRESHOLD", table::right}, {"ACTION", table::right}, {"STATUS"}});
	json groups = json::array();
	for (uint32_t i = first; i <= last; ++i) {
		const tq_monitor_group_cfg_t &g = cfg.groups[i];
		int x = 0, y = 0;
		const bool have = tq_monitor_get_group_status(i, &x, &y) == 0;
		const std::string name(g.name, strnlen(g.name, sizeof g.name));
		t.add({std::to_string(i), name.empty() ? "-" : printable(name), g.enabled ? "yes" : "no",
		       std::to_string(g.interval_s) + " s", std::to_string(g.threshold), std::to_string(g.action),
		       have ? std::to_string(x) + " " + std::to_string(y) : "-"});
		groups.push_back({{"group", i}, {"name", name}, {"enabled", g.enabled}, {"interval_s", g.interval_s},
				  {"threshold", g.threshold}, {"action", g.action},
				  {"status", have ? json::array({x, y}) : json()}});
	}
	emit(a, {{"magic", cfg.magic}, {"version", cfg.version}, {"groups", groups}},
	     "monitor configuration (/etc/monitor.conf, status from /etc/monitor_status.conf)\n  magic    " +
		     hex_word(cfg.magic) + "\n  version  " + std::to_string(cfg.version) + "\n\n" + t.render("  "));
	return exit_ok;
}

int cmd_port(const args &a)
{
	const int port = static_cast<int>(number(a, 0, 1, 65535, "PORT"));
	const bool in_use = tq_syslib_check_port_valid(port) != 0;
	emit(a, {{"port", port}, {"in_use", in_use}}, "port " + std::to_string(port) + (in_use ? ": in use\n" : ": free\n"));
	return in_use ? exit_no : exit_ok;
}

// ---- packet filters ----

// The whole of a command's input file, or of stdin for "-"; a directory
// or a file that cannot be read is bad input.
std::string read_input(const args &a, const std::string &path, const char *what)
{
	struct stat st;
	if (path != "-" && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
		throw usage_error(a.command + ": " + printable(path) + " is a directory, not " + what);
	std::ifstream in(path, std::ios::binary);
	if (path != "-" && !in)
		throw usage_error(a.command + ": cannot read " + printable(path) + ": " + std::strerror(errno));
	std::ostringstream text;
	text << (path == "-" ? std::cin.rdbuf() : in.rdbuf());
	return text.str();
}

json filter_json(const tq_sys_filter_t &f)
{
	return {{"id", f.id}, {"key", f.key}, {"rule", hex_bytes(std::span(f.rule, rule_length(f)))}};
}

// The errno of the call just made, for a refusal that says nothing else.
std::string refused(int err)
{
	return err ? std::string(": ") + std::strerror(err) : "";
}

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
		f = parse_filter(read_input(a, path, "a filter file"), path == "-" ? "stdin" : printable(path));
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

// ---- 802.1X clients ----

const char *auth_text(uint32_t state)
{
	return state == 1 ? "authenticated" : state == 2 ? "refused" : "unknown";
}

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

// ---- watchdogs and black box: one call each ----

int cmd_plain(const args &a)
{
	static const struct {
		const char *path;
		int (*fn)() noexcept;
		const char *done;
	} calls[] = {
		{"swdog enable", tq_syslib_swdog_enable, "software watchdog enabled"},
		{"swdog disable", tq_syslib_swdog_disable, "software watchdog disabled"},
		{"swdog set", tq_syslib_swdog_set, "software watchdog set"},
		{"hwdog activate", tq_syslib_hwdog_activate, "hardware watchdog activated"},
		{"hwdog deactivate", tq_syslib_hwdog_deactivate, "hardware watchdog deactivated"},
		{"bbox start", tq_syslib_start_update_bbox_this_time, "black box update started"},
		{"bbox stop", tq_syslib_stop_update_bbox_this_time, "black box update stopped"},
	};
	const auto *c = std::find_if(std::begin(calls), std::end(calls), [&](auto &c) { return a.command == c.path; });
	// The hardware watchdog is the board driver's: no control device.
	std::unique_ptr<device> dev;
	if (!a.command.starts_with("hwdog") && (dev = std::make_unique<device>(a))->code())
		return dev->code();
	if (int rc = c->fn(); rc != 0) {
		const bool board = a.command.starts_with("hwdog") && access("/dev/board0", F_OK) != 0;
		return failed(a, "the " + std::string(board ? "board driver" : "module") + " refused (" +
					 std::to_string(rc) + ")" + because() +
					 (board ? ": /dev/board0 is missing; is the board driver (or its stand-in) loaded?"
						: ""));
	}
	std::cout << c->done << "\n";
	return exit_ok;
}

// The black-box records belong to the kernel module and their size is not
// ours to know: the module gets a zeroed area far larger than any of them.
constexpr size_t record_area = 64 * 1024;

int cmd_record(const args &a)
{
	const size_t shown = a.bytes.empty() ? 64 : parse_number(a.bytes, 1, record_area, a.command + ": --bytes");
	device dev(a);
	if (dev.code())
		return dev.code();
	std::vector<uint8_t> area(record_area);
	const std::string which = a.command.substr(5);
	const int rc = which == "info"   ? tq_syslib_get_bbox_info(area.data())
		       : which == "data" ? tq_syslib_get_bbox_data(area.data())
					 : tq_syslib_get_update_bbox_this_time(area.data());
	if (rc != 0)
		return failed(a, "the module returned " + std::to_string(rc));
	std::span<const uint8_t> bytes(area.data(), shown);
	std::string text;
	for (size_t at = 0; at < bytes.size(); at += 16) {
		char offset[24];
		std::snprintf(offset, sizeof offset, "%04zx ", at);
		text += offset;
		for (uint8_t b : bytes.subspan(at, std::min<size_t>(16, bytes.size() - at)))
			text.append(" ").append(hex_bytes(std::span(&b, 1)));
		text += "\n";
	}
	emit(a, {{"record", which}, {"bytes", hex_bytes(bytes)}}, text);
	return exit_ok;
}

// ---- the stand-in's own state, seeded and inspected from the shell ----

int module_call(const args &a, const char *fn, int rc, const std::string &done)
{
	if (rc != 0) {
		const char *problem = standin_problem();
		return failed(a, std::string(fn) + " failed: " + (problem ? problem : std::strerror(errno)));
	}
	std::cout << done << "\n";
	return exit_ok;
}

int cmd_module(const args &a)
{
	const std::string op = a.command.substr(7);
	if (!lookup<void *>("tqsys_module_problem"))
		return failed(a, "the kernel-module stand-in is not loaded (preload it: "
				 "LD_PRELOAD=<prefix>/lib/libtqsys_module.so)");
	if (op == "reset")
		return module_call(a, "reset", lookup<int (*)()>("tqsys_module_reset")(),
				   "every table of the stand-in emptied");
	if (op == "trace") {
		std::string text;
		for (const std::string &w : a.words)
			text.append(text.empty() ? "" : " ").append(w);
		return module_call(a, "trace", lookup<int (*)(const char *)>("tqsys_module_set_kernel_trace")(
						       (text + "\n").c_str()),
				   "kernel trace set");
	}
	if (op == "reboot") {
		const uint32_t reason = number(a, 0, 0, UINT32_MAX, "REASON");
		return module_call(a, "reboot", lookup<int (*)(uint32_t, const char *)>("tqsys_module_set_reboot_info")(
							reason, a.words.size() > 1 ? a.words[1].c_str() : ""),
				   "reboot record stored");
	}
	if (op == "bbox") {
		const std::string d = read_input(a, a.words[0], "a data file");
		if (d.size() > TQSYS_BBOX_DATA_MAX)
			throw usage_error("module bbox: " + std::to_string(d.size()) + " bytes, at most " +
					  std::to_string(TQSYS_BBOX_DATA_MAX) + " fit the black box");
		return module_call(a, "bbox", lookup<int (*)(const void *, uint32_t)>("tqsys_module_set_bbox_data")(
						      d.data(), static_cast<uint32_t>(d.size())),
				   "black-box data set (" + std::to_string(d.size()) + " bytes)");
	}
	if (op.starts_with("client")) {
		const mac_address mac = parse_mac(a.words[0], a.command + ": MAC");
		if (op == "client del")
			return module_call(a, "client del", lookup<int (*)(const uint8_t *)>("tqsys_module_drop_client")(mac.data()),
					   "client " + mac_text(mac) + " removed");
		tq_sys_mac_entry_t e{};
		std::copy(mac.begin(), mac.end(), e.mac);
		e.auth_state = static_cast<uint32_t>(parse_number(a.auth, 0, 2, "module client add: --auth"));
		e.vlan_id = static_cast<uint16_t>(parse_number(a.vlan, 0, 4095, "module client add: --vlan"));
		e.auth_value = static_cast<uint32_t>(parse_number(a.value, 0, UINT32_MAX, "module client add: --value"));
		e.ifindex = static_cast<int32_t>(parse_number(a.ifindex, 0, INT32_MAX, "module client add: --ifindex"));
		return module_call(a, "client add", lookup<int (*)(const tq_sys_mac_entry_t *)>("tqsys_module_put_client")(&e),
				   "client " + mac_text(mac) + " put in the table");
	}
	const char *problem = standin_problem(), *dir = lookup<const char *(*)()>("tqsys_module_state_dir")();
	tqsys_status st{};
	if (problem || lookup<int (*)(tqsys_status *)>("tqsys_module_status")(&st) != 0)
		return failed(a, std::string("the state in ") + dir + " is unusable: " +
					 (problem ? problem : std::strerror(errno)));
	table t({{""}, {""}});
	json doc = {{"state_dir", dir}, {"usable", true}};
	t.add({"state", dir}), t.add({"usable", "yes"});
	const std::pair<const char *, uint32_t> words[] = {
		{"swdog_enabled", st.swdog_enabled}, {"swdog_sets", st.swdog_sets},   {"admin_uid_set", st.admin_uid_set},
		{"admin_uid", st.admin_uid},         {"hwdog_active", st.hwdog_active}, {"hwdog_changes", st.hwdog_changes},
		{"clients", st.clients},             {"mlme_messages", st.mlme_messages}, {"crash_tests", st.crash_tests},
		{"bbox_updating", st.bbox_updating}, {"cm_status", st.cm_status}};
	for (const auto &[name, v] : words) {
		std::string label = name;
		std::replace(label.begin(), label.end(), '_', ' ');
		t.add({label, std::to_string(v)}), doc[name] = v;
	}
	emit(a, doc, t.render());
	return exit_ok;
}

} // namespace

int failed(const args &a, const std::string &what)
{
	std::fprintf(stderr, "tqsys: %s: %s%s\n", a.command.c_str(), what.c_str(), because().c_str());
	return exit_failed;
}

bool memory_summary(table &t, std::string &notes, json &doc)
{
	tq_mem_system_info_t mem{};
	if (tq_mem_get_system_memory(&mem) != 0)
		return doc = nullptr, false;
	// The library takes the first four lines by position, as the device's
	// kernel orders them; each figure is shown under its line's own label.
	static const std::vector<std::string> device_order = {"MemTotal", "MemFree", "Buffers", "Cached"};
	std::vector<std::string> labels = meminfo_labels();
	labels.resize(4, "?");
	const uint32_t figures[] = {mem.total_kb, mem.free_kb, mem.buffers_kb, mem.cached_kb};
	doc = {{"figures", json::array()}, {"device_order", labels == device_order}};
	for (int i = 0; i < 4; ++i) {
		t.add({printable(labels[i]), std::to_string(figures[i])});
		doc["figures"].push_back({{"label", labels[i]}, {"kb", figures[i]}});
	}
	const std::string type = tmp_type();
	doc["tmp_type"] = type;
	const bool tmpfs = type == "tmpfs", whole = tmpfs && labels == device_order;
	if (tmpfs)
		t.add({"tmpfs used (/tmp)", std::to_string(mem.tmpfs_used_kb)});
	if (whole)
		t.add({"available", std::to_string(mem.available_kb)});
	doc["tmpfs_used_kb"] = tmpfs ? json(mem.tmpfs_used_kb) : json();
	doc["available_kb"] = whole ? json(mem.available_kb) : json();
	if (labels != device_order)
		notes += "  note: lines 1 to 4 of this kernel's /proc/meminfo are not the device's MemTotal, MemFree,\n"
			 "  Buffers, Cached: the library reads them by position, so \"available\" is not shown\n";
	if (!tmpfs)
		notes += "  note: /tmp is " + type + ", not a tmpfs: its use is disk, not memory, and is not shown\n";
	return true;
}

survey take_survey()
{
	survey s;
	auto list = std::make_unique<tq_mem_proc_info_list_t>();
	const int rc = tq_mem_get_proc_info_list(list.get());
	const int n = std::clamp(list->count, 0, TQ_MEM_PROC_LIST_MAX);
	// A full list comes back unsorted; the 128 it has are still worth showing.
	s.ok = rc == 0 || n == TQ_MEM_PROC_LIST_MAX;
	s.complete = rc == 0;
	// Each process's whole name, and how many processes carry each name the
	// survey keeps (its first word).
	std::map<int, std::string> whole;
	std::map<std::string, int> named;
	if (DIR *proc = opendir("/proc")) {
		while (const dirent *e = readdir(proc))
			if (std::isdigit(static_cast<unsigned char>(e->d_name[0])))
				if (const std::string name = status_name(e->d_name); !name.empty())
					++named[name.substr(0, name.find_first_of(" \t"))], whole[std::atoi(e->d_name)] = name;
		closedir(proc);
	}
	for (const tq_mem_proc_info_t &r : std::span(list->records, n)) {
		std::string name = whole[r.pid];
		if (name.empty() || !name.starts_with(field_text(r.name)))
			name = field_text(r.name);  // gone, or another process by now
		s.rows.push_back({r, name, std::max(1, named[field_text(r.name)])});
	}
	std::stable_sort(s.rows.begin(), s.rows.end(), [](auto &x, auto &y) { return x.info.rss_kb > y.info.rss_kb; });
	return s;
}

handler find_handler(const std::string &path)
{
	static const std::map<std::string, handler> handlers = {
		{"status", cmd_status},	       {"ps", cmd_ps},		       {"top", cmd_top},
		{"match", cmd_match},	       {"pidfile", cmd_pidfile},       {"monitor", cmd_monitor},
		{"port", cmd_port},	       {"client count", cmd_client},   {"client get", cmd_client},
		{"bbox info", cmd_record},     {"bbox data", cmd_record},      {"bbox state", cmd_record}};
	if (auto it = handlers.find(path); it != handlers.end())
		return it->second;
	return path.starts_with("filter ")   ? cmd_filter
	       : path.starts_with("module ") ? cmd_module
	       : path.starts_with("swdog ") || path.starts_with("hwdog ") || path.starts_with("bbox ") ? cmd_plain
												    : nullptr;
}

void capture_library_reports()
{
	auto quiet = lookup<void (*)(int)>("tqrt_set_quiet");
	auto observe = lookup<void (*)(tqrt_observer_fn, void *)>("tqrt_set_observer");
	if (quiet && observe)
		quiet(1), observe(remember_report, nullptr);
}

} // namespace tqsys
