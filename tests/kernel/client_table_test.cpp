// The 802.1X client table: request areas, result tests, reports read from
// the area after the call, and a round trip through the module.
#include "kmod.h"

#include <array>
#include <functional>
#include <string>

using namespace syslib_test;

namespace {

using client_table_test = kmod_test;

const uint8_t mac_a[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t mac_b[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};

bool all_zero(const uint8_t *p, size_t from, size_t to)
{
	for (size_t i = from; i < to; ++i)
		if (p[i])
			return false;
	return true;
}

std::array<uint8_t, 560> mlme_message(uint8_t kind, const uint8_t *mac, int32_t ifindex)
{
	std::array<uint8_t, 560> m{};
	m[0] = kind;
	std::memcpy(&m[TQSYS_MLME_MAC_AT], mac, 6);
	std::memcpy(&m[TQSYS_MLME_IFINDEX_AT], &ifindex, 4);
	return m;
}

} // namespace

TEST_F(client_table_test, each_command_sends_560_bytes_laid_out_as_its_function_says)
{
	uint8_t msg[20];
	for (size_t i = 0; i < sizeof msg; ++i)
		msg[i] = static_cast<uint8_t>(0xc0 + i);
	uint32_t value = 0;
	uint32_t count = 0;
	tq_sys_mac_entry_t entry{};
	tq_syslib_mac_set_mlme(msg, sizeof msg);
	tq_syslib_mac_set_dyn_vlan(msg, sizeof msg);
	tq_syslib_mac_set_val(TQSYS_VALUE_SET_CMD(5), 0xfeedf00d, "v");
	tq_syslib_mac_get_val(TQSYS_VALUE_GET_CMD(5), &value, "v");
	tq_syslib_mac_get_cnt(TQSYS_COUNT_REFUSED, &count);
	tq_syslib_mac_get_list(0x11111111, 0x22222222, 0x33333333);
	tq_syslib_mac_get_one(mac_a, &entry);
	tq_syslib_mac_set_status(0xffffffff, mac_a, 1, 0xabcd);
	tq_syslib_mac_set_status(0, mac_a, 0, 0xabcd);

	auto all = requests();
	ASSERT_EQ(all.size(), 9u);
	const uint32_t cmds[] = {0x8000, 0x800F, 0x8105, 0x8205, 0x8008, 0x8009, 0x800A, 0x800C, 0x800B};
	for (size_t i = 0; i < all.size(); ++i) {
		EXPECT_EQ(all[i].cmd, cmds[i]) << i;
		EXPECT_EQ(all[i].len, 560u) << i;
	}
	EXPECT_EQ(std::memcmp(all[0].bytes, msg, sizeof msg), 0);
	EXPECT_EQ(std::memcmp(all[1].bytes, msg, sizeof msg), 0);
	EXPECT_EQ(word_at(all[2].bytes, 0), 0xfeedf00du);
	EXPECT_EQ(value, 0xfeedf00du) << "the module's value, read from word 0";
	EXPECT_EQ(word_at(all[4].bytes, 0), uint32_t{TQSYS_COUNT_REFUSED});
	EXPECT_EQ(word_at(all[5].bytes, 0), 0x11111111u);
	EXPECT_EQ(word_at(all[5].bytes, 4), 0x22222222u);
	EXPECT_EQ(word_at(all[5].bytes, 8), 0x33333333u);
	EXPECT_EQ(std::memcmp(all[6].bytes, mac_a, 6), 0);
	EXPECT_TRUE(all_zero(all[6].bytes, 6, 560));
	for (size_t i : {7, 8}) {
		EXPECT_EQ(std::memcmp(all[i].bytes, mac_a, 6), 0);
		EXPECT_TRUE(all_zero(all[i].bytes, 6, 8));
		EXPECT_EQ(word_at(all[i].bytes, 8), 0xabcdu);
		EXPECT_TRUE(all_zero(all[i].bytes, 12, 560));
	}
	// The unused first argument leaves no trace.
	EXPECT_EQ(std::memcmp(all[7].bytes, all[8].bytes, 560), 0);
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
	std::array<uint8_t, 600> big{};
	big.fill(0x42);
	tq_syslib_mac_set_mlme(big.data(), 560);
	ASSERT_EQ(requests().size(), 1u);
	EXPECT_EQ(std::memcmp(requests()[0].bytes, big.data(), 560), 0) << "560 bytes fit";

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

namespace {

struct fail_row {
	const char *name;
	uint32_t cmd;
	tqrt_channel channel;
	int level;
	const char *fmt;
	std::string text;
	std::function<int()> call;
};

} // namespace

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

	const fail_row rows[] = {
		{"mlme", 0x8000, TQRT_ERR, 0, "syslib set 1x MLME failed, %m (%d)",
		 "syslib set 1x MLME failed, 0a:0b:0c:0d:0e:0f (" + std::to_string(scribble[0]) + ")",
		 [&] { return tq_syslib_mac_set_mlme(mlme_msg, sizeof mlme_msg); }},
		{"dyn vlan", 0x800F, TQRT_ERR, 0, "syslib set dynamic vlan fail, ifindex=%d",
		 "syslib set dynamic vlan fail, ifindex=-7",
		 [&] { return tq_syslib_mac_set_dyn_vlan(vlan_msg, sizeof vlan_msg); }},
		{"set val", 0x8123, TQRT_LOG, 4, "syslib %s failed", "syslib rate limit failed",
		 [&] { return tq_syslib_mac_set_val(0x8123, 9, "rate limit"); }},
		{"get val", 0x8223, TQRT_ERR, 0, "syslib %s failed", "syslib rate limit failed",
		 [&] { return tq_syslib_mac_get_val(0x8223, &value, "rate limit"); }},
		{"count", 0x8008, TQRT_ERR, 0, "syslib get 8021x MAC table cnt failed",
		 "syslib get 8021x MAC table cnt failed", [&] { return tq_syslib_mac_get_cnt(0, &count); }},
		{"list", 0x8009, TQRT_ERR, 0, "syslib get 8021x MAC table failed",
		 "syslib get 8021x MAC table failed", [&] { return tq_syslib_mac_get_list(1, 0, 1); }},
		{"get one", 0x800A, TQRT_ERR, 0, "syslib get 8021x MAC entry failed, %m",
		 "syslib get 8021x MAC entry failed, 02:11:22:33:44:55",
		 [&] { return tq_syslib_mac_get_one(mac_a, &entry); }},
		{"success", 0x800C, TQRT_ERR, 0, "syslib set authentication %s on client %m failed\n",
		 "syslib set authentication successful on client 02:11:22:33:44:55 failed\n",
		 [&] { return tq_syslib_mac_set_status(0, mac_a, 5, 1); }},
		{"failure", 0x800B, TQRT_ERR, 0, "syslib set authentication %s on client %m failed\n",
		 "syslib set authentication failure on client 02:11:22:33:44:55 failed\n",
		 [&] { return tq_syslib_mac_set_status(0, mac_a, 0, 1); }},
	};
	for (const fail_row &row : rows) {
		for (int rc : {-1, -22}) {
			reports.clear();
			inject(row.cmd, rc, 0, scribble, sizeof scribble);
			EXPECT_EQ(row.call(), -1) << row.name;
			report r = reports.only();
			EXPECT_EQ(r.channel, row.channel) << row.name;
			EXPECT_EQ(r.fmt, row.fmt) << row.name;
			EXPECT_EQ(r.text, row.text) << row.name;
			if (row.channel == TQRT_LOG) {
				EXPECT_EQ(r.level, row.level) << row.name;
			}
			EXPECT_EQ(value, 0x5a5a5a5au) << row.name;
			EXPECT_EQ(count, 0x5a5a5a5au) << row.name;
			EXPECT_EQ(entry.ifindex, 0x5a5a5a5a) << row.name;
			EXPECT_EQ(entry.mac[0], 0x5a) << row.name;
		}
		// Positive results are no failure.
		reports.clear();
		inject(row.cmd, 3);
		EXPECT_EQ(row.call(), 0) << row.name;
		EXPECT_EQ(reports.size(), 0u) << row.name;
		value = count = 0x5a5a5a5a;
		std::memset(&entry, 0x5a, sizeof entry);
	}
}

TEST_F(client_table_test, round_trip_through_the_module)
{
	auto assoc_a = mlme_message(TQSYS_MLME_ASSOCIATE, mac_a, 4);
	auto assoc_b = mlme_message(TQSYS_MLME_ASSOCIATE, mac_b, 5);
	ASSERT_EQ(tq_syslib_mac_set_mlme(assoc_a.data(), 16), 0);
	ASSERT_EQ(tq_syslib_mac_set_mlme(assoc_b.data(), 16), 0);
	ASSERT_EQ(tq_syslib_mac_set_status(0, mac_a, 1, 0x1234), 0);

	uint32_t n = 0;
	const std::pair<uint32_t, uint32_t> counts[] = {{TQSYS_COUNT_ALL, 2}, {TQSYS_COUNT_AUTHENTICATED, 1},
							 {TQSYS_COUNT_REFUSED, 0}, {TQSYS_COUNT_PENDING, 1}};
	for (auto [selector, expected] : counts) {
		ASSERT_EQ(tq_syslib_mac_get_cnt(selector, &n), 0);
		EXPECT_EQ(n, expected) << selector;
	}

	tq_sys_mac_entry_t e{};
	ASSERT_EQ(tq_syslib_mac_get_one(mac_a, &e), 0);
	EXPECT_EQ(std::memcmp(e.mac, mac_a, 6), 0);
	EXPECT_EQ(e.auth_state, 1u);
	EXPECT_EQ(e.auth_value, 0x1234u);
	EXPECT_EQ(e.ifindex, 4);

	// A list into caller memory of one entry: the head tells what is missing.
	alignas(8) uint8_t mem[TQSYS_CLIENT_LIST_BYTES(1) + 8];
	std::memset(mem, 0xcd, sizeof mem);
	ASSERT_EQ(tq_syslib_mac_get_list(TQSYS_ADDR_LO(mem), TQSYS_ADDR_HI(mem), 1), 0);
	tqsys_client_list_head head;
	std::memcpy(&head, mem, sizeof head);
	EXPECT_EQ(head.stored, 1u);
	EXPECT_EQ(head.total, 2u);
	EXPECT_EQ(std::memcmp(mem + sizeof head, mac_a, 6), 0);
	EXPECT_EQ(mem[TQSYS_CLIENT_LIST_BYTES(1)], 0xcd) << "nothing past the capacity";

	auto gone = mlme_message(TQSYS_MLME_DISASSOCIATE, mac_a, 0);
	ASSERT_EQ(tq_syslib_mac_set_mlme(gone.data(), 16), 0);
	EXPECT_EQ(tq_syslib_mac_get_one(mac_a, &e), -1);
	ASSERT_EQ(tq_syslib_mac_get_cnt(TQSYS_COUNT_ALL, &n), 0);
	EXPECT_EQ(n, 1u);
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
	EXPECT_TRUE(requests().empty());
	auto all = reports.all();
	ASSERT_EQ(all.size(), 8u);
	for (const report &r : all)
		EXPECT_EQ(r.fmt, "syslib not initialized\n");
}
