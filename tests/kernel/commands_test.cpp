// Every command of the control device in one table: which results fail
// and how, the bytes the module receives, and what comes back to the
// caller. Then the commands outside it: hardware watchdog, clock, port.
#include "harness.h"

#include <cstdlib>
#include <sys/stat.h>
#include <sys/time.h>

using namespace syslib_test;

namespace {

uint8_t in[600], out[600], reply[560];  // the caller's memory; the module's reply
[[maybe_unused]] const bool filled = [] {
	for (size_t i = 0; i < sizeof in; ++i)
		in[i] = static_cast<uint8_t>(i * 3 + 5), reply[i % 560] = static_cast<uint8_t>(i * 7 + 1);
	return true;
}();
const std::string untouched(sizeof out, '\xee');
std::string S(const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); }
std::string w(uint32_t v) { return S(&v, 4); }  // one word in the processor's order
auto *filter = reinterpret_cast<tq_sys_filter_t *>(out);
auto *word = reinterpret_cast<uint32_t *>(out);
uint32_t list_count;
// A list request: the caller's memory (`out`), then its size in bytes.
std::string list_request(uint32_t bytes)
{
	auto a = reinterpret_cast<uintptr_t>(out);
	return w(3) + w(static_cast<uint32_t>(a)) + w(bytes) + (sizeof a > 4 ? w(static_cast<uint32_t>(static_cast<uint64_t>(a) >> 32)) : "");
}

// What the module leaves in a request when it fails: the reports that
// read the request after the call show it. Its status word is not 0.
const uint8_t scribble[16] = {0x21, 0, 0x12, 0x34, 0, 0, 0, 9, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
const std::string vlan = std::to_string(static_cast<int32_t>(word_at(scribble, 0)));

const struct command {
	uint32_t cmd;
	int (*call)();
	int bad, good, scribbled;  // results; bytes of the scribble on failure
	std::string report;        // empty: the diagnostic commands' own
	std::string sent;          // what the module receives; zeros follow
	uint32_t reply_at = 0, reply_len = 0;  // from `reply`, on success
	std::string back = "";     // then what the caller's `out` holds
} commands[] = {
	{0x7001, [] { return tq_syslib_set_fake_admin_uid(0x01020304); }, -1, -2, 0, "err: sys ioctl 28673 failed", w(0x01020304)},
	{0x1000, tq_syslib_swdog_enable, -1, -2, 0, "err: sys ioctl 4096 failed", w(0)},
	{0x1000, tq_syslib_swdog_disable, -1, 1, 0, "err: sys ioctl 4096 failed", w(1)},
	{0x1000, tq_syslib_swdog_set, -1, 0, 0, "err: sys ioctl 4096 failed", w(2)},
	{0x3001, [] { return tq_syslib_filter_add(reinterpret_cast<tq_sys_filter_t *>(in)); }, -2, 1, 16, "err: sys filter add ioctl failed", w(0) + S(in, 64)},
	{0x3001, [] { return tq_syslib_filter_del(0x11223344); }, -2, 0, 16, "log 4: sys filter del ioctl failed", w(1) + w(0x11223344)},
	{0x3001, [] { return tq_syslib_filter_get(filter); }, -2, 1, 16, "log 4: sys filter get ioctl failed", w(4) + w(0) + w(0xeeeeeeee), 0, 68, S(reply + 4, 64)},
	{0x3001, [] { return tq_syslib_filter_get_cnt(word); }, -2, 1, 16, "err: sys filter get count ioctl failed", w(2), 0, 68, S(reply + 4, 4)},
	{0x3001, [] { return list_count = 3, tq_syslib_filter_get_list(filter, &list_count); }, -2, 0, 16, "err: sys filter get list failed", list_request(192)},
	{0x8000, [] { return tq_syslib_mac_set_mlme(in, 560); }, -22, 3, 16, "err: syslib set 1x MLME failed, 00:09:0a:0b:0c:0d (33)", S(in, 560)},
	{0x800F, [] { return tq_syslib_mac_set_dyn_vlan(in, 0); }, -22, 0, 16, "err: syslib set dynamic vlan fail, ifindex=" + vlan, ""},
	{0x8123, [] { return tq_syslib_mac_set_val(0x8123, 0xfeedf00d, "rate"); }, -22, 3, 16, "log 4: syslib rate failed", w(0xfeedf00d)},
	{0x8223, [] { return tq_syslib_mac_get_val(0x8223, word, "rate"); }, -22, 3, 16, "err: syslib rate failed", "", 0, 560, S(reply, 4)},
	{0x8008, [] { return tq_syslib_mac_get_cnt(2, word); }, -22, 3, 16, "err: syslib get 8021x MAC table cnt failed", w(2), 0, 560, S(reply + 4, 4)},
	{0x8009, [] { return tq_syslib_mac_get_list(0x11111111, 0x22222222, 0x33333333); }, -22, 3, 16, "err: syslib get 8021x MAC table failed", w(0x11111111) + w(0x22222222) + w(0x33333333)},
	{0x800A, [] { return tq_syslib_mac_get_one(in, reinterpret_cast<tq_sys_mac_entry_t *>(out)); }, -22, 3, 16, "err: syslib get 8021x MAC entry failed, 05:08:0b:0e:11:14", S(in, 6), 0, 560, S(reply, 72)},
	{0x800C, [] { return tq_syslib_mac_set_status(~0u, in, 5, 0xabcd); }, -22, 3, 16, "err: syslib set authentication successful on client 05:08:0b:0e:11:14 failed\n", S(in, 6) + w(0).substr(2) + w(0xabcd)},
	{0x800B, [] { return tq_syslib_mac_set_status(0, in, 0, 0xabcd); }, -22, 0, 16, "err: syslib set authentication failure on client 05:08:0b:0e:11:14 failed\n", S(in, 6) + w(0).substr(2) + w(0xabcd)},
	{0x90FF, tq_syslib_crash_kernel, 77, 0, 0, "", ""},
	{0x9001, [] { return tq_syslib_get_kernel_trace(in); }, -5, 0, 0, "", S(in, 512)},
	{0x9002, tq_syslib_clear_kernel_trace, 77, 0, 0, "", ""},
	{0x9003, [] { return tq_syslib_get_reboot_info(in); }, 77, 0, 0, "", S(in, 64)},
	{0x9004, tq_syslib_clear_reboot_info, 77, 0, 0, "", ""},
	{0x9005, [] { return tq_syslib_set_reboot_info(in); }, 77, 0, 0, "", S(in, 64)},
	{0x9006, tq_syslib_clear_magic_done, 77, 0, 0, "", ""},
	{0x90F0, [] { return tq_syslib_get_bbox_info(nullptr); }, 77, 0, 0, "", ""},  // null passes as null
	{0x90F1, [] { return tq_syslib_get_bbox_data(in); }, -5, 0, 0, "", S(in, 512)},
	{0x90F2, tq_syslib_start_update_bbox_this_time, 77, 0, 0, "", ""},
	{0x90F3, tq_syslib_stop_update_bbox_this_time, 77, 0, 0, "", ""},
	{0x90F4, [] { return tq_syslib_get_update_bbox_this_time(in); }, -5, 0, 0, "", S(in, 4)},
	{0x4008, [] { return tq_syslib_cm_set_val(7, 0x102); }, 0, 3, 16, "log 3: syslib ioctl 553652788(type 7) failed", std::string("\0\0\x40\x08\0\0\0\0\0\0\0\x07\0\0\x01\x02", 16)},
	// The response lands in the caller's 16 bytes, whatever the result.
	{0x4008, [] { return tq_syslib_cm_set_val_rsp(-1, 0x102, reinterpret_cast<tq_cm_val_msg_t *>(out)); }, -4, 0, 4, "log 3: syslib ioctl 553652788(type -1) failed", std::string("\0\0\x40\x08\0\0\0\0\xff\xff\xff\xff\0\0\x01\x02", 16), 8, 8, std::string("\0\0\x40\x08\0\0\0\0", 8) + S(reply, 8)},
};

const std::string flash = "flash 5: syslib ioctl TQ_SYS_IOCTL_TEST_CRASH_KERNEL.\n";

using commands_test = kmod_test;

} // namespace

