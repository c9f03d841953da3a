// The handlers of tqsys: each checks what the parser cannot, then calls
// the library and prints the answer as a table or as JSON.
#include "commands.h"

#include "filter_file.h"
#include "format.h"
#include "library.h"
#include "tq_runtime.h"
#include "tqsys_module.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace tqsys {
namespace {

std::string last_report;

void remember_report(const tqrt_record *rec, void *)
{
	std::string_view text = rec->text ? rec->text : "";
	while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
		text.remove_suffix(1);
	// A report may quote a file's bytes; the user still gets one line.
	last_report.clear();
	for (char ch : text) {
		if (ch == '\n')
			last_report += "\\n";
		else
			last_report += static_cast<unsigned char>(ch) < 0x20 ? '?' : ch;
	}
}

int failed(const invocation &inv, const std::string &what)
{
	std::string line = "tqsys: " + std::string(inv.command->path) + ": " + what;
	if (!last_report.empty())
		line += " (" + last_report + ")";
	std::fprintf(stderr, "%s\n", line.c_str());
	return exit_failed;
}

int unavailable(const invocation &inv, std::string_view fn)
{
	std::fprintf(stderr, "tqsys: %.*s: this libsyslib does not provide %.*s\n",
		     static_cast<int>(inv.command->path.size()), inv.command->path.data(),
		     static_cast<int>(fn.size()), fn.data());
	return exit_unavailable;
}

#define REQUIRE(inv, fn)                                \
	do {                                            \
		if (!TQSYS_HAVE(fn))                    \
			return unavailable(inv, #fn);   \
	} while (0)

// The kernel-module stand-in, when this process has it (preloaded): found
// by name, as the device's tqsys runs without one.
template <class F> F standin(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

// Why the stand-in cannot serve, or null when it can (or is absent).
const char *standin_problem()
{
	auto problem = standin<const char *(*)()>("tqsys_module_problem");
	return problem ? problem() : nullptr;
}

void emit(const invocation &inv, const json &doc, const std::string &text)
{
	if (inv.flag("json"))
		std::cout << doc.dump() << "\n";
	else
		std::cout << text;
}

// Holds /dev/tq_sys open for one command. Opened only after every
// argument and input file passed its checks.
class device {
public:
	explicit device(const invocation &inv)
	{
		if (!TQSYS_HAVE(tq_syslib_init)) {
			code_ = unavailable(inv, "tq_syslib_init");
			return;
		}
		if (tq_syslib_init() == 0) {
			open_ = true;
			return;
		}
		// A device node that exists but does not open is a matter of
		// rights; a missing one means no module (or no stand-in), unless
		// the stand-in is there and says why it cannot serve.
		const char *problem = standin_problem();
		const std::string remedy =
			problem ? std::string("the kernel-module stand-in is loaded, but its state "
					      "is unusable: ") + problem
			: access("/dev/tq_sys", F_OK) == 0
				? "the device exists: run tqsys as root"
				: "the kernel module is not loaded (on a workstation preload its "
				  "stand-in: LD_PRELOAD=<prefix>/lib/libtqsys_module.so)";
		std::fprintf(stderr, "tqsys: %.*s: cannot open /dev/tq_sys: %s\n",
			     static_cast<int>(inv.command->path.size()), inv.command->path.data(),
			     remedy.c_str());
		code_ = exit_failed;
	}
	~device()
	{
		if (open_ && TQSYS_HAVE(tq_syslib_exit))
			tq_syslib_exit();
	}
	device(const device &) = delete;
	device &operator=(const device &) = delete;

	explicit operator bool() const { return open_; }
	int code() const { return code_; }

private:
	bool open_ = false;
	int code_ = exit_ok;
};

std::string kb(uint32_t v)
{
	return std::to_string(v);
}

// ---- status and ps ----

const char *watch_text(uint8_t flag)
{
	return flag == 1 ? "yes" : flag == 2 ? "no" : "-";
}

struct survey {
	std::unique_ptr<tq_mem_proc_info_list_t> list = std::make_unique<tq_mem_proc_info_list_t>();
	bool ok = false;
	bool complete = false;
};

survey take_survey()
{
	survey s;
	*s.list = {};
	int rc = tq_mem_get_proc_info_list(s.list.get());
	int n = std::clamp(s.list->count, 0, TQ_MEM_PROC_LIST_MAX);
	// A full list comes back unsorted when more names run than it holds;
	// the 128 it has are still worth showing, largest first.
	s.ok = rc == 0 || n == TQ_MEM_PROC_LIST_MAX;
	s.complete = rc == 0;
	s.list->count = n;
	std::stable_sort(s.list->records, s.list->records + n,
			 [](const auto &a, const auto &b) { return a.rss_kb > b.rss_kb; });
	return s;
}

table process_table()
{
	return table({{"PID", table::right}, {"NAME"}, {"RSS", table::right},
		      {"SHARED", table::right}, {"PRIVATE", table::right},
		      {"TEXT", table::right}, {"DATA", table::right}, {"STACK", table::right},
		      {"HEAP", table::right}, {"WATCH"}});
}

void add_process(table &t, json &arr, const tq_mem_proc_info_t &p)
{
	std::string name = field_text(p.name);
	t.add({std::to_string(p.pid), name, kb(p.rss_kb), kb(p.shared_kb), kb(p.private_kb),
	       kb(p.text_kb), kb(p.data_kb), kb(p.stack_kb), kb(p.heap_kb),
	       watch_text(p.watch_flag)});
	arr.push(json::obj({{"pid", p.pid}, {"name", name}, {"rss_kb", p.rss_kb},
			    {"shared_kb", p.shared_kb}, {"private_kb", p.private_kb},
			    {"text_kb", p.text_kb}, {"data_kb", p.data_kb},
			    {"stack_kb", p.stack_kb}, {"heap_kb", p.heap_kb},
			    {"watched", p.watch_flag == 1}}));
}

constexpr std::string_view survey_note =
	"more process names run than the survey holds (128); these are the first 128";

int cmd_status(const invocation &inv)
{
	json doc = json::obj({});
	json problems = json::array{};
	int problem_count = 0;
	std::string text;
	auto note_problem = [&](std::string line) {
		problems.push(std::move(line));
		++problem_count;
	};
	auto problem = [&](std::string part, std::string why) {
		text += "  unavailable: " + why + "\n";
		note_problem(part + ": " + why);
		doc.set(part, nullptr);
	};
	auto missing = [](std::string_view fn) {
		return "this libsyslib does not provide " + std::string(fn);
	};
	auto failure = [](std::string_view what) {
		std::string why(what);
		if (!last_report.empty())
			why += " (" + last_report + ")";
		last_report.clear();
		return why;
	};

	text += "memory (KiB)\n";
	tq_mem_system_info_t mem{};
	if (!TQSYS_HAVE(tq_mem_get_system_memory)) {
		problem("memory", missing("tq_mem_get_system_memory"));
	} else if (tq_mem_get_system_memory(&mem) != 0) {
		problem("memory", failure("cannot read /proc/meminfo"));
	} else {
		table t({{""}, {"", table::right}});
		t.add({"total", kb(mem.total_kb)});
		t.add({"free", kb(mem.free_kb)});
		t.add({"buffers", kb(mem.buffers_kb)});
		t.add({"cached", kb(mem.cached_kb)});
		t.add({"tmpfs used", kb(mem.tmpfs_used_kb)});
		t.add({"available", kb(mem.available_kb)});
		text += t.render("  ");
		doc.set("memory", json::obj({{"total_kb", mem.total_kb}, {"free_kb", mem.free_kb},
					     {"buffers_kb", mem.buffers_kb},
					     {"cached_kb", mem.cached_kb},
					     {"tmpfs_used_kb", mem.tmpfs_used_kb},
					     {"available_kb", mem.available_kb}}));
	}

	text += "\nfile systems (KiB)\n";
	std::vector<std::string> paths = {"/", "/tmp"};
	for (const std::string &p : inv.words("PATH"))
		paths.push_back(p);
	if (!TQSYS_HAVE(tq_mem_get_fs_info)) {
		problem("filesystems", missing("tq_mem_get_fs_info"));
	} else {
		table t({{"PATH"}, {"TOTAL", table::right}, {"FREE", table::right},
			 {"USED", table::right}});
		json fs = json::array{};
		std::string notes;
		for (const std::string &p : paths) {
			uint32_t total = 0, free = 0;
			if (tq_mem_get_fs_info(p.c_str(), &total, &free) != 0) {
				std::string why = failure("cannot read " + p);
				notes += "  unavailable: " + why + "\n";
				note_problem("filesystems: " + why);
				continue;
			}
			t.add({p, kb(total), kb(free), used_share(total, free)});
			fs.push(json::obj({{"path", p}, {"total_kb", total}, {"free_kb", free}}));
		}
		text += t.render("  ") + notes;
		doc.set("filesystems", std::move(fs));
	}

	text += "\n";
	if (!TQSYS_HAVE(tq_sys_get_cpu_total_utilize)) {
		text += "cpu\n";
		problem("cpu", missing("tq_sys_get_cpu_total_utilize"));
	} else {
		uint32_t percent = 0, thousandths = 0;
		if (tq_sys_get_cpu_total_utilize(&percent, &thousandths) != 0) {
			text += "cpu\n";
			problem("cpu", failure("cannot read /proc/stat"));
		} else {
			text += "cpu    " + percent_text(percent, thousandths) + " %\n";
			doc.set("cpu", json::obj({{"percent", percent},
						  {"thousandths", thousandths},
						  {"text", percent_text(percent, thousandths)}}));
		}
	}

	if (!TQSYS_HAVE(tq_sys_ready)) {
		text += "ready\n";
		problem("ready", missing("tq_sys_ready"));
	} else {
		bool ready = tq_sys_ready() == 1;
		text += std::string("ready  ") + (ready ? "yes" : "no") + " (/tmp/pm_cli_ready " +
			(ready ? "present" : "absent") + ")\n";
		doc.set("ready", ready);
	}

	text += "\nlargest processes (KiB)\n";
	if (!TQSYS_HAVE(tq_mem_get_proc_info_list)) {
		problem("processes", missing("tq_mem_get_proc_info_list"));
	} else if (survey s = take_survey(); !s.ok) {
		problem("processes", failure("cannot survey /proc"));
	} else {
		table t = process_table();
		json arr = json::array{};
		for (int i = 0; i < std::min(s.list->count, 10); ++i)
			add_process(t, arr, s.list->records[i]);
		text += t.render("  ");
		if (!s.complete)
			text += "  note: " + std::string(survey_note) + "\n";
		doc.set("processes", std::move(arr));
		doc.set("survey_complete", s.complete);
	}

	doc.set("problems", problems);
	emit(inv, doc, text);
	return problem_count ? exit_failed : exit_ok;
}

int cmd_ps(const invocation &inv)
{
	REQUIRE(inv, tq_mem_get_proc_info_list);
	survey s = take_survey();
	if (!s.ok)
		return failed(inv, "cannot survey /proc");
	bool watched_only = inv.flag("watched");
	table t = process_table();
	json arr = json::array{};
	for (int i = 0; i < s.list->count; ++i)
		if (!watched_only || s.list->records[i].watch_flag == 1)
			add_process(t, arr, s.list->records[i]);
	std::string text = t.render();
	if (!s.complete)
		text += "note: " + std::string(survey_note) + "\n";
	emit(inv, json::obj({{"processes", std::move(arr)}, {"survey_complete", s.complete}}),
	     text);
	return exit_ok;
}

// ---- match, pidfile, monitor, port ----

int cmd_match(const invocation &inv)
{
	bool listed = inv.has("list");
	if (listed == inv.has("PATTERN"))
		throw usage_error("match: give either PATTERN or --list LIST");
	if (!listed && (inv.flag("all") || inv.flag("invert")))
		throw usage_error("match: --all and --invert go with --list");
	const std::string &text = inv.text("TEXT");
	int case_sensitive = inv.flag("ignore-case") ? 0 : 1;
	int hit;
	json doc = json::obj({{"text", text}});
	if (listed) {
		REQUIRE(inv, tq_multimatching);
		const std::string &list = inv.text("list");
		hit = tq_multimatching(text.c_str(), list.c_str(), inv.flag("all"),
				       inv.flag("invert"), case_sensitive);
		doc.set("list", list).set("all", inv.flag("all")).set("invert", inv.flag("invert"));
	} else {
		REQUIRE(inv, tq_matchingstring);
		const std::string &pattern = inv.text("PATTERN");
		hit = tq_matchingstring(text.c_str(), pattern.c_str(), case_sensitive);
		doc.set("pattern", pattern);
	}
	doc.set("ignore_case", case_sensitive == 0).set("match", hit == 1);
	emit(inv, doc, hit == 1 ? "match\n" : "no match\n");
	return hit == 1 ? exit_ok : exit_no;
}

int cmd_pidfile(const invocation &inv)
{
	REQUIRE(inv, tq_read_pid_file);
	const std::string &path = inv.text("PATH");
	int pid = tq_read_pid_file(path.c_str());
	if (pid <= 0)
		return failed(inv, "no valid pid in " + path);
	emit(inv, json::obj({{"path", path}, {"pid", pid}}), std::to_string(pid) + "\n");
	return exit_ok;
}

int cmd_monitor(const invocation &inv)
{
	REQUIRE(inv, tq_monitor_read_config);
	REQUIRE(inv, tq_monitor_get_group_status);
	tq_monitor_cfg_t cfg{};
	if (tq_monitor_read_config(&cfg, sizeof cfg) != 0)
		return failed(inv, "cannot read /etc/monitor.conf");
	uint32_t first = 0, last = TQ_MAX_GROUP_NUM - 1;
	if (inv.has("GROUP"))
		first = last = static_cast<uint32_t>(inv.number("GROUP"));

	table t({{"GROUP", table::right}, {"NAME"}, {"ENABLED"}, {"INTERVAL", table::right},
		 {"THRESHOLD", table::right}, {"ACTION", table::right}, {"STATUS"}});
	json groups = json::array{};
	for (uint32_t i = first; i <= last; ++i) {
		const tq_monitor_group_cfg_t &g = cfg.groups[i];
		int a = 0, b = 0;
		// Checked against TQ_MAX_GROUP_NUM above: the library asserts on more.
		bool have = tq_monitor_get_group_status(i, &a, &b) == 0;
		std::string name = field_text(g.name);
		t.add({std::to_string(i), name.empty() ? "-" : name, g.enabled ? "yes" : "no",
		       std::to_string(g.interval_s) + " s", std::to_string(g.threshold),
		       std::to_string(g.action),
		       have ? std::to_string(a) + " " + std::to_string(b) : "-"});
		groups.push(json::obj({{"group", i}, {"name", name}, {"enabled", g.enabled},
				       {"interval_s", g.interval_s}, {"threshold", g.threshold},
				       {"action", g.action},
				       {"status", have ? json(json::array{a, b}) : json()}}));
	}
	std::string text = "monitor configuration (/etc/monitor.conf, status from "
			   "/etc/monitor_status.conf)\n  magic    " + hex_word(cfg.magic) +
			   "\n  version  " + std::to_string(cfg.version) + "\n\n" + t.render("  ");
	emit(inv, json::obj({{"magic", cfg.magic}, {"version", cfg.version},
			     {"groups", std::move(groups)}}),
	     text);
	return exit_ok;
}

int cmd_port(const invocation &inv)
{
	REQUIRE(inv, tq_syslib_check_port_valid);
	int port = static_cast<int>(inv.number("PORT"));
	bool in_use = tq_syslib_check_port_valid(port) != 0;
	emit(inv, json::obj({{"port", port}, {"in_use", in_use}}),
	     "port " + std::to_string(port) + (in_use ? ": in use\n" : ": free\n"));
	return in_use ? exit_no : exit_ok;
}

// ---- packet filters ----

json filter_json(const tq_sys_filter_t &f)
{
	return json::obj({{"id", f.id}, {"key", f.key},
			  {"rule", hex_bytes(std::span(f.rule, rule_length(f)))}});
}

int cmd_filter_count(const invocation &inv)
{
	REQUIRE(inv, tq_syslib_filter_get_cnt);
	device dev(inv);
	if (!dev)
		return dev.code();
	uint32_t count = 0;
	if (tq_syslib_filter_get_cnt(&count) != 0)
		return failed(inv, "the module did not give the count");
	emit(inv, json::obj({{"count", count}}), std::to_string(count) + "\n");
	return exit_ok;
}

int cmd_filter_list(const invocation &inv)
{
	REQUIRE(inv, tq_syslib_filter_get_cnt);
	REQUIRE(inv, tq_syslib_filter_get_list);
	device dev(inv);
	if (!dev)
		return dev.code();
	uint32_t count = 0;
	if (tq_syslib_filter_get_cnt(&count) != 0)
		return failed(inv, "the module did not give the count");
	// The capacity travels as count * 64 in 32 bits; far below that, a
	// count this large means a confused module rather than a real table.
	constexpr uint32_t most = 1u << 20;
	count = std::min(count, most);
	std::vector<tq_sys_filter_t> rows(std::max<uint32_t>(count, 1));
	uint32_t got = count;
	if (tq_syslib_filter_get_list(rows.data(), &got) != 0)
		return failed(inv, "the module did not give the list");
	got = std::min(got, count);

	table t({{"ID", table::right}, {"KEY"}, {"RULE"}});
	json arr = json::array{};
	for (uint32_t i = 0; i < got; ++i) {
		const tq_sys_filter_t &f = rows[i];
		size_t n = rule_length(f);
		t.add({std::to_string(f.id), hex_word(f.key),
		       n ? hex_bytes(std::span(f.rule, n)) : "-"});
		arr.push(filter_json(f));
	}
	emit(inv, json::obj({{"count", got}, {"filters", std::move(arr)}}), t.render());
	return exit_ok;
}

int cmd_filter_get(const invocation &inv)
{
	REQUIRE(inv, tq_syslib_filter_get);
	device dev(inv);
	if (!dev)
		return dev.code();
	tq_sys_filter_t f{};
	f.key = static_cast<uint32_t>(inv.number("KEY"));
	if (tq_syslib_filter_get(&f) != 0)
		return failed(inv, "no filter with key " + hex_word(f.key));
	emit(inv, filter_json(f), format_filter(f));
	return exit_ok;
}

std::string read_input(const invocation &inv, const std::string &path)
{
	std::ostringstream text;
	if (path == "-") {
		text << std::cin.rdbuf();
		return text.str();
	}
	std::ifstream in(path, std::ios::binary);
	if (!in)
		throw usage_error(std::string(inv.command->path) + ": cannot read " + path);
	text << in.rdbuf();
	return text.str();
}

int cmd_filter_add(const invocation &inv)
{
	REQUIRE(inv, tq_syslib_filter_add);
	const std::string &path = inv.text("FILE");
	tq_sys_filter_t f = parse_filter(read_input(inv, path), path == "-" ? "stdin" : path);
	device dev(inv);
	if (!dev)
		return dev.code();
	if (tq_syslib_filter_add(&f) != 0)
		return failed(inv, "the module refused filter " + std::to_string(f.id));
	std::cout << "added filter " << f.id << " (key " << hex_word(f.key) << ")\n";
	return exit_ok;
}

int cmd_filter_del(const invocation &inv)
{
	REQUIRE(inv, tq_syslib_filter_del);
	device dev(inv);
	if (!dev)
		return dev.code();
	auto id = static_cast<uint32_t>(inv.number("ID"));
	if (tq_syslib_filter_del(id) != 0)
		return failed(inv, "the module did not delete filter " + std::to_string(id));
	std::cout << "deleted filter " << id << "\n";
	return exit_ok;
}

// ---- 802.1X clients ----

int cmd_client_count(const invocation &inv)
{
	REQUIRE(inv, tq_syslib_mac_get_cnt);
	device dev(inv);
	if (!dev)
		return dev.code();
	auto selector = static_cast<uint32_t>(inv.has("SELECTOR") ? inv.number("SELECTOR") : 0);
	uint32_t count = 0;
	if (tq_syslib_mac_get_cnt(selector, &count) != 0)
		return failed(inv, "the module did not give the count");
	emit(inv, json::obj({{"selector", selector}, {"count", count}}),
	     std::to_string(count) + "\n");
	return exit_ok;
}

const char *auth_text(uint32_t state)
{
	return state == 1 ? "authenticated" : state == 2 ? "refused" : "unknown";
}

int cmd_client_get(const invocation &inv)
{
	REQUIRE(inv, tq_syslib_mac_get_one);
	device dev(inv);
	if (!dev)
		return dev.code();
	const mac_address &mac = inv.mac("MAC");
	tq_sys_mac_entry_t e{};
	if (tq_syslib_mac_get_one(mac.data(), &e) != 0)
		return failed(inv, "no client " + mac_text(mac));
	table t({{""}, {""}});
	t.add({"mac", mac_text(e.mac)});
	t.add({"vlan", std::to_string(e.vlan_id)});
	t.add({"auth", std::string(auth_text(e.auth_state)) + " (" +
			       std::to_string(e.auth_state) + ")"});
	t.add({"auth value", hex_word(e.auth_value)});
	t.add({"ifindex", std::to_string(e.ifindex)});
	t.add({"session", std::to_string(e.session_s) + " s"});
	emit(inv, json::obj({{"mac", mac_text(e.mac)}, {"vlan", e.vlan_id},
			     {"auth_state", e.auth_state}, {"auth", auth_text(e.auth_state)},
			     {"auth_value", e.auth_value}, {"ifindex", e.ifindex},
			     {"session_s", e.session_s}}),
	     t.render());
	return exit_ok;
}

// ---- watchdogs and black box: one call each, no record of ours ----

struct plain_call {
	std::string_view path;
	int (*fn)() noexcept;
	std::string_view fn_name;
	bool needs_device;
	std::string_view done;
};

int run_plain(const invocation &inv, const plain_call &c)
{
	if (reinterpret_cast<void (*)()>(c.fn) == nullptr)
		return unavailable(inv, c.fn_name);
	std::unique_ptr<device> dev;
	if (c.needs_device) {
		dev = std::make_unique<device>(inv);
		if (!*dev)
			return dev->code();
	}
	int rc = c.fn();
	if (rc != 0)
		return failed(inv, std::string(c.fn_name) + " returned " + std::to_string(rc));
	std::cout << c.done << "\n";
	return exit_ok;
}

// The table is read at call time: the weak addresses are only known once
// the library is loaded.
const plain_call *find_plain(std::string_view path)
{
	static const plain_call calls[] = {
		{"swdog enable", tq_syslib_swdog_enable, "tq_syslib_swdog_enable", true,
		 "software watchdog enabled"},
		{"swdog disable", tq_syslib_swdog_disable, "tq_syslib_swdog_disable", true,
		 "software watchdog disabled"},
		{"swdog set", tq_syslib_swdog_set, "tq_syslib_swdog_set", true,
		 "software watchdog set"},
		{"hwdog activate", tq_syslib_hwdog_activate, "tq_syslib_hwdog_activate", false,
		 "hardware watchdog activated"},
		{"hwdog deactivate", tq_syslib_hwdog_deactivate, "tq_syslib_hwdog_deactivate",
		 false, "hardware watchdog deactivated"},
		{"bbox start", tq_syslib_start_update_bbox_this_time,
		 "tq_syslib_start_update_bbox_this_time", true, "black box update started"},
		{"bbox stop", tq_syslib_stop_update_bbox_this_time,
		 "tq_syslib_stop_update_bbox_this_time", true, "black box update stopped"},
	};
	for (const plain_call &c : calls)
		if (c.path == path)
			return &c;
	return nullptr;
}

int cmd_plain(const invocation &inv)
{
	return run_plain(inv, *find_plain(inv.command->path));
}

struct record_call {
	std::string_view path;
	int (*fn)(void *) noexcept;
	std::string_view fn_name;
};

// The black-box records belong to the kernel module and their size is not
// ours to know: the module gets a zeroed area far larger than any of them
// and tqsys shows the first --bytes of it.
constexpr size_t record_area = 64 * 1024;

int cmd_record(const invocation &inv)
{
	static const record_call calls[] = {
		{"bbox info", tq_syslib_get_bbox_info, "tq_syslib_get_bbox_info"},
		{"bbox data", tq_syslib_get_bbox_data, "tq_syslib_get_bbox_data"},
		{"bbox state", tq_syslib_get_update_bbox_this_time,
		 "tq_syslib_get_update_bbox_this_time"},
	};
	const record_call *c = nullptr;
	for (const record_call &r : calls)
		if (r.path == inv.command->path)
			c = &r;
	if (reinterpret_cast<void (*)()>(c->fn) == nullptr)
		return unavailable(inv, c->fn_name);
	size_t shown = inv.has("bytes") ? inv.number("bytes") : 64;
	device dev(inv);
	if (!dev)
		return dev.code();
	std::vector<uint8_t> area(record_area);
	int rc = c->fn(area.data());
	if (rc != 0)
		return failed(inv, "the module returned " + std::to_string(rc));
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
	emit(inv, json::obj({{"record", std::string(inv.command->path.substr(5))},
			     {"bytes", hex_bytes(bytes)}}),
	     text);
	return exit_ok;
}

// ---- the stand-in's own state, seeded and inspected from the shell ----

int no_standin(const invocation &inv)
{
	return failed(inv, "the kernel-module stand-in is not loaded (preload it: "
			   "LD_PRELOAD=<prefix>/lib/libtqsys_module.so)");
}

// Runs one call of the stand-in; its errno becomes the message.
int module_call(const invocation &inv, const char *name, int rc, const std::string &done)
{
	if (rc != 0) {
		const char *problem = standin_problem();
		return failed(inv, std::string(name) + " failed: " + (problem ? problem : std::strerror(errno)));
	}
	std::cout << done << "\n";
	return exit_ok;
}

int cmd_module_status(const invocation &inv)
{
	auto dir = standin<const char *(*)()>("tqsys_module_state_dir");
	auto status = standin<int (*)(tqsys_status *)>("tqsys_module_status");
	if (!dir || !status)
		return no_standin(inv);
	const char *problem = standin_problem();
	tqsys_status st{};
	if (problem || status(&st) != 0)
		return failed(inv, std::string("the state in ") + dir() + " is unusable: " +
					   (problem ? problem : std::strerror(errno)));
	table t({{""}, {""}});
	t.add({"state", dir()});
	t.add({"usable", "yes"});
	json doc = json::obj({{"state_dir", dir()}, {"usable", true}});
	{
		const std::pair<const char *, uint32_t> words[] = {
			{"swdog_enabled", st.swdog_enabled}, {"swdog_sets", st.swdog_sets},
			{"admin_uid_set", st.admin_uid_set}, {"admin_uid", st.admin_uid},
			{"hwdog_active", st.hwdog_active},   {"hwdog_changes", st.hwdog_changes},
			{"clients", st.clients},             {"mlme_messages", st.mlme_messages},
			{"crash_tests", st.crash_tests},     {"bbox_updating", st.bbox_updating},
			{"cm_status", st.cm_status}};
		for (const auto &[name, value] : words) {
			std::string label = name;
			std::replace(label.begin(), label.end(), '_', ' ');
			t.add({label, std::to_string(value)});
			doc.set(name, value);
		}
	}
	emit(inv, doc, t.render());
	return exit_ok;
}

int cmd_module_reset(const invocation &inv)
{
	auto reset = standin<int (*)()>("tqsys_module_reset");
	return reset ? module_call(inv, "reset", reset(), "every table of the stand-in emptied")
		     : no_standin(inv);
}

int cmd_module_client(const invocation &inv)
{
	const mac_address &mac = inv.mac("MAC");
	if (inv.command->path.ends_with("del")) {
		auto drop = standin<int (*)(const uint8_t *)>("tqsys_module_drop_client");
		return drop ? module_call(inv, "client del", drop(mac.data()), "client " + mac_text(mac) + " removed")
			    : no_standin(inv);
	}
	auto put = standin<int (*)(const tq_sys_mac_entry_t *)>("tqsys_module_put_client");
	if (!put)
		return no_standin(inv);
	tq_sys_mac_entry_t e{};
	std::copy(mac.begin(), mac.end(), e.mac);
	e.vlan_id = static_cast<uint16_t>(inv.has("vlan") ? inv.number("vlan") : 0);
	e.auth_state = static_cast<uint32_t>(inv.has("auth") ? inv.number("auth") : 1);
	e.auth_value = static_cast<uint32_t>(inv.has("value") ? inv.number("value") : 0);
	e.ifindex = static_cast<int32_t>(inv.has("ifindex") ? inv.number("ifindex") : 0);
	return module_call(inv, "client add", put(&e), "client " + mac_text(mac) + " put in the table");
}

int cmd_module_trace(const invocation &inv)
{
	auto set = standin<int (*)(const char *)>("tqsys_module_set_kernel_trace");
	std::string text;
	for (const std::string &w : inv.words("TEXT"))
		text.append(text.empty() ? "" : " ").append(w);
	return set ? module_call(inv, "trace", set((text + "\n").c_str()), "kernel trace set") : no_standin(inv);
}

int cmd_module_reboot(const invocation &inv)
{
	auto set = standin<int (*)(uint32_t, const char *)>("tqsys_module_set_reboot_info");
	const std::string note = inv.has("NOTE") ? inv.text("NOTE") : "";
	return set ? module_call(inv, "reboot", set(static_cast<uint32_t>(inv.number("REASON")), note.c_str()),
				 "reboot record stored")
		   : no_standin(inv);
}

int cmd_module_bbox(const invocation &inv)
{
	auto set = standin<int (*)(const void *, uint32_t)>("tqsys_module_set_bbox_data");
	if (!set)
		return no_standin(inv);
	const std::string data = read_input(inv, inv.text("FILE"));
	if (data.size() > TQSYS_BBOX_DATA_MAX)
		throw usage_error("module bbox: " + std::to_string(data.size()) + " bytes, at most " +
				  std::to_string(TQSYS_BBOX_DATA_MAX) + " fit the black box");
	return module_call(inv, "bbox", set(data.data(), static_cast<uint32_t>(data.size())),
			   "black-box data set (" + std::to_string(data.size()) + " bytes)");
}

const std::vector<command_def> &table_of_commands()
{
	static const std::vector<command_def> t = {
		{"status", "memory, file systems, CPU load, readiness, largest processes",
		 {{"PATH", text_value, true, true, "further file systems to show"}},
		 {}, true, cmd_status,
		 "Shows / and /tmp and every PATH given. The CPU load is measured over one\n"
		 "second, so the command takes about a second.\n"},
		{"ps", "every process of the survey, largest resident memory first", {},
		 {{"watched", 'w', {}, text_value, "only the processes on the watch list"}}, true,
		 cmd_ps,
		 "The watch list is /f/etc/tq_mem_proc_list (names separated by white space);\n"
		 "without it the library's own list of core daemons decides.\n"},
		{"match", "match TEXT against a * and ? pattern, or a comma-separated list",
		 {{"TEXT", text_value, false, false, "the text to test"},
		  {"PATTERN", text_value, true, false, "a pattern: * any run, ? one character"}},
		 {{"list", 'l', "LIST", text_value, "comma-separated patterns instead of PATTERN"},
		  {"all", 'a', {}, text_value, "with --list: every pattern must match"},
		  {"invert", 'v', {}, text_value, "with --list: turn the answer over"},
		  {"ignore-case", 'i', {}, text_value, "fold A-Z to a-z first"}},
		 true, cmd_match,
		 "Exit status 0 on a match and 1 otherwise, like grep.\n"},
		{"pidfile", "read and check the pid in a pid file",
		 {{"PATH", text_value, false, false, "the pid file"}}, {}, true, cmd_pidfile},
		{"monitor", "monitor configuration and the status of its groups",
		 {{"GROUP", number_value(0, TQ_MAX_GROUP_NUM - 1), true, false,
		   "only this group, 0 to 7"}},
		 {}, true, cmd_monitor},
		{"port", "whether a port number shows up in netstat -an",
		 {{"PORT", number_value(1, 65535), false, false, "the port, 1 to 65535"}}, {},
		 true, cmd_port,
		 "Exit status 0 when the port is free and 1 when it is in use. The test is a\n"
		 "text search: the digits anywhere in a line count, and a machine without\n"
		 "netstat shows every port as free.\n"},
		{"filter count", "number of packet filters", {}, {}, true, cmd_filter_count},
		{"filter list", "every packet filter", {}, {}, true, cmd_filter_list},
		{"filter get", "the packet filter with a key, in the FILE format",
		 {{"KEY", u32_value, false, false, "the filter's key (decimal or 0x hex)"}}, {},
		 true, cmd_filter_get},
		{"filter add", "add the packet filter described in FILE",
		 {{"FILE", text_value, false, false, "the filter file, - for stdin"}}, {}, false,
		 cmd_filter_add,
		 "FILE holds one filter as lines of a field and its value:\n"
		 "    id    7            # names the filter for delete\n"
		 "    key   0x0a000001   # finds it for get\n"
		 "    rule  c0 a8 01 00  # up to 56 rule bytes in hex, over any lines\n"
		 "'#' starts a comment; rule bytes not given are zero.\n"},
		{"filter del", "delete the packet filter with an id",
		 {{"ID", u32_value, false, false, "the filter's id"}}, {}, false, cmd_filter_del},
		{"client count", "number of 802.1X clients",
		 {{"SELECTOR", u32_value, true, false, "word for the module, 0 by default"}}, {},
		 true, cmd_client_count},
		{"client get", "one 802.1X client by its MAC address",
		 {{"MAC", mac_value, false, false, "aa:bb:cc:dd:ee:ff or aa-bb-cc-dd-ee-ff"}}, {},
		 true, cmd_client_get},
		{"swdog enable", "enable the software watchdog", {}, {}, false, cmd_plain},
		{"swdog disable", "disable the software watchdog", {}, {}, false, cmd_plain},
		{"swdog set", "set the software watchdog", {}, {}, false, cmd_plain},
		{"hwdog activate", "activate the hardware watchdog (/dev/board0)", {}, {}, false,
		 cmd_plain},
		{"hwdog deactivate", "deactivate the hardware watchdog (/dev/board0)", {}, {},
		 false, cmd_plain},
		{"bbox info", "the black-box information record, in hex", {},
		 {{"bytes", 'n', "N", number_value(1, record_area), "bytes to show, 64 by default"}},
		 true, cmd_record},
		{"bbox data", "the black-box data record, in hex", {},
		 {{"bytes", 'n', "N", number_value(1, record_area), "bytes to show, 64 by default"}},
		 true, cmd_record},
		{"bbox state", "the black-box update-this-time record, in hex", {},
		 {{"bytes", 'n', "N", number_value(1, record_area), "bytes to show, 64 by default"}},
		 true, cmd_record},
		{"bbox start", "make the module update the black box this time", {}, {}, false,
		 cmd_plain},
		{"bbox stop", "stop the black-box update of this time", {}, {}, false, cmd_plain},
		{"module status", "the kernel-module stand-in: where its state lives, what it holds",
		 {}, {}, true, cmd_module_status,
		 "Works only with the stand-in preloaded. The state belongs to the user:\n"
		 "$TQSYS_STATE_DIR, by default /dev/shm/tqsys-<uid>.\n"},
		{"module reset", "empty every table of the stand-in", {}, {}, false, cmd_module_reset},
		{"module client add", "put an 802.1X client into the stand-in's table",
		 {{"MAC", mac_value, false, false, "the client's address"}},
		 {{"auth", 0, "N", number_value(0, 2), "0 unknown, 1 authenticated (default), 2 refused"},
		  {"vlan", 0, "N", number_value(0, 4095), "VLAN id, 0 by default"},
		  {"value", 0, "N", u32_value, "auth value word, 0 by default"},
		  {"ifindex", 0, "N", number_value(0, INT32_MAX), "interface index, 0 by default"}},
		 false, cmd_module_client},
		{"module client del", "take an 802.1X client out of the stand-in's table",
		 {{"MAC", mac_value, false, false, "the client's address"}}, {}, false, cmd_module_client},
		{"module trace", "set the kernel trace text of the stand-in",
		 {{"TEXT", text_value, false, true, "the text, words joined by blanks"}}, {}, false,
		 cmd_module_trace},
		{"module reboot", "store a reboot record in the stand-in",
		 {{"REASON", u32_value, false, false, "the reason word"},
		  {"NOTE", text_value, true, false, "a note of at most 47 bytes"}},
		 {}, false, cmd_module_reboot},
		{"module bbox", "set the stand-in's black-box data from FILE",
		 {{"FILE", text_value, false, false, "at most 508 bytes, - for stdin"}}, {}, false,
		 cmd_module_bbox},
	};
	return t;
}

} // namespace

std::span<const command_def> commands()
{
	return table_of_commands();
}

// The hooks belong to the workstation's runtime; the device's runtime may
// lack them, and then its reports simply go where it sends them.
#pragma weak tqrt_set_quiet
#pragma weak tqrt_set_observer

void capture_library_reports()
{
	if (!TQSYS_HAVE(tqrt_set_quiet) || !TQSYS_HAVE(tqrt_set_observer))
		return;
	tqrt_set_quiet(1);
	tqrt_set_observer(remember_report, nullptr);
}

} // namespace tqsys
