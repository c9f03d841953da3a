// status and ps: the memory, file-system, CPU and survey figures.
#include "commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <sys/stat.h>

namespace tqsys {
namespace {

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

} // namespace

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

json status_report(const std::vector<std::string> &paths, std::string *out)
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
	if (out)
		*out = text;
	return doc;
}

int cmd_status(const args &a)
{
	// A path that is not there is a mistyped word: said before anything is shown.
	std::vector<std::string> paths = {"/", "/tmp"};
	for (const std::string &p : a.words) {
		struct stat st;
		if (stat(p.c_str(), &st) != 0)
			throw usage_error("status: cannot read " + printable(p) + ": " + std::strerror(errno));
		paths.push_back(p);
	}
	std::string text;
	const json doc = status_report(paths, &text);
	emit(a, doc, text);
	return doc["problems"].empty() ? exit_ok : exit_failed;
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

} // namespace tqsys
