// Every command of the control device in one table: which results fail
// and how, the bytes the module receives, and what comes back to the
// caller. Then the commands outside it: hardware watchdog, clock, port.
#include "harness.h"

#include <array>
#include <numeric>

using namespace syslib_test;

namespace {

uint8_t in[600], out[600], reply[560];  // the caller's memory; the module's reply
const bool filled = (std::iota(in, in + 600, uint8_t{5}), std::iota(reply, reply + 560, uint8_t{1}), true);
const std::string untouched(sizeof out, '\xee');
std::string S(const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); }
std::string w(uint32_t v) { return S(&v, 4); }  // one word in the processor's order
using strings = std::vector<std::string>;
std::string padded(std::string s, size_t n) { return s.resize(n), s; }  // with zeros
auto *filter = reinterpret_cast<tq_sys_filter_t *>(out);
auto *word = reinterpret_cast<uint32_t *>(out);
uint32_t list_count;
// A list request: the caller's memory (`out`), then its size in bytes.
std::string list_request(uint32_t bytes)
{
	const uint64_t a = reinterpret_cast<uintptr_t>(out);
	return w(3) + w(uint32_t(a)) + w(bytes) + (sizeof(void *) > 4 ? w(uint32_t(a >> 32)) : "");
}
// The 802.1X client named in a request, and its status word.
const std::string mac = S(in, 6) + w(0).substr(2) + w(300);
const std::string auth = "err: syslib set authentication ", on = " on client 05:06:07:08:09:0a failed\n";
const std::string cm = S("\0\0\x40\x08\0\0\0\0", 8);  // typed value header, big-endian
const std::string flash = "flash 5: syslib ioctl TQ_SYS_IOCTL_TEST_CRASH_KERNEL.\n";

// What the module leaves in a request when it fails: the reports that
// read the request after the call show it. Its status word is not 0.
const uint8_t scribble[16] = {0x21, 0, 0x12, 0x34, 0, 0, 0, 9, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
const std::string vlan = [] { int32_t v; return std::memcpy(&v, scribble, 4), std::to_string(v); }();

#define CALL(...) [] { return __VA_ARGS__; }

// Per command: the results that fail and succeed, the bytes of the
// scribble on failure and the report then (empty: the diagnostic
// commands' own); what the module receives (zeros follow). On success the
// module writes `len` bytes of `reply` at `at` in the request, and the
// caller's `out` holds `n` bytes of the request from `from`.
const struct command {
	uint32_t cmd;
	int (*call)();
	int bad, good, scribbled;
	std::string report, sent;
	uint32_t at = 0, len = 0, from = 0, n = 0;
} commands[] = {
	{0x7001, CALL(tq_syslib_set_fake_admin_uid(7)), -1, -2, 0, "err: sys ioctl 28673 failed", w(7)},
	{0x1000, tq_syslib_swdog_enable, -1, -2, 0, "err: sys ioctl 4096 failed", w(0)},
	{0x1000, tq_syslib_swdog_disable, -1, 1, 0, "err: sys ioctl 4096 failed", w(1)},
	{0x1000, tq_syslib_swdog_set, -1, 0, 0, "err: sys ioctl 4096 failed", w(2)},
	{0x3001, CALL(tq_syslib_filter_add(reinterpret_cast<tq_sys_filter_t *>(in))), -2, 1, 16,
	 "err: sys filter add ioctl failed", w(0) + S(in, 64)},
	{0x3001, CALL(tq_syslib_filter_del(9)), -2, 0, 16, "log 4: sys filter del ioctl failed", w(1) + w(9)},
	{0x3001, CALL(tq_syslib_filter_get(filter)), -2, 1, 16, "log 4: sys filter get ioctl failed",
	 w(4) + w(0) + w(0xeeeeeeee), 0, 68, 4, 64},
	{0x3001, CALL(tq_syslib_filter_get_cnt(word)), -2, 1, 16, "err: sys filter get count ioctl failed",
	 w(2), 0, 68, 4, 4},
	{0x3001, CALL(tq_syslib_filter_get_list(filter, &list_count)), -2, 0, 16,
	 "err: sys filter get list failed", list_request(192)},
	{0x8000, CALL(tq_syslib_mac_set_mlme(in, 560)), -22, 3, 16,
	 "err: syslib set 1x MLME failed, 00:09:0a:0b:0c:0d (33)", S(in, 560)},
	{0x800F, CALL(tq_syslib_mac_set_dyn_vlan(in, 0)), -22, 0, 16,
	 "err: syslib set dynamic vlan fail, ifindex=" + vlan, ""},
	{0x8123, CALL(tq_syslib_mac_set_val(0x8123, 7, "mtu")), -22, 3, 16, "log 4: syslib mtu failed", w(7)},
	{0x8223, CALL(tq_syslib_mac_get_val(0x8223, word, "mtu")), -22, 3, 16,
	 "err: syslib mtu failed", "", 0, 560, 0, 4},
	{0x8008, CALL(tq_syslib_mac_get_cnt(2, word)), -22, 3, 16,
	 "err: syslib get 8021x MAC table cnt failed", w(2), 0, 560, 4, 4},
	{0x8009, CALL(tq_syslib_mac_get_list(0x11111111, 0x22222222, 0x33333333)), -22, 3, 16,
	 "err: syslib get 8021x MAC table failed", w(0x11111111) + w(0x22222222) + w(0x33333333)},
	{0x800A, CALL(tq_syslib_mac_get_one(in, reinterpret_cast<tq_sys_mac_entry_t *>(out))), -22, 3, 16,
	 "err: syslib get 8021x MAC entry failed, 05:06:07:08:09:0a", S(in, 6), 0, 560, 0, 72},
	{0x800C, CALL(tq_syslib_mac_set_status(~0u, in, 5, 300)), -22, 3, 16, auth + "successful" + on, mac},
	{0x800B, CALL(tq_syslib_mac_set_status(0, in, 0, 300)), -22, 0, 16, auth + "failure" + on, mac},
	{0x90FF, tq_syslib_crash_kernel, 77, 0, 0, "", ""},
	{0x9001, CALL(tq_syslib_get_kernel_trace(in)), -5, 0, 0, "", S(in, 512)},
	{0x9002, tq_syslib_clear_kernel_trace, 77, 0, 0, "", ""},
	{0x9003, CALL(tq_syslib_get_reboot_info(in)), 77, 0, 0, "", S(in, 64)},
	{0x9004, tq_syslib_clear_reboot_info, 77, 0, 0, "", ""},
	{0x9005, CALL(tq_syslib_set_reboot_info(in)), 77, 0, 0, "", S(in, 64)},
	{0x9006, tq_syslib_clear_magic_done, 77, 0, 0, "", ""},
	{0x90F0, CALL(tq_syslib_get_bbox_info(nullptr)), 77, 0, 0, "", ""},  // null passes as null
	{0x90F1, CALL(tq_syslib_get_bbox_data(in)), -5, 0, 0, "", S(in, 512)},
	{0x90F2, tq_syslib_start_update_bbox_this_time, 77, 0, 0, "", ""},
	{0x90F3, tq_syslib_stop_update_bbox_this_time, 77, 0, 0, "", ""},
	{0x90F4, CALL(tq_syslib_get_update_bbox_this_time(in)), -5, 0, 0, "", S(in, 4)},
	{0x4008, CALL(tq_syslib_cm_set_val(7, 0x102)), 0, 3, 16,
	 "log 3: syslib ioctl 553652788(type 7) failed", cm + S("\0\0\0\x07\0\0\x01\x02", 8)},
	// The response lands in the caller's 16 bytes, whatever the result.
	{0x4008, CALL(tq_syslib_cm_set_val_rsp(-1, 0x12, reinterpret_cast<tq_cm_val_msg_t *>(out))), -4, 0, 4,
	 "log 3: syslib ioctl 553652788(type -1) failed", cm + w(~0u) + S("\0\0\0\x12", 4), 8, 8, 0, 16},
};

using commands_test = kmod_test;

} // namespace