TEST_F(commands_test, a_failed_result_or_no_init_is_reported_once_and_writes_nothing_back)
{
	std::memset(out, 0xee, sizeof out);
	list_count = 3;
	for (const command &c : commands) {
		SCOPED_TRACE(c.cmd);
		clear_reports();
		inject(c.cmd, c.bad, 0, scribble, c.scribbled);
		EXPECT_EQ(c.call(), (c.cmd >> 12) == 9 ? c.bad : -1);
		std::string diag = "log 3: syslib ioctl " + std::to_string(c.cmd) + " failed, rc = " + std::to_string(c.bad) + "\n";
		std::vector<std::string> want{c.report.empty() ? diag : c.report};
		if (c.cmd == 0x90FF)
			want.insert(want.begin(), flash);  // first, in case the kernel does go down
		EXPECT_EQ(reported(), want);
		EXPECT_TRUE(c.cmd == 0x4008 || (S(out, sizeof out) == untouched && list_count == 3));
	}
	tq_syslib_exit();
	std::memset(out, 0xee, sizeof out);
	tqsys_module_clear_requests();
	clear_reports();
	for (const command &c : commands)
		EXPECT_EQ(c.call(), -1) << c.cmd;
	EXPECT_EQ(requests().size(), 0u);
	EXPECT_EQ(S(out, sizeof out), untouched);
	EXPECT_EQ(reported(), std::vector<std::string>(std::size(commands), "err: syslib not initialized\n"));
}

