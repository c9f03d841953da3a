#include "calls.h"

#include "tq_syslib.h"

#include <csignal>
#include <cstring>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/time.h>

namespace syslib_test {
namespace {

std::string rc(int r) { return "rc=" + std::to_string(r); }

template <class... W>
std::string rc(int r, W... words)
{
	std::string s = rc(r);
	((s += " " + std::to_string(words)), ...);
	return s;
}

std::string digest(const void *p, size_t n)
{
	// FNV-1a: enough to tell two records apart in a log line.
	uint32_t h = 2166136261u;
	for (size_t i = 0; i < n; ++i)
		h = (h ^ static_cast<const uint8_t *>(p)[i]) * 16777619u;
	return std::to_string(h);
}

void *thread_body(void *arg) { return arg; }

// The kernel name of the stopped child: a name that is running for sure.
std::string running_name(pid_t pid)
{
	char path[64], name[64] = {};
	std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
	FILE *f = std::fopen(path, "r");
	if (!f)
		return "?";
	if (std::fgets(name, sizeof name, f))
		name[std::strcspn(name, "\n")] = '\0';
	std::fclose(f);
	return name;
}

} // namespace

std::vector<call> all_calls(const fixed_world &w)
{
	const uint8_t mac[6] = {0x00, 0x1b, 0x21, 0x0a, 0x0b, 0x0c};
	std::string pid_file = w.pid_file(), bad_pid = w.bad_pid_file(), fs = w.fs_dir();
	pid_t child = w.stopped_child();
	std::string launch_path = "/nonexistent/" + running_name(child);

	return {
		// ---- control device and kernel commands ----
		{"tq_sys_ready", family::control, true, [] { return rc(tq_sys_ready()); }},
		{"tq_syslib_init", family::control, true, [] { return rc(tq_syslib_init()); }},
		{"tq_syslib_set_fake_admin_uid", family::kernel, true,
		 [] { return rc(tq_syslib_set_fake_admin_uid(1000)); }},
		{"tq_syslib_swdog_enable", family::kernel, true, [] { return rc(tq_syslib_swdog_enable()); }},
		{"tq_syslib_swdog_set", family::kernel, true, [] { return rc(tq_syslib_swdog_set()); }},
		{"tq_syslib_swdog_disable", family::kernel, true, [] { return rc(tq_syslib_swdog_disable()); }},
		{"tq_syslib_settimeofday", family::kernel, true,
		 [] {
			 // An invalid time: the failure path, the clock untouched.
			 struct timeval tv = {0, 2000000};
			 return rc(tq_syslib_settimeofday(&tv, nullptr));
		 }},
		{"tq_syslib_hwdog_activate", family::kernel, true, [] { return rc(tq_syslib_hwdog_activate()); }},
		{"tq_syslib_hwdog_deactivate", family::kernel, true,
		 [] { return rc(tq_syslib_hwdog_deactivate()); }},
		{"tq_syslib_check_port_valid", family::kernel, false,
		 [] { return rc(tq_syslib_check_port_valid(47913)); }},
		{"tq_syslib_filter_add", family::kernel, false,
		 [] {
			 tq_sys_filter_t f{};
			 f.id = 7;
			 f.key = 70;
			 return rc(tq_syslib_filter_add(&f));
		 }},
		{"tq_syslib_filter_get_cnt", family::kernel, false,
		 [] {
			 uint32_t n = 0;
			 int r = tq_syslib_filter_get_cnt(&n);
			 return rc(r, n);
		 }},
		{"tq_syslib_filter_get_list", family::kernel, false,
		 [] {
			 tq_sys_filter_t buf[4];
			 uint32_t n = 4;
			 int r = tq_syslib_filter_get_list(buf, &n);
			 return rc(r, n);
		 }},
		{"tq_syslib_filter_get", family::kernel, false,
		 [] {
			 tq_sys_filter_t f{};
			 f.key = 70;
			 int r = tq_syslib_filter_get(&f);
			 return rc(r, f.id);
		 }},
		{"tq_syslib_filter_del", family::kernel, false, [] { return rc(tq_syslib_filter_del(7)); }},
		{"tq_syslib_mac_set_mlme", family::kernel, true,
		 [mac] {
			 uint8_t msg[32] = {3};
			 std::memcpy(msg + 6, mac, 6);
			 return rc(tq_syslib_mac_set_mlme(msg, sizeof msg));
		 }},
		{"tq_syslib_mac_set_dyn_vlan", family::kernel, true,
		 [] {
			 uint32_t msg[4] = {5, 100, 0, 0};
			 return rc(tq_syslib_mac_set_dyn_vlan(msg, sizeof msg));
		 }},
		{"tq_syslib_mac_set_val", family::kernel, true,
		 [] { return rc(tq_syslib_mac_set_val(0x8101, 42, "test value")); }},
		{"tq_syslib_mac_get_val", family::kernel, true,
		 [] {
			 uint32_t v = 0;
			 int r = tq_syslib_mac_get_val(0x8101, &v, "test value");
			 return rc(r, v);
		 }},
		{"tq_syslib_mac_set_status", family::kernel, true,
		 [mac] { return rc(tq_syslib_mac_set_status(0, mac, 1, 9)); }},
		{"tq_syslib_mac_get_cnt", family::kernel, false,
		 [] {
			 uint32_t n = 0;
			 int r = tq_syslib_mac_get_cnt(0, &n);
			 return rc(r, n);
		 }},
		{"tq_syslib_mac_get_list", family::kernel, false,
		 [] { return rc(tq_syslib_mac_get_list(0, 0, 0)); }},
		{"tq_syslib_mac_get_one", family::kernel, false,
		 [mac] {
			 tq_sys_mac_entry_t e{};
			 int r = tq_syslib_mac_get_one(mac, &e);
			 return rc(r) + " " + digest(e.mac, 6);
		 }},
		{"tq_syslib_get_kernel_trace", family::kernel, true,
		 [] {
			 static thread_local uint8_t rec[4096];
			 return rc(tq_syslib_get_kernel_trace(rec));
		 }},
		{"tq_syslib_clear_kernel_trace", family::kernel, true,
		 [] { return rc(tq_syslib_clear_kernel_trace()); }},
		{"tq_syslib_get_reboot_info", family::kernel, true,
		 [] {
			 static thread_local uint8_t rec[4096];
			 return rc(tq_syslib_get_reboot_info(rec));
		 }},
		{"tq_syslib_set_reboot_info", family::kernel, true,
		 [] {
			 static thread_local uint8_t rec[4096];
			 return rc(tq_syslib_set_reboot_info(rec));
		 }},
		{"tq_syslib_clear_reboot_info", family::kernel, true,
		 [] { return rc(tq_syslib_clear_reboot_info()); }},
		{"tq_syslib_clear_magic_done", family::kernel, true,
		 [] { return rc(tq_syslib_clear_magic_done()); }},
		{"tq_syslib_get_bbox_info", family::kernel, true,
		 [] {
			 static thread_local uint8_t rec[4096];
			 return rc(tq_syslib_get_bbox_info(rec));
		 }},
		{"tq_syslib_get_bbox_data", family::kernel, true,
		 [] {
			 static thread_local uint8_t rec[4096];
			 return rc(tq_syslib_get_bbox_data(rec));
		 }},
		{"tq_syslib_start_update_bbox_this_time", family::kernel, true,
		 [] { return rc(tq_syslib_start_update_bbox_this_time()); }},
		{"tq_syslib_stop_update_bbox_this_time", family::kernel, true,
		 [] { return rc(tq_syslib_stop_update_bbox_this_time()); }},
		{"tq_syslib_get_update_bbox_this_time", family::kernel, true,
		 [] {
			 static thread_local uint8_t rec[4096];
			 return rc(tq_syslib_get_update_bbox_this_time(rec));
		 }},
		{"tq_syslib_crash_kernel", family::kernel, true, [] { return rc(tq_syslib_crash_kernel()); }},
		{"tq_syslib_cm_set_val", family::kernel, true, [] { return rc(tq_syslib_cm_set_val(1, 0x102)); }},
		{"tq_syslib_cm_set_val_rsp", family::kernel, true,
		 [] {
			 static thread_local uint8_t msg[424];
			 int r = tq_syslib_cm_set_val_rsp(1, 0x102, reinterpret_cast<tq_cm_val_msg_t *>(msg));
			 return rc(r) + " " + digest(msg, 16);
		 }},

		// ---- resource statistics ----
		{"tq_mem_get_proc_heap", family::stats, true,
		 [child] {
			 uint32_t kb = 1;
			 int r = tq_mem_get_proc_heap(child, &kb);
			 return rc(r, kb);
		 }},
		{"tq_mem_get_proc_rss", family::stats, true,
		 [child] {
			 uint32_t kb = 1;
			 int r = tq_mem_get_proc_rss(child, &kb);
			 return rc(r, kb);
		 }},
		{"tq_mem_get_proc_info", family::stats, true,
		 [child] {
			 tq_mem_proc_info_t info{};
			 info.pid = child;
			 int r = tq_mem_get_proc_info(&info);
			 return rc(r, info.rss_kb, info.shared_kb, info.text_kb, info.data_kb,
				   info.stack_kb) + " " + info.name;
		 }},
		{"tq_mem_get_proc_info_list", family::stats, false,
		 [] {
			 static thread_local tq_mem_proc_info_list_t list;
			 int r = tq_mem_get_proc_info_list(&list);
			 return rc(r, list.count);
		 }},
		{"tq_mem_get_free_mem", family::stats, true,
		 [] {
			 uint32_t kb = 1;
			 int r = tq_mem_get_free_mem(&kb);
			 return rc(r, kb);
		 }},
		{"tq_mem_get_system_memory", family::stats, true,
		 [] {
			 tq_mem_system_info_t m{};
			 int r = tq_mem_get_system_memory(&m);
			 return rc(r, m.total_kb, m.free_kb, m.buffers_kb, m.cached_kb);
		 }},
		{"tq_mem_get_fs_info", family::stats, true,
		 [fs] {
			 uint32_t total = 0, free_kb = 0;
			 int r = tq_mem_get_fs_info(fs.c_str(), &total, &free_kb);
			 return rc(r, total, free_kb);
		 }},
		{"tq_sys_get_cpu_total_utilize", family::stats, true,
		 [] {
			 uint32_t pct = 7, th = 7;
			 int r = tq_sys_get_cpu_total_utilize(&pct, &th);
			 return rc(r, pct, th);
		 }},

		// ---- wildcard matching ----
		{"tq_findingstring", family::match, true,
		 [] {
			 return rc(tq_findingstring("hostapd-wlan0", "wl?n", 0),
				   tq_findingstring("aaabb", "a?b", 0));
		 }},
		{"tq_matchingstring", family::match, true,
		 [] {
			 return rc(tq_matchingstring("dot1x_authd", "dot1x*", 1),
				   tq_matchingstring("DOT1X_AUTHD", "dot1x_*d", 0),
				   tq_matchingstring("xabcabc", "*abc*abc", 1));
		 }},
		{"tq_multimatching", family::match, true,
		 [] {
			 return rc(tq_multimatching("snmpd", "ntp*,snmp?,x*", 0, 0, 1),
				   tq_multimatching("snmpd", "*d,s*", 1, 1, 1));
		 }},

		// ---- process control ----
		{"tq_read_pid_file", family::process, true,
		 [pid_file, bad_pid] {
			 return rc(tq_read_pid_file(pid_file.c_str()), tq_read_pid_file(bad_pid.c_str()));
		 }},
		{"tq_pthread_create", family::process, true,
		 [] {
			 pthread_t tid;
			 int r = tq_pthread_create(&tid, thread_body, nullptr, 0, 50, 0);
			 if (r == 0)
				 pthread_join(tid, nullptr);
			 return rc(r, tq_pthread_create(&tid, thread_body, nullptr, 3, 0, 0));
		 }},
		{"tq_pthread_setschedparam", family::process, true,
		 [] {
			 return rc(tq_pthread_setschedparam(pthread_self(), 0, 10),
				   tq_pthread_setschedparam(pthread_self(), 1, 10));
		 }},
		{"tq_signal_maskall", family::process, true,
		 [] {
			 int a = tq_signal_maskall(1);
			 sigset_t now;
			 pthread_sigmask(SIG_BLOCK, nullptr, &now);
			 int blocked = sigismember(&now, SIGUSR1);
			 int b = tq_signal_maskall(0);
			 pthread_sigmask(SIG_BLOCK, nullptr, &now);
			 return rc(a, blocked, b, sigismember(&now, SIGUSR1));
		 }},
		{"tq_signal_mask", family::process, true,
		 [] {
			 int a = tq_signal_mask(1, SIGUSR2);
			 sigset_t now;
			 pthread_sigmask(SIG_BLOCK, nullptr, &now);
			 int blocked = sigismember(&now, SIGUSR2);
			 int b = tq_signal_mask(0, SIGUSR2);
			 return rc(a, blocked, b, tq_signal_mask(1, 9999));
		 }},
		{"tq_daemonize_program", family::process, false,
		 [launch_path] {
			 char *argv[] = {const_cast<char *>("x"), nullptr};
			 return rc(tq_daemonize_program(launch_path.c_str(), argv, 1, 1));
		 }},

		// ---- monitor ----
		{"tq_monitor_read_config", family::monitor, true,
		 [] {
			 tq_monitor_cfg_t cfg;
			 int r = tq_monitor_read_config(&cfg, sizeof cfg);
			 return rc(r, tq_monitor_read_config(&cfg, 543)) + " " + digest(&cfg, sizeof cfg);
		 }},
		{"tq_monitor_get_group_status", family::monitor, true,
		 [] {
			 int a = 0, b = 0;
			 int r1 = tq_monitor_get_group_status(1, &a, &b);
			 int c = 0, d = 0;
			 int r2 = tq_monitor_get_group_status(5, &c, &d);
			 return rc(r1, a, b, r2);
		 }},

		{"tq_syslib_exit", family::control, true, [] { return rc(tq_syslib_exit()); }},
	};
}

} // namespace syslib_test
