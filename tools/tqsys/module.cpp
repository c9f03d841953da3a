// tqsys module: the kernel-module stand-in of a workstation, seeded and
// inspected from the shell.
#include "commands.h"

#include "tqsys_module.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

namespace tqsys {
namespace {

int module_call(const args &a, int rc, const std::string &done)
{
	if (rc != 0) {
		const char *problem = standin_problem();
		return failed(a, a.command.substr(7) + " failed: " + (problem ? problem : std::strerror(errno)));
	}
	std::cout << done << "\n";
	return exit_ok;
}

// Text longer than its record takes is refused, not cut.
void fits(const args &a, const std::string &what, size_t size, size_t most, const char *record)
{
	if (size > most)
		throw usage_error(a.command + ": the " + what + " is " + std::to_string(size) + " bytes, at most " +
				  std::to_string(most) + " fit " + record);
}

int status(const args &a)
{
	const char *problem = standin_problem(), *dir = lookup<const char *(*)()>("tqsys_module_state_dir")();
	tqsys_status st{};
	if (problem || lookup<int (*)(tqsys_status *)>("tqsys_module_status")(&st) != 0)
		return failed(a, std::string("the state in ") + dir + " is unusable: " + (problem ? problem : std::strerror(errno)));
	table t({{""}, {""}});
	json doc = {{"state_dir", dir}, {"usable", true}};
	t.add({"state", dir}), t.add({"usable", "yes"});
	const std::pair<const char *, uint32_t> words[] = {
		{"swdog_enabled", st.swdog_enabled}, {"swdog_sets", st.swdog_sets},     {"admin_uid_set", st.admin_uid_set},
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

int cmd_module(const args &a)
{
	const std::string op = a.command.substr(7);
	if (!lookup<void *>("tqsys_module_problem"))
		return failed(a, "the kernel-module stand-in is not loaded (preload it: "
				 "LD_PRELOAD=<prefix>/lib/libtqsys_module.so)");
	if (op == "status")
		return status(a);
	if (op == "reset")
		return module_call(a, lookup<int (*)()>("tqsys_module_reset")(), "every table of the stand-in emptied");
	if (op == "trace") {
		std::string text;
		for (const std::string &w : a.words)
			text.append(text.empty() ? "" : " ").append(w);
		// The record keeps a terminator, and the line its newline.
		fits(a, "text", text.size(), sizeof tqsys_kernel_trace::text - 2, "the kernel trace");
		return module_call(a, lookup<int (*)(const char *)>("tqsys_module_set_kernel_trace")((text + "\n").c_str()),
				   "kernel trace set");
	}
	if (op == "reboot") {
		const uint32_t reason = number(a, 0, 0, UINT32_MAX, "REASON");
		const std::string note = a.words.size() > 1 ? a.words[1] : "";
		fits(a, "note", note.size(), sizeof tqsys_reboot_info::note - 1, "the reboot record");
		return module_call(a, lookup<int (*)(uint32_t, const char *)>("tqsys_module_set_reboot_info")(reason, note.c_str()),
				   "reboot record stored");
	}
	if (op == "bbox") {
		const std::string d = read_input(a, a.words[0], TQSYS_BBOX_DATA_MAX, "the black box holds");
		return module_call(a, lookup<int (*)(const void *, uint32_t)>("tqsys_module_set_bbox_data")(
					      d.data(), static_cast<uint32_t>(d.size())),
				   "black-box data set (" + std::to_string(d.size()) + " bytes)");
	}
	const mac_address mac = parse_mac(a.words[0], a.command + ": MAC");
	if (op == "client del")
		return module_call(a, lookup<int (*)(const uint8_t *)>("tqsys_module_drop_client")(mac.data()),
				   "client " + mac_text(mac) + " removed");
	tq_sys_mac_entry_t e{};
	std::copy(mac.begin(), mac.end(), e.mac);
	e.auth_state = static_cast<uint32_t>(parse_number(a.auth, 0, 2, "module client add: --auth"));
	e.vlan_id = static_cast<uint16_t>(parse_number(a.vlan, 0, 4095, "module client add: --vlan"));
	e.auth_value = static_cast<uint32_t>(parse_number(a.value, 0, UINT32_MAX, "module client add: --value"));
	e.ifindex = static_cast<int32_t>(parse_number(a.ifindex, 0, INT32_MAX, "module client add: --ifindex"));
	return module_call(a, lookup<int (*)(const tq_sys_mac_entry_t *)>("tqsys_module_put_client")(&e),
			   "client " + mac_text(mac) + " put in the table");
}

} // namespace tqsys
