// The matchers against what a daemon would otherwise use: fnmatch(3) on
// process names and the patterns daemons write for them (same answers
// first), and string_view::find for the substring search.
#include "tq_syslib.h"
#include "verdict.h"

#include <cstring>
#include <fnmatch.h>
#include <string>
#include <string_view>

namespace {

const char *const names[] = {
	"init", "syslogd", "klogd", "sshd", "dropbear", "hostapd", "wpa_supplicant",
	"tq_monitor_d", "tq_cli", "tq_pm_daemon", "tq_authd", "tq_dot1x_agent", "dnsmasq",
	"udhcpc", "ntpd", "lighttpd", "watchdog", "crond", "kworker/0:1", "kworker/u2:3",
	"ksoftirqd/0", "migration/0", "rcu_sched", "kthreadd", "snmpd", "lldpd", "HOSTAPD",
	"TQ_Monitor_D", "radius_proxy", "tq_fw_upgrade", "busybox", "ash", "telnetd",
	"tq_led_ctrl", "tq_radio_mgr_5g", "tq_radio_mgr_24g", "miniupnpd", "igmpproxy",
};

// No "?" inside a middle segment: there the two matchers differ on purpose.
const char *const patterns[] = {
	"*", "tq_*", "*d", "tq*mon*d", "?shd", "wpa_*", "*_supplicant", "kworker/*:*",
	"*radio*", "s?slog?", "tq_radio_mgr_??", "*_mgr_?g", "k*d", "*o*o*", "hostapd",
	"tq_*_*_*", "lighttpd*", "*proxy", "?*", "tq_dot1x_agent",
};

// Lists of 4 to 8 patterns, as the daemons' configuration gives them.
const char *const lists[] = {
	"tq_*,*d,ssh?,ntp*", "hostapd,wpa_*,*_supplicant,dnsmasq,udhcpc",
	"k*,*/0,rcu_*,migration/?,*thread*,lldp?", "tq_radio_*,*_5g,*_24g,igmp*,mini*,*proxy,busybox",
	"*o*o*,?sh,telnet?,crond,watchdog,ntpd,snmpd,klogd",
};

volatile int sink;

int by_tq(int case_sensitive)
{
	int hits = 0;
	for (const char *p : patterns)
		for (const char *n : names)
			hits += tq_matchingstring(n, p, case_sensitive);
	return hits;
}

int by_fnmatch(int flags)
{
	int hits = 0;
	for (const char *p : patterns)
		for (const char *n : names)
			hits += fnmatch(p, n, flags) == 0;
	return hits;
}

// Any pattern of the list matches, by fnmatch over the list's items.
bool any_fnmatch(const char *list, const char *name)
{
	char item[64];
	for (const char *at = list;; ++at) {
		const char *end = at;
		while (*end && *end != ',')
			++end;
		std::string_view(at, end - at).copy(item, sizeof item - 1);
		item[std::min<size_t>(end - at, sizeof item - 1)] = '\0';
		if (fnmatch(item, name, 0) == 0)
			return true;
		if (!*(at = end))
			return false;
	}
}

} // namespace

int main()
{
	int differ = 0;
	for (int folded : {0, 1})
		for (const char *p : patterns)
			for (const char *n : names)
				differ += tq_matchingstring(n, p, !folded) != (fnmatch(p, n, folded ? FNM_CASEFOLD : 0) == 0);
	for (const char *l : lists)
		for (const char *n : names)
			differ += tq_multimatching(n, l, 0, 0, 1) != any_fnmatch(l, n);
	if (differ) {
		std::printf("verdict FAIL: %d answers differ from fnmatch; nothing timed\n", differ);
		return 1;
	}
	verdict::at_most("tq_matchingstring / fnmatch, exact", 0.5, 200, [] { sink = by_tq(1); },
			 [] { sink = by_fnmatch(0); });
	verdict::at_most("tq_matchingstring / fnmatch, folded", 0.5, 200, [] { sink = by_tq(0); },
			 [] { sink = by_fnmatch(FNM_CASEFOLD); });
	verdict::at_most("tq_multimatching / a loop of fnmatch, lists of 4 to 8", 0.5, 300, [] {
		for (const char *l : lists)
			for (const char *n : names)
				sink = tq_multimatching(n, l, 0, 0, 1);
	}, [] {
		for (const char *l : lists)
			for (const char *n : names)
				sink = any_fnmatch(l, n);
	});

	// Substring search without "?": a text of 16 bytes to 4 KiB whose
	// pattern stands at its end, both sides given C strings, as callers of
	// tq_findingstring have them.
	for (size_t size : {16, 256, 4096}) {
		// At a fixed alignment: where the allocator puts it changes both
		// sides' times from run to run.
		alignas(64) static char text[4096 + 64];
		std::memset(text, 'a', size - 6), std::memcpy(text + size - 6, "needle", 7);
		const char *t = text, *p = "needle";
		const std::string what = "tq_findingstring / string_view::find, " + std::to_string(size) + " bytes";
		verdict::at_most(what.c_str(), 1.0, size < 1000 ? 2000000 : 100000, [&] { sink = tq_findingstring(t, p, 0); },
				 [&] { sink = int(std::string_view(t).find(p)); });
	}
	// With "?": the time per byte of 1 MiB over that of 1 KiB, flat.
	const std::string small = std::string(1024 - 8, 'a') + "abcdxfgh", large = std::string((1 << 20) - 8, 'a') + "abcdxfgh";
	verdict::at_most("tq_findingstring with ?, time per byte of 1 MiB / of 1 KiB", 1.25, 1, [&] {
		for (int i = 0; i < 4; ++i)
			sink = tq_findingstring(large.c_str(), "abcd?fgh", 0);
	}, [&] {
		for (int i = 0; i < 4096; ++i)
			sink = tq_findingstring(small.c_str(), "abcd?fgh", 0);
	});
	return verdict::finish();
}
