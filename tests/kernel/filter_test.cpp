// The packet filter table: request bytes, result tests and reports.
#include "checks.h"

#include <array>
#include <functional>

using namespace syslib_test;

namespace {

constexpr uint32_t filter_cmd = 0x3001;

tq_sys_filter_t make_filter(uint32_t id, uint32_t key)
{
	tq_sys_filter_t f{};
	f.id = id;
	f.key = key;
	for (size_t i = 0; i < sizeof f.rule; ++i)
		f.rule[i] = static_cast<uint8_t>(id * 31 + key + i);
	return f;
}

using filter_test = kmod_test;

} // namespace

TEST_F(filter_test, each_operation_lays_out_its_68_byte_request)
{
	tq_sys_filter_t f = make_filter(0x01020304, 0xa0b0c0d0);
	ASSERT_EQ(tq_syslib_filter_add(&f), 0);
	ASSERT_EQ(tq_syslib_filter_del(0x11223344), -1);  // empty table: no such filter
	tq_sys_filter_t probe = make_filter(1, 0x55667788);
	ASSERT_EQ(tq_syslib_filter_get(&probe), -1);
	uint32_t count = 99;
	ASSERT_EQ(tq_syslib_filter_get_cnt(&count), 0);
	EXPECT_EQ(count, 1u);
	std::array<tq_sys_filter_t, 5> buf{};
	count = 5;
	ASSERT_EQ(tq_syslib_filter_get_list(buf.data(), &count), 0);
	EXPECT_EQ(count, 1u);

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
		EXPECT_EQ(all[i].cmd, filter_cmd);
		EXPECT_EQ(all[i].len, 68u);
		EXPECT_EQ(std::memcmp(all[i].bytes, want[i], 68), 0) << "request " << i;
	}
	const uint8_t be[] = {0x11, 0x22, 0x33, 0x44}, le[] = {0x44, 0x33, 0x22, 0x11};
	EXPECT_EQ(std::memcmp(all[1].bytes + 4, __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? be : le, 4), 0);
}

TEST_F(filter_test, list_count_is_whole_records_of_the_returned_bytes)
{
	struct row {
		uint32_t count_in, bytes_back, capacity_sent, count_out;
	};
	const row rows[] = {
		{4, 130, 256, 2}, {0, 0, 0, 0}, {0, 64, 0, 1}, {3, 63, 192, 0},
		{0x4000000u, 128, 0, 2},  // 2^26 records: the capacity wraps to 0
	};
	for (const row &c : rows) {
		tqsys_module_clear_requests();
		inject(filter_cmd, 0, 8, &c.bytes_back, 4);
		tq_sys_filter_t buf[4];
		uint32_t count = c.count_in;
		ASSERT_EQ(tq_syslib_filter_get_list(buf, &count), 0);
		EXPECT_EQ(word_at(only_request().bytes, 8), c.capacity_sent) << c.count_in;
		EXPECT_EQ(count, c.count_out) << c.bytes_back;
	}
}

TEST_F(filter_test, get_takes_the_whole_record_from_the_module_key_included)
{
	tq_sys_filter_t found = make_filter(7, 0xdead);
	inject(filter_cmd, 0, 4, &found, 64);
	tq_sys_filter_t probe{};
	probe.key = 0xbeef;
	ASSERT_EQ(tq_syslib_filter_get(&probe), 0);
	EXPECT_EQ(std::memcmp(&probe, &found, 64), 0);
}

TEST_F(filter_test, negative_results_fail_with_the_functions_report_and_nothing_written)
{
	tq_sys_filter_t rec = make_filter(5, 50);
	const tq_sys_filter_t rec_before = rec;
	uint32_t count = 12;
	tq_sys_filter_t list[2];
	std::memset(list, 0xab, sizeof list);
	const struct {
		const char *message;
		tqrt_channel channel;
		std::function<int()> call;
	} rows[] = {
		{"sys filter add ioctl failed", TQRT_ERR, [&] { return tq_syslib_filter_add(&rec); }},
		{"sys filter del ioctl failed", TQRT_LOG, [&] { return tq_syslib_filter_del(5); }},
		{"sys filter get ioctl failed", TQRT_LOG, [&] { return tq_syslib_filter_get(&rec); }},
		{"sys filter get count ioctl failed", TQRT_ERR, [&] { return tq_syslib_filter_get_cnt(&count); }},
		{"sys filter get list failed", TQRT_ERR, [&] { return tq_syslib_filter_get_list(list, &count); }},
	};
	uint8_t garbage[64];
	std::memset(garbage, 0x5a, sizeof garbage);
	for (const auto &row : rows) {
		for (int rc : {-1, -2, -1000}) {
			reports.clear();
			// The module scribbles on the request; nothing may reach the caller.
			inject(filter_cmd, rc, 4, garbage, sizeof garbage);
			EXPECT_EQ(row.call(), -1) << row.message << " rc " << rc;
			expect_one_report(reports, row.channel, 4, row.message, row.message);
			EXPECT_EQ(std::memcmp(&rec, &rec_before, sizeof rec), 0) << row.message;
			EXPECT_EQ(count, 12u) << row.message;
			EXPECT_EQ(list[1].rule[0], 0xab) << row.message;
		}
		for (int rc : {1, 0x7fffffff}) {
			reports.clear();
			inject(filter_cmd, rc);
			EXPECT_EQ(row.call(), 0) << row.message << " rc " << rc;
			EXPECT_EQ(reports.size(), 0u) << row.message;
			rec = rec_before;
			count = 12;
		}
	}
}

TEST_F(filter_test, guard_stops_all_five_before_init)
{
	tq_syslib_exit();
	tq_sys_filter_t rec = make_filter(1, 2);
	const tq_sys_filter_t before = rec;
	uint32_t count = 3;
	EXPECT_EQ(tq_syslib_filter_add(&rec), -1);
	EXPECT_EQ(tq_syslib_filter_del(1), -1);
	EXPECT_EQ(tq_syslib_filter_get(&rec), -1);
	EXPECT_EQ(tq_syslib_filter_get_cnt(&count), -1);
	EXPECT_EQ(tq_syslib_filter_get_list(&rec, &count), -1);
	EXPECT_EQ(std::memcmp(&rec, &before, sizeof rec), 0);
	EXPECT_EQ(count, 3u);
	expect_guarded(reports, 5);
}