TEST_F(commands_test, other_results_succeed_silently_with_the_layout_of_the_command)
{
	for (const command &c : commands) {
		SCOPED_TRACE(c.cmd);
		clear_reports();
		tqsys_module_clear_requests();
		std::memset(out, 0xee, sizeof out);
		inject(c.cmd, c.good, c.reply_at, reply, c.reply_len);
		EXPECT_EQ(c.call(), 0);
		EXPECT_EQ(reported(), std::vector<std::string>(c.cmd == 0x90FF, flash));
		auto all = requests();
		ASSERT_EQ(all.size(), 1u);
		EXPECT_EQ((std::pair{all[0].device, all[0].cmd}), (std::pair{uint32_t{TQSYS_DEV_CONTROL}, c.cmd}));
		ASSERT_GE(all[0].len, c.sent.size());
		EXPECT_EQ(S(all[0].bytes, all[0].len), c.sent + std::string(all[0].len - c.sent.size(), '\0'));
		EXPECT_EQ(S(out, sizeof out), c.back + untouched.substr(c.back.size()));
	}
}

TEST_F(commands_test, sizes_at_the_edges_filter_list_bytes_in_32_bits_messages_past_the_area)
{
	const struct {
		uint32_t count_in, bytes_back, capacity_sent, count_out;
	} rows[] = {{4, 130, 256, 2}, {0, 64, 0, 1}, {3, 63, 192, 0}, {0x4000000u, 128, 0, 2}};
	for (const auto &r : rows) {
		tqsys_module_clear_requests();
		inject(0x3001, 0, 8, &r.bytes_back, 4);
		uint32_t count = r.count_in;
		ASSERT_EQ(tq_syslib_filter_get_list(filter, &count), 0);
		std::string sent = list_request(r.capacity_sent);
		EXPECT_EQ(S(requests().at(0).bytes, 68), sent + std::string(68 - sent.size(), '\0'));
		EXPECT_EQ(count, r.count_out) << r.bytes_back;
	}
	// A message that does not fit the area is refused, not cut.
	tqsys_module_clear_requests();
	EXPECT_EQ(tq_syslib_mac_set_mlme(in, 561), -1);
	EXPECT_EQ(tq_syslib_mac_set_dyn_vlan(in, -1), -1);
	EXPECT_EQ(requests().size(), 0u);
	EXPECT_EQ(reported(), (std::vector<std::string>{"err: syslib set 1x MLME failed, 00:00:00:00:00:00 (0)",
							 "err: syslib set dynamic vlan fail, ifindex=0"}));
}

TEST_F(commands_test, hwdog_needs_no_init_and_fails_on_any_nonzero_result_clock_takes_a_time_zone)
{
	tq_syslib_exit();
	for (auto [call, cmd, hex] : {std::tuple{&tq_syslib_hwdog_activate, 0x5004u, "5004"},
				      {&tq_syslib_hwdog_deactivate, 0x5005u, "5005"}}) {
		tqsys_module_clear_requests();
		clear_reports();
		EXPECT_EQ(call(), 0);
		ASSERT_EQ(requests().size(), 1u);
		auto r = requests()[0];
		EXPECT_EQ((std::tuple{r.device, r.cmd, r.arg}), (std::tuple{TQSYS_DEV_BOARD, cmd, uint64_t{0}}));
		for (int rc : {1, -1}) {
			inject(cmd, rc, 0, nullptr, 0, TQSYS_DEV_BOARD);
			EXPECT_EQ(call(), -1) << rc;
		}
		EXPECT_EQ(reported(), std::vector<std::string>(2, std::string("err: hwdog ioctl ") + hex + " failed"));
	}
	struct timeval now;
	struct timezone tz;
	ASSERT_EQ(gettimeofday(&now, &tz), 0);
	// The kernel's own time zone again: nothing changes, but it is a set.
	EXPECT_EQ(tq_syslib_settimeofday(nullptr, &tz), 0);
}

TEST(kernel_port_test, any_line_holding_the_digits_marks_the_port_in_use)
{
	const std::string dir = scratch_dir() + "/bin", path = getenv("PATH");
	mkdir(dir.c_str(), 0755);
	setenv("PATH", (dir + ":" + path).c_str(), 1);
	for (auto [output, port, rc] : {std::tuple{"", 18080, 0}, {"tcp 0 0 127.0.0.1:18080 LISTEN", 18080, -1},
					{"tcp 0 0 127.0.0.1:18080 LISTEN", 27, -1}, {"tcp 0 0 127.0.0.1:18080 LISTEN", 4444, 0}}) {
		ASSERT_TRUE(write_file(dir + "/netstat", std::string("#!/bin/sh\necho '") + output + "'\n"));
		ASSERT_EQ(chmod((dir + "/netstat").c_str(), 0755), 0);
		EXPECT_EQ(tq_syslib_check_port_valid(port), rc) << output << " " << port;
	}
	setenv("PATH", path.c_str(), 1);
}