TEST_F(commands_test, failed_results_are_reported_once_and_write_nothing_back_others_pass_with_the_layout)
{
	for (const command &c : commands) {
		SCOPED_TRACE(c.cmd);
		clear_reports();
		tqsys_module_clear_requests();
		std::memset(out, 0xee, sizeof out);
		list_count = 3;
		inject(c.cmd, c.bad, 0, scribble, c.scribbled);
		errno = 0;
		EXPECT_EQ(c.call(), (c.cmd >> 12) == 9 ? c.bad : -1);
		EXPECT_EQ(errno, c.bad < 0 ? EIO : 0);  // the module's, through the report
		const std::string diag = "log 3: syslib ioctl " + std::to_string(c.cmd) + " failed, rc = ";
		strings want{c.report.empty() ? diag + std::to_string(c.bad) + "\n" : c.report};
		if (c.cmd == 0x90FF)
			want.insert(want.begin(), flash);  // first, in case the kernel does go down
		EXPECT_EQ(reported(), want);
		EXPECT_TRUE(c.cmd == 0x4008 || (S(out, sizeof out) == untouched && list_count == 3));

		clear_reports();
		inject(c.cmd, c.good, c.at, reply, c.len);
		EXPECT_EQ(c.call(), 0);
		EXPECT_EQ(reported(), strings(c.cmd == 0x90FF, flash));
		ASSERT_EQ(requests().size(), 2u);
		const tqsys_request r = requests()[1];
		EXPECT_EQ((std::pair{r.device, r.cmd}), (std::pair{uint32_t{TQSYS_DEV_CONTROL}, c.cmd}));
		EXPECT_EQ(S(r.bytes, r.len), padded(c.sent, r.len));
		const std::string left = padded(c.sent, r.len).replace(c.at, c.len, S(reply, c.len));
		EXPECT_EQ(S(out, sizeof out), left.substr(c.from, c.n) + untouched.substr(c.n));
	}
	tq_syslib_exit();
	tqsys_module_clear_requests();
	clear_reports();
	std::memset(out, 0xee, sizeof out);
	for (const command &c : commands)
		EXPECT_EQ(c.call(), -1) << c.cmd;
	EXPECT_EQ((std::pair{requests().size(), S(out, sizeof out)}), (std::pair{size_t{0}, untouched}));
	EXPECT_EQ(reported(), strings(std::size(commands), "err: syslib not initialized\n"));
}

