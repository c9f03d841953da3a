// What each kernel command lays out in its request, in the processor's
// byte order or big-endian where the message says so, and what it copies
// back, within the caller's buffers.
#include "kmod.h"

#include <array>
#include <string>

using namespace syslib_test;

namespace {

using requests_test = kmod_test;

const uint8_t mac_a[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

} // namespace

TEST_F(requests_test, word_commands_pass_one_native_word)
{
	tq_syslib_set_fake_admin_uid(0x01020304);
	tq_syslib_swdog_enable();
	tq_syslib_swdog_disable();
	tq_syslib_swdog_set();
	const uint32_t cmds[] = {0x7001, 0x1000, 0x1000, 0x1000}, words[] = {0x01020304, 0, 1, 2};
	auto all = requests();
	ASSERT_EQ(all.size(), 4u);
	for (size_t i = 0; i < 4; ++i) {
		EXPECT_EQ(all[i].device, TQSYS_DEV_CONTROL);
		EXPECT_EQ(all[i].cmd, cmds[i]);
		EXPECT_EQ(all[i].len, 4u);
		EXPECT_EQ(word_at(all[i].bytes, 0), words[i]) << i;
	}
}

TEST_F(requests_test, filter_operations_lay_out_68_bytes)
{
	tq_sys_filter_t f{};
	f.id = 0x01020304;
	f.key = 0xa0b0c0d0;
	for (size_t i = 0; i < sizeof f.rule; ++i)
		f.rule[i] = static_cast<uint8_t>(i + 1);
	tq_sys_filter_t probe{};
	probe.key = 0x55667788;
	uint32_t count = 5;
	std::array<tq_sys_filter_t, 5> buf{};
	tq_syslib_filter_add(&f);
	tq_syslib_filter_del(0x11223344);
	tq_syslib_filter_get(&probe);
	tq_syslib_filter_get_cnt(&count);
	count = 5;
	tq_syslib_filter_get_list(buf.data(), &count);

	uint8_t want[5][68] = {};
	auto put = [&](int i, size_t at, uint32_t w) { std::memcpy(want[i] + at, &w, 4); };
	std::memcpy(want[0] + 4, &f, 64);
	put(1, 0, 1), put(1, 4, 0x11223344);
	put(2, 0, 4), put(2, 8, 0x55667788);
	put(3, 0, 2);
	auto addr = reinterpret_cast<uintptr_t>(buf.data());
	put(4, 0, 3), put(4, 4, static_cast<uint32_t>(addr)), put(4, 8, 5 * 64);
#if UINTPTR_MAX > UINT32_MAX
	put(4, 12, static_cast<uint32_t>(addr >> 32));
#endif
	auto all = requests();
	ASSERT_EQ(all.size(), 5u);
	for (int i = 0; i < 5; ++i) {
		EXPECT_EQ(all[i].cmd, 0x3001u);
		EXPECT_EQ(all[i].len, 68u);
		EXPECT_EQ(std::memcmp(all[i].bytes, want[i], 68), 0) << "request " << i;
	}
}

TEST_F(requests_test, filter_results_are_copied_back_whole)
{
	// The list count is whole records of the bytes the module returns.
	const struct {
		uint32_t count_in, bytes_back, capacity_sent, count_out;
	} rows[] = {
		{4, 130, 256, 2}, {0, 64, 0, 1}, {3, 63, 192, 0},
		{0x4000000u, 128, 0, 2},  // 2^26 records: the 32-bit capacity wraps to 0
	};
	for (const auto &c : rows) {
		tqsys_module_clear_requests();
		inject(0x3001, 0, 8, &c.bytes_back, 4);
		tq_sys_filter_t buf[4];
		uint32_t count = c.count_in;
		ASSERT_EQ(tq_syslib_filter_get_list(buf, &count), 0);
		EXPECT_EQ(word_at(only_request().bytes, 8), c.capacity_sent) << c.count_in;
		EXPECT_EQ(count, c.count_out) << c.bytes_back;
	}
	// A read takes the module's whole record, key included.
	tq_sys_filter_t found{}, probe{};
	found.id = 7;
	found.key = 0xdead;
	found.rule[55] = 0x99;
	inject(0x3001, 0, 4, &found, 64);
	ASSERT_EQ(tq_syslib_filter_get(&probe), 0);
	EXPECT_EQ(std::memcmp(&probe, &found, 64), 0);
}

TEST_F(requests_test, client_commands_send_560_bytes_laid_out_as_their_function_says)
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

TEST_F(requests_test, client_copies_stay_inside_the_area_and_the_callers_buffers)
{
	// An entry is 72 bytes of the reply, and not one more.
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

	// A message that does not fit the area is refused, not cut.
	std::array<uint8_t, 600> big;
	big.fill(0x42);
	tqsys_module_clear_requests();
	tq_syslib_mac_set_mlme(big.data(), 560);
	EXPECT_EQ(std::memcmp(only_request().bytes, big.data(), 560), 0) << "560 bytes fit";
	reports.clear();
	EXPECT_EQ(tq_syslib_mac_set_mlme(big.data(), 561), -1);
	EXPECT_EQ(tq_syslib_mac_set_dyn_vlan(big.data(), -1), -1);
	EXPECT_EQ(requests().size(), 1u);
	auto all = reports.all();
	ASSERT_EQ(all.size(), 2u);
	EXPECT_EQ(all[0].text, "syslib set 1x MLME failed, 00:00:00:00:00:00 (0)");
	EXPECT_EQ(all[1].text, "syslib set dynamic vlan fail, ifindex=0");
}

TEST_F(requests_test, diagnostic_records_are_the_callers_pointer_null_too)
{
	static uint8_t rec[TQSYS_REQUEST_MAX];  // the module's records are this large
	tq_syslib_get_kernel_trace(rec);
	tq_syslib_set_reboot_info(rec);
	tq_syslib_get_bbox_info(nullptr);
	auto all = requests();
	ASSERT_EQ(all.size(), 3u);
	EXPECT_EQ(all[0].arg, reinterpret_cast<uintptr_t>(rec));
	EXPECT_EQ(all[1].arg, reinterpret_cast<uintptr_t>(rec));
	EXPECT_EQ(all[2].arg, 0u);

	// The crash test's flash line comes first, whatever the command does.
	reports.clear();
	tq_syslib_crash_kernel();
	report flash = reports.all().front();
	EXPECT_EQ(flash.channel, TQRT_FLASH);
	EXPECT_EQ(flash.level, 5);
	EXPECT_EQ(flash.fmt, "syslib ioctl TQ_SYS_IOCTL_TEST_CRASH_KERNEL.\n");
}

TEST_F(requests_test, typed_value_message_is_big_endian_whatever_the_host)
{
	struct {
		tq_cm_val_msg_t msg;
		uint8_t after[16];
	} rsp;
	std::memset(&rsp, 0xa5, sizeof rsp);
	ASSERT_EQ(tq_syslib_cm_set_val(1, 0x102), 0);
	ASSERT_EQ(tq_syslib_cm_set_val_rsp(-1, 0x102, &rsp.msg), 0);
	const uint8_t want[16] = {0, 0, 0x40, 0x08, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0x01, 0x02};
	const uint8_t minus_one[4] = {0xff, 0xff, 0xff, 0xff};
	auto all = requests();
	ASSERT_EQ(all.size(), 2u);
	EXPECT_EQ(all[0].cmd, 0x4008u);
	EXPECT_EQ(std::memcmp(all[0].bytes, want, 16), 0);
	EXPECT_EQ(std::memcmp(all[1].bytes + 8, minus_one, 4), 0);
	// The response variant uses the caller's own buffer and nothing past it.
	EXPECT_EQ(all[1].arg, reinterpret_cast<uintptr_t>(&rsp.msg));
	for (uint8_t b : rsp.after)
		ASSERT_EQ(b, 0xa5);

	// A status word alone refuses; the caller's buffer keeps it.
	const uint8_t five[4] = {0, 0, 0, 5};
	inject(0x4008, 0, 4, five, 4);
	EXPECT_EQ(tq_syslib_cm_set_val_rsp(1, 1, &rsp.msg), -1);
	EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t *>(&rsp.msg) + 4, five, 4), 0);
	// The report shows the cmd word the module left, and the caller's type.
	const uint8_t rewritten[8] = {0, 0, 0x12, 0x34, 0, 0, 0, 1};
	reports.clear();
	inject(0x4008, 0, 0, rewritten, sizeof rewritten);
	EXPECT_EQ(tq_syslib_cm_set_val(42, 0), -1);
	EXPECT_EQ(reports.only().text, "syslib ioctl 4660(type 42) failed");
}
