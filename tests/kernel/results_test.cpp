// Every kernel command's result test, failure report and guard, one row a
// command: what fails, what does not, and that a failure writes nothing
// back to the caller.
#include "kmod.h"

#include <string>

using namespace syslib_test;

namespace {

// The caller's out-parameters, filled with a pattern that must survive a
// failure and the guard.
struct outs {
	tq_sys_filter_t rec, list[2];
	uint32_t count, value;
	tq_sys_mac_entry_t entry;
} o, pattern;
uint8_t record[TQSYS_REQUEST_MAX];
tq_cm_val_msg_t rsp;
const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
uint8_t msg[12] = {1};

// What the module leaves in a request area when it fails: the reports
// that read the area after the call show these bytes, not the caller's.
const uint8_t scribble[16] = {0, 0, 0x40, 0x08, 0, 0, 0, 9, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
const std::string vlan_word = std::to_string(static_cast<int32_t>(word_at(scribble, 0)));

const struct row {
	uint32_t cmd;
	int (*call)();
	int bad_rc, good_rc;
	tqrt_channel channel;
	int level;
	std::string text;  // empty: the diagnostic commands' own, with number and result
} rows[] = {
	{0x7001, [] { return tq_syslib_set_fake_admin_uid(7); }, -1, -2, TQRT_ERR, 0, "sys ioctl 28673 failed"},
	{0x1000, tq_syslib_swdog_enable, -1, -2, TQRT_ERR, 0, "sys ioctl 4096 failed"},
	{0x1000, tq_syslib_swdog_disable, -1, 1, TQRT_ERR, 0, "sys ioctl 4096 failed"},
	{0x1000, tq_syslib_swdog_set, -1, -2, TQRT_ERR, 0, "sys ioctl 4096 failed"},
	{0x3001, [] { return tq_syslib_filter_add(&o.rec); }, -2, 1, TQRT_ERR, 0, "sys filter add ioctl failed"},
	{0x3001, [] { return tq_syslib_filter_del(5); }, -2, 1, TQRT_LOG, 4, "sys filter del ioctl failed"},
	{0x3001, [] { return tq_syslib_filter_get(&o.rec); }, -2, 1, TQRT_LOG, 4, "sys filter get ioctl failed"},
	{0x3001, [] { return tq_syslib_filter_get_cnt(&o.count); }, -2, 1, TQRT_ERR, 0,
	 "sys filter get count ioctl failed"},
	{0x3001, [] { return tq_syslib_filter_get_list(o.list, &o.count); }, -2, 1, TQRT_ERR, 0,
	 "sys filter get list failed"},
	{0x8000, [] { return tq_syslib_mac_set_mlme(msg, sizeof msg); }, -22, 3, TQRT_ERR, 0,
	 "syslib set 1x MLME failed, 00:09:0a:0b:0c:0d (0)"},
	{0x800F, [] { return tq_syslib_mac_set_dyn_vlan(msg, sizeof msg); }, -22, 3, TQRT_ERR, 0,
	 "syslib set dynamic vlan fail, ifindex=" + vlan_word},
	{0x8123, [] { return tq_syslib_mac_set_val(0x8123, 9, "rate limit"); }, -22, 3, TQRT_LOG, 4,
	 "syslib rate limit failed"},
	{0x8223, [] { return tq_syslib_mac_get_val(0x8223, &o.value, "rate limit"); }, -22, 3, TQRT_ERR, 0,
	 "syslib rate limit failed"},
	{0x8008, [] { return tq_syslib_mac_get_cnt(0, &o.count); }, -22, 3, TQRT_ERR, 0,
	 "syslib get 8021x MAC table cnt failed"},
	{0x8009, [] { return tq_syslib_mac_get_list(1, 0, 1); }, -22, 3, TQRT_ERR, 0,
	 "syslib get 8021x MAC table failed"},
	{0x800A, [] { return tq_syslib_mac_get_one(mac, &o.entry); }, -22, 3, TQRT_ERR, 0,
	 "syslib get 8021x MAC entry failed, 02:11:22:33:44:55"},
	{0x800C, [] { return tq_syslib_mac_set_status(0, mac, 5, 1); }, -22, 3, TQRT_ERR, 0,
	 "syslib set authentication successful on client 02:11:22:33:44:55 failed\n"},
	{0x800B, [] { return tq_syslib_mac_set_status(0, mac, 0, 1); }, -22, 3, TQRT_ERR, 0,
	 "syslib set authentication failure on client 02:11:22:33:44:55 failed\n"},
	{0x90FF, tq_syslib_crash_kernel, 77, 0, TQRT_LOG, 3, ""},
	{0x9001, [] { return tq_syslib_get_kernel_trace(record); }, -5, 0, TQRT_LOG, 3, ""},
	{0x9002, tq_syslib_clear_kernel_trace, 77, 0, TQRT_LOG, 3, ""},
	{0x9003, [] { return tq_syslib_get_reboot_info(record); }, 77, 0, TQRT_LOG, 3, ""},
	{0x9004, tq_syslib_clear_reboot_info, 77, 0, TQRT_LOG, 3, ""},
	{0x9005, [] { return tq_syslib_set_reboot_info(record); }, 77, 0, TQRT_LOG, 3, ""},
	{0x9006, tq_syslib_clear_magic_done, 77, 0, TQRT_LOG, 3, ""},
	{0x90F0, [] { return tq_syslib_get_bbox_info(record); }, 77, 0, TQRT_LOG, 3, ""},
	{0x90F1, [] { return tq_syslib_get_bbox_data(record); }, -5, 0, TQRT_LOG, 3, ""},
	{0x90F2, tq_syslib_start_update_bbox_this_time, 77, 0, TQRT_LOG, 3, ""},
	{0x90F3, tq_syslib_stop_update_bbox_this_time, 77, 0, TQRT_LOG, 3, ""},
	{0x90F4, [] { return tq_syslib_get_update_bbox_this_time(record); }, 77, 0, TQRT_LOG, 3, ""},
	{0x4008, [] { return tq_syslib_cm_set_val(7, 1); }, -4, 3, TQRT_LOG, 3,
	 "syslib ioctl 16392(type 7) failed"},
	{0x4008, [] { return tq_syslib_cm_set_val_rsp(7, 1, &rsp); }, -4, 3, TQRT_LOG, 3,
	 "syslib ioctl 16392(type 7) failed"},
};

// Only the request areas are big enough for the scribble.
bool has_area(uint32_t cmd) { return cmd == 0x3001 || cmd == 0x4008 || (cmd & 0xf000) == 0x8000; }
// The diagnostic commands hand back the module's result as it is.
bool raw_result(uint32_t cmd) { return (cmd & 0xf000) == 0x9000; }

bool untouched() { return std::memcmp(&o, &pattern, sizeof o) == 0; }

class results_test : public kmod_test {
protected:
	void SetUp() override
	{
		kmod_test::SetUp();
		std::memset(&pattern, 0x5a, sizeof pattern);
		o = pattern;
	}
};

} // namespace

TEST_F(results_test, a_failed_result_is_reported_once_and_writes_nothing_back)
{
	for (const row &r : rows) {
		SCOPED_TRACE("command " + std::to_string(r.cmd) + " " + r.text);
		reports.clear();
		inject(r.cmd, r.bad_rc, 0, has_area(r.cmd) ? scribble : nullptr, has_area(r.cmd) ? 16 : 0);
		EXPECT_EQ(r.call(), raw_result(r.cmd) ? r.bad_rc : -1);
		auto all = reports.all();
		ASSERT_FALSE(all.empty());
		EXPECT_EQ(all.size(), r.cmd == 0x90FF ? 2u : 1u);  // and the crash test's flash line
		EXPECT_EQ(all.back().channel, r.channel);
		if (r.channel != TQRT_ERR) {
			EXPECT_EQ(all.back().level, r.level);
		}
		std::string diag = "syslib ioctl " + std::to_string(r.cmd) + " failed, rc = " +
				   std::to_string(r.bad_rc) + "\n";
		EXPECT_EQ(all.back().text, r.text.empty() ? diag : r.text);
		EXPECT_TRUE(untouched());
	}
}

TEST_F(results_test, other_results_succeed_silently)
{
	for (const row &r : rows) {
		SCOPED_TRACE("command " + std::to_string(r.cmd) + " " + r.text);
		inject(r.cmd, r.good_rc);
		EXPECT_EQ(r.call(), 0);
	}
	for (const report &r : reports.all())
		EXPECT_EQ(r.channel, TQRT_FLASH) << r.text;
}

TEST_F(results_test, the_guard_stops_every_command_before_init)
{
	tq_syslib_exit();
	uint8_t before[sizeof rsp];
	std::memcpy(before, &rsp, sizeof rsp);
	for (const row &r : rows)
		EXPECT_EQ(r.call(), -1) << r.cmd << " " << r.text;
	EXPECT_EQ(tqsys_module_request_count(), 0);
	EXPECT_TRUE(untouched());
	EXPECT_EQ(std::memcmp(before, &rsp, sizeof rsp), 0);
	auto all = reports.all();
	EXPECT_EQ(all.size(), std::size(rows));
	for (const report &r : all)
		EXPECT_EQ(r.fmt, "syslib not initialized\n");
}