TEST_F(commands_test, sizes_at_the_edges_filter_list_bytes_in_32_bits_messages_past_the_area)
{
	for (auto [count, bytes, capacity, want] : {std::array<uint32_t, 4>{4, 130, 256, 2}, {0, 64, 0, 1},
						     {3, 63, 192, 0}, {0x4000000, 128, 0, 2}}) {
		tqsys_module_clear_requests();
		inject(0x3001, 0, 8, &bytes, 4);
		ASSERT_EQ(tq_syslib_filter_get_list(filter, &count), 0);
		EXPECT_EQ(S(requests().at(0).bytes, 68), padded(list_request(capacity), 68));
		EXPECT_EQ(count, want) << bytes;
	}
	// errno is the module's: the stand-in's for a duplicate and a missing filter.
	tq_sys_filter_t f{1, 7, {}};
	EXPECT_EQ((std::tuple{tq_syslib_filter_add(&f), tq_syslib_filter_add(&f), int{errno},
			      tq_syslib_filter_del(2), int{errno}}),
		  (std::tuple{0, -1, EEXIST, -1, ENOENT}));
	clear_reports();
	// A message that does not fit the area is refused, not cut.
	tqsys_module_clear_requests();
	EXPECT_EQ((std::tuple{tq_syslib_mac_set_mlme(in, 561), tq_syslib_mac_set_dyn_vlan(in, -1),
			      requests().size()}), (std::tuple{-1, -1, size_t{0}}));
	const std::string refused = " bytes does not fit the request of 560 bytes, nothing sent\n";
	EXPECT_EQ(reported(), (strings{"err: tq_syslib_mac_set_mlme: a message of 561" + refused,
					"err: tq_syslib_mac_set_dyn_vlan: a message of -1" + refused}));
}

TEST_F(commands_test, hwdog_needs_no_init_and_fails_on_any_nonzero_result_clock_takes_a_time_zone)
{
	tq_syslib_exit();
	for (auto [call, cmd] : {std::pair{&tq_syslib_hwdog_activate, 0x5004u},
				 {&tq_syslib_hwdog_deactivate, 0x5005u}}) {
		tqsys_module_clear_requests();
		inject(cmd, 1, 0, nullptr, 0, TQSYS_DEV_BOARD);
		inject(cmd, -1, 0, nullptr, 0, TQSYS_DEV_BOARD);
		EXPECT_EQ((std::tuple{call(), call(), call()}), (std::tuple{-1, -1, 0}));
		ASSERT_EQ(requests().size(), 3u);
		for (const tqsys_request &r : requests())
			EXPECT_EQ((std::pair{r.device, r.cmd}), (std::pair{uint32_t{TQSYS_DEV_BOARD}, cmd}));
	}
	struct timeval now, bad{0, 2000000};  // the time is passed on: the kernel refuses this one
	struct timezone tz;
	ASSERT_EQ(gettimeofday(&now, &tz), 0);
	// The kernel's own time zone again: nothing changes, but it is a set.
	EXPECT_EQ((std::pair{tq_syslib_settimeofday(nullptr, &tz), tq_syslib_settimeofday(&bad, nullptr)}),
		  (std::pair{0, -1}));
	const std::string act = "err: hwdog ioctl 5004 failed", deact = "err: hwdog ioctl 5005 failed";
	EXPECT_EQ(reported(), (strings{act, act, deact, deact, "err: syslib settimeofday failed.\n"}));
}

TEST(kernel_port_test, any_line_holding_the_digits_marks_the_port_in_use)
{
	const std::string dir = scratch_dir() + "/bin", path = getenv("PATH");
	mkdir(dir.c_str(), 0755);
	ASSERT_TRUE(write_file(dir + "/netstat", "#!/bin/sh\necho 'tcp 0 0 127.0.0.1:18080 LISTEN'\n"));
	ASSERT_EQ(chmod((dir + "/netstat").c_str(), 0755), 0);
	setenv("PATH", (dir + ":" + path).c_str(), 1);
	for (auto [port, rc] : {std::pair{18080, -1}, {27, -1}, {4444, 0}, {-5, 0}})
		EXPECT_EQ(tq_syslib_check_port_valid(port), rc) << port;
	ASSERT_TRUE(write_file(dir + "/netstat", "#!/bin/sh\nexit 127\n"));  // as when it cannot run
	EXPECT_EQ(tq_syslib_check_port_valid(18080), 0);
	setenv("PATH", path.c_str(), 1);
}
