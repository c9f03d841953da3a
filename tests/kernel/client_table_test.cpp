// The 802.1X client table: request areas, result tests, and reports read
// from the area after the call.
#include "checks.h"

#include <array>
#include <functional>
#include <string>

using namespace syslib_test;

namespace {

using client_table_test = kmod_test;

const uint8_t mac_a[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

} // namespace

TEST_F(client_table_test, each_command_sends_560_bytes_laid_out_as_its_function_says)
{
	uint8_t msg[20];
	for (size_t i = 0; i < sizeof msg; ++i)
		msg[i] = static_cast<uint8_t>(0xc0 + i);
	uint32_t value = 0, count = 0;
	tq_sys_mac_entry_t entry{};
	tq_syslib_mac_set_mlme(msg, sizeof msg);
	tq_syslib_mac_set_dyn_vlan(msg, sizeof msg);
	tq_syslib_mac_set_val(TQSYS_VALUE_SET_CMD(5), 0xfeedf00d, "v");
	tq_syslib_mac_get_val(TQSYS_VALUE_GET_CMD(5), &value, "v");
	tq_syslib_mac_get_cnt(TQSYS_COUNT_REFUSED, &count);
	tq_syslib_mac_get_list(0x11111111, 0x22222222, 0x33333333);
	tq_syslib_mac_get_one(mac_a, &entry);
	// The unused first argument leaves no trace.
	tq_syslib_mac_set_status(0xffffffff, mac_a, 1, 0xabcd);
	tq_syslib_mac_set_status(0, mac_a, 0, 0xabcd);
	EXPECT_EQ(value, 0xfeedf00du) << "the module's value, read from word 0";

	static uint8_t want[9][560];
	auto put = [](int i, size_t at, uint32_t w) { std::memcpy(want[i] + at, &w, 4); };
	std::memcpy(want[0], msg, sizeof msg);
	std::memcpy(want[1], msg, sizeof msg);
	put(2, 0, 0xfeedf00d);
	put(4, 0, TQSYS_COUNT_REFUSED);
	put(5, 0, 0x11111111), put(5, 4, 0x22222222), put(5, 8, 0x33333333);
	for (int i : {6, 7, 8})
		std::memcpy(want[i], mac_a, 6);
	put(7, 8, 0xabcd), put(8, 8, 0xabcd);
	const uint32_t cmds[] = {0x8000, 0x800F, 0x8105, 0x8205, 0x8008, 0x8009, 0x800A, 0x800C, 0x800B};
	auto all = requests();
	ASSERT_EQ(all.size(), 9u);
	for (size_t i = 0; i < all.size(); ++i) {
		EXPECT_EQ(all[i].cmd, cmds[i]) << i;
		EXPECT_EQ(all[i].len, 560u) << i;
		EXPECT_EQ(std::memcmp(all[i].bytes, want[i], 560), 0) << "request " << i;
	}
}

TEST_F(client_table_test, get_one_copies_exactly_the_72_entry_bytes)
{
	struct {
		tq_sys_mac_entry_t entry;
		uint8_t after[32];
	} out;
	std::memset(&out, 0xee, sizeof out);
	uint8_t reply[560];
	std::memset(reply, 0x77, sizeof reply);
	inject(0x800A, 0, 0, reply, sizeof reply);
	ASSERT_EQ(tq_syslib_mac_get_one(mac_a, &out.entry), 0);
	EXPECT_EQ(std::memcmp(&out.entry, reply, 72), 0);
	for (uint8_t b : out.after)
		ASSERT_EQ(b, 0xee);
}

TEST_F(client_table_test, messages_that_do_not_fit_the_area_are_refused)
{
	std::array<uint8_t, 600> big;
	big.fill(0x42);
	tq_syslib_mac_set_mlme(big.data(), 560);
	EXPECT_EQ(std::memcmp(only_request().bytes, big.data(), 560), 0) << "560 bytes fit";

	tqsys_module_clear_requests();
	reports.clear();
	EXPECT_EQ(tq_syslib_mac_set_mlme(big.data(), 561), -1);
	EXPECT_EQ(tq_syslib_mac_set_dyn_vlan(big.data(), -1), -1);
	EXPECT_TRUE(requests().empty());
	auto all = reports.all();
	ASSERT_EQ(all.size(), 2u);
	EXPECT_EQ(all[0].text, "syslib set 1x MLME failed, 00:00:00:00:00:00 (0)");
	EXPECT_EQ(all[1].text, "syslib set dynamic vlan fail, ifindex=0");
}

TEST_F(client_table_test, negative_results_fail_with_the_functions_report_and_nothing_written)
{
	// The module leaves its own bytes in the area: the MLME and VLAN
	// reports show them, nothing reaches the caller.
	uint8_t scribble[16] = {0, 0, 0, 0, 0, 0, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
	const int32_t module_word = -7, caller_ifindex = 12;
	std::memcpy(scribble, &module_word, 4);
	uint8_t vlan_msg[12] = {};
	std::memcpy(vlan_msg, &caller_ifindex, 4);
	uint8_t mlme_msg[12] = {1};
	uint32_t value = 0x5a5a5a5a, count = 0x5a5a5a5a;
	tq_sys_mac_entry_t entry;
	std::memset(&entry, 0x5a, sizeof entry);
	const tq_sys_mac_entry_t entry_before = entry;
	const std::string auth = "syslib set authentication %s on client %m failed\n";
	const std::string on_a = " on client 02:11:22:33:44:55 failed\n";

	const struct {
		uint32_t cmd;
		tqrt_channel channel;
		std::string fmt, text;
		std::function<int()> call;
	} rows[] = {
		{0x8000, TQRT_ERR, "syslib set 1x MLME failed, %m (%d)",
		 "syslib set 1x MLME failed, 0a:0b:0c:0d:0e:0f (" + std::to_string(scribble[0]) + ")",
		 [&] { return tq_syslib_mac_set_mlme(mlme_msg, sizeof mlme_msg); }},
		{0x800F, TQRT_ERR, "syslib set dynamic vlan fail, ifindex=%d", "syslib set dynamic vlan fail, ifindex=-7",
		 [&] { return tq_syslib_mac_set_dyn_vlan(vlan_msg, sizeof vlan_msg); }},
		{0x8123, TQRT_LOG, "syslib %s failed", "syslib rate limit failed",
		 [&] { return tq_syslib_mac_set_val(0x8123, 9, "rate limit"); }},
		{0x8223, TQRT_ERR, "syslib %s failed", "syslib rate limit failed",
		 [&] { return tq_syslib_mac_get_val(0x8223, &value, "rate limit"); }},
		{0x8008, TQRT_ERR, "syslib get 8021x MAC table cnt failed", "syslib get 8021x MAC table cnt failed",
		 [&] { return tq_syslib_mac_get_cnt(0, &count); }},
		{0x8009, TQRT_ERR, "syslib get 8021x MAC table failed", "syslib get 8021x MAC table failed",
		 [&] { return tq_syslib_mac_get_list(1, 0, 1); }},
		{0x800A, TQRT_ERR, "syslib get 8021x MAC entry failed, %m",
		 "syslib get 8021x MAC entry failed, 02:11:22:33:44:55",
		 [&] { return tq_syslib_mac_get_one(mac_a, &entry); }},
		{0x800C, TQRT_ERR, auth, "syslib set authentication successful" + on_a,
		 [&] { return tq_syslib_mac_set_status(0, mac_a, 5, 1); }},
		{0x800B, TQRT_ERR, auth, "syslib set authentication failure" + on_a,
		 [&] { return tq_syslib_mac_set_status(0, mac_a, 0, 1); }},
	};
	for (const auto &row : rows) {
		for (int rc : {-1, -22}) {
			reports.clear();
			inject(row.cmd, rc, 0, scribble, sizeof scribble);
			EXPECT_EQ(row.call(), -1) << row.text;
			expect_one_report(reports, row.channel, 4, row.fmt, row.text);
			EXPECT_EQ(value, 0x5a5a5a5au) << row.text;
			EXPECT_EQ(count, 0x5a5a5a5au) << row.text;
			EXPECT_EQ(std::memcmp(&entry, &entry_before, sizeof entry), 0) << row.text;
		}
		// Positive results are no failure.
		reports.clear();
		inject(row.cmd, 3);
		EXPECT_EQ(row.call(), 0) << row.text;
		EXPECT_EQ(reports.size(), 0u) << row.text;
		value = count = 0x5a5a5a5a;
		entry = entry_before;
	}
}

TEST_F(client_table_test, guard_stops_all_eight_before_init)
{
	tq_syslib_exit();
	uint8_t msg[8] = {1};
	uint32_t value = 11, count = 12;
	tq_sys_mac_entry_t entry;
	std::memset(&entry, 0x99, sizeof entry);
	EXPECT_EQ(tq_syslib_mac_set_mlme(msg, 8), -1);
	EXPECT_EQ(tq_syslib_mac_set_dyn_vlan(msg, 8), -1);
	EXPECT_EQ(tq_syslib_mac_set_val(TQSYS_VALUE_SET_CMD(0), 1, "x"), -1);
	EXPECT_EQ(tq_syslib_mac_get_val(TQSYS_VALUE_GET_CMD(0), &value, "x"), -1);
	EXPECT_EQ(tq_syslib_mac_get_cnt(0, &count), -1);
	EXPECT_EQ(tq_syslib_mac_get_list(0, 0, 0), -1);
	EXPECT_EQ(tq_syslib_mac_get_one(mac_a, &entry), -1);
	EXPECT_EQ(tq_syslib_mac_set_status(0, mac_a, 1, 0), -1);
	EXPECT_EQ(value, 11u);
	EXPECT_EQ(count, 12u);
	EXPECT_EQ(entry.ifindex, static_cast<int32_t>(0x99999999));
	expect_guarded(reports, 8);
}
