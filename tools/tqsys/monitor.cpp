// tqsys monitor: the monitor configuration and the status of its groups.
#include "commands.h"

#include <bit>
#include <cstring>
#include <unistd.h>

namespace tqsys {
namespace {

// The file is the device's image, big-endian: read as the device reads it.
uint32_t device_word(uint32_t w)
{
	return std::endian::native == std::endian::big ? w : __builtin_bswap32(w);
}

} // namespace

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
		const uint32_t enabled = device_word(g.enabled), interval = device_word(g.interval_s),
			       threshold = device_word(g.threshold), action = device_word(g.action);
		int x = 0, y = 0;
		const bool have = tq_monitor_get_group_status(i, &x, &y) == 0;
		const std::string name(g.name, strnlen(g.name, sizeof g.name));
		t.add({std::to_string(i), name.empty() ? "-" : printable(name), enabled ? "yes" : "no",
		       std::to_string(interval) + " s", std::to_string(threshold), std::to_string(action),
		       have ? std::to_string(x) + " " + std::to_string(y) : "-"});
		groups.push_back({{"group", i}, {"name", name}, {"enabled", enabled}, {"interval_s", interval},
				  {"threshold", threshold}, {"action", action}, {"status", have ? json::array({x, y}) : json()}});
	}
	const bool swapped = std::endian::native != std::endian::big;
	emit(a, {{"magic", device_word(cfg.magic)}, {"version", device_word(cfg.version)}, {"groups", groups}},
	     "monitor configuration (/etc/monitor.conf, status from /etc/monitor_status.conf)\n  magic    " +
		     hex_word(device_word(cfg.magic)) + "\n  version  " + std::to_string(device_word(cfg.version)) + "\n" +
		     (swapped ? "  note: words read big-endian, as the device wrote them; this host is little-endian\n" : "") +
		     "\n" + t.render("  "));
	return exit_ok;
}

} // namespace tqsys
