// The packet filter table: request bytes, result tests, reports, and a
// round trip through the kernel module stand-in.
#include "kmod.h"

#include <array>
#include <functional>
#include <string>

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

bool all_zero(const uint8_t *p, size_t from, size_t to)
{
	for (size_t i = from; i < to; ++i)
		if (p[i])
			return false;
	return true;
}

using filter_test = kmod_test;

} // namespace

TEST_F(filter_test, add_sends_operation_zero_and_the_whole_record)
{
	tq_sys_filter_t f = make_filter(0x01020304, 0xa0b0c0d0);
	ASSERT_EQ(tq_syslib_filter_add(&f), 0);
	tqsys_request r = only_request();
	EXPECT_EQ(r.cmd, filter_cmd);
	EXPECT_EQ(r.len, 68u);
	EXPECT_EQ(word_at(r.bytes, 0), 0u);
	EXPECT_EQ(std::memcmp(r.bytes + 4, &f, 64), 0);
}

TEST_F(filter_test, delete_id_travels_in_bytes_4_to_7_and_get_key_in_8_to_11)
{
	ASSERT_EQ(tq_syslib_filter_del(0x11223344), -1);  // empty table: no such filter
	tq_sys_filter_t f = make_filter(1, 0x55667788);
	ASSERT_EQ(tq_syslib_filter_get(&f), -1);
	auto all = requests();
	ASSERT_EQ(all.size(), 2u);
	EXPECT_EQ(word_at(all[0].bytes, 0), 1u);
	EXPECT_EQ(word_at(all[0].bytes, 4), 0x11223344u);
	EXPECT_TRUE(all_zero(all[0].bytes, 8, 68));
	EXPECT_EQ(word_at(all[1].bytes, 0), 4u);
	EXPECT_TRUE(all_zero(all[1].bytes, 4, 8));
	EXPECT_EQ(word_at(all[1].bytes, 8), 0x55667788u);
	EXPECT_TRUE(all_zero(all[1].bytes, 12, 68));
}

TEST_F(filter_test, words_are_in_the_processor_byte_order)
{
	ASSERT_EQ(tq_syslib_filter_del(0x11223344), -1);
	tqsys_request r = only_request();
	const uint8_t *b = r.bytes;
	const uint8_t be[] = {0x11, 0x22, 0x33, 0x44}, le[] = {0x44, 0x33, 0x22, 0x11};
	EXPECT_EQ(std::memcmp(b + 4, __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? be : le, 4), 0);
}

TEST_F(filter_test, count_sends_all_zero_data_and_reads_word_0)
{
	uint32_t count = 99;
	ASSERT_EQ(tq_syslib_filter_get_cnt(&count), 0);
	EXPECT_EQ(count, 0u);
	tqsys_request r = only_request();
	EXPECT_EQ(word_at(r.bytes, 0), 2u);
	EXPECT_TRUE(all_zero(r.bytes, 4, 68));
}

TEST_F(filter_test, list_sends_buffer_address_and_capacity)
{
	std::array<tq_sys_filter_t, 5> buf{};
	uint32_t count = 5;
	ASSERT_EQ(tq_syslib_filter_get_list(buf.data(), &count), 0);
	tqsys_request r = only_request();
	auto addr = reinterpret_cast<uintptr_t>(buf.data());
	EXPECT_EQ(word_at(r.bytes, 0), 3u);
	EXPECT_EQ(word_at(r.bytes, 4), static_cast<uint32_t>(addr));
	EXPECT_EQ(word_at(r.bytes, 8), 5u * 64);
#if UINTPTR_MAX > UINT32_MAX
	EXPECT_EQ(word_at(r.bytes, 12), static_cast<uint32_t>(addr >> 32));
	EXPECT_TRUE(all_zero(r.bytes, 16, 68));
#else
	EXPECT_TRUE(all_zero(r.bytes, 12, 68));
#endif
	EXPECT_EQ(count, 0u);
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
		uint8_t back[4];
		std::memcpy(back, &c.bytes_back, 4);
		inject(filter_cmd, 0, 8, back, 4);
		tq_sys_filter_t buf[4];
		uint32_t count = c.count_in;
		ASSERT_EQ(tq_syslib_filter_get_list(buf, &count), 0);
		EXPECT_EQ(word_at(only_request().bytes, 8), c.capacity_sent) << c.count_in;
		EXPECT_EQ(count, c.count_out) << c.bytes_back;
	}
}

TEST_F(filter_test, round_trip_through_the_module)
{
	tq_sys_filter_t a = make_filter(1, 100), b = make_filter(2, 200), c = make_filter(3, 300);
	ASSERT_EQ(tq_syslib_filter_add(&a), 0);
	ASSERT_EQ(tq_syslib_filter_add(&b), 0);
	ASSERT_EQ(tq_syslib_filter_add(&c), 0);

	uint32_t count = 0;
	ASSERT_EQ(tq_syslib_filter_get_cnt(&count), 0);
	EXPECT_EQ(count, 3u);

	std::array<tq_sys_filter_t, 8> buf{};
	count = 8;
	ASSERT_EQ(tq_syslib_filter_get_list(buf.data(), &count), 0);
	ASSERT_EQ(count, 3u);
	EXPECT_EQ(std::memcmp(&buf[0], &a, 64), 0);
	EXPECT_EQ(std::memcmp(&buf[2], &c, 64), 0);

	// A buffer of two records gets two.
	count = 2;
	ASSERT_EQ(tq_syslib_filter_get_list(buf.data(), &count), 0);
	EXPECT_EQ(count, 2u);

	tq_sys_filter_t probe{};
	probe.key = 200;
	ASSERT_EQ(tq_syslib_filter_get(&probe), 0);
	EXPECT_EQ(std::memcmp(&probe, &b, 64), 0);

	ASSERT_EQ(tq_syslib_filter_del(2), 0);
	ASSERT_EQ(tq_syslib_filter_get_cnt(&count), 0);
	EXPECT_EQ(count, 2u);
	probe.key = 200;
	EXPECT_EQ(tq_syslib_filter_get(&probe), -1);
	EXPECT_EQ(tq_syslib_filter_add(&a), -1) << "a key already present is refused";
}

TEST_F(filter_test, get_overwrites_the_key_with_the_modules_copy)
{
	tq_sys_filter_t found = make_filter(7, 0xdead);
	uint8_t reply[64];
	std::memcpy(reply, &found, 64);
	inject(filter_cmd, 0, 4, reply, 64);
	tq_sys_filter_t f{};
	f.key = 0xbeef;
	ASSERT_EQ(tq_syslib_filter_get(&f), 0);
	EXPECT_EQ(f.key, 0xdeadu);
	EXPECT_EQ(std::memcmp(&f, &found, 64), 0);
}

namespace {

// What each function does with the caller's data; `call` returns the
// result and `untouched` tells whether the caller's data is as before.
struct case_row {
	const char *name;
	const char *message;
	tqrt_channel channel;
	int level;
	std::function<int()> call;
	std::function<bool()> untouched;
};

} // namespace

TEST_F(filter_test, negative_results_fail_with_the_functions_report_and_nothing_written)
{
	tq_sys_filter_t rec = make_filter(5, 50);
	const tq_sys_filter_t rec_before = rec;
	uint32_t count = 12;
	tq_sys_filter_t list[2];
	std::memset(list, 0xab, sizeof list);
	auto list_same = [&] {
		for (const auto &l : list)
			for (uint8_t b : l.rule)
				if (b != 0xab)
					return false;
		return count == 12;
	};
	std::vector<case_row> rows = {
		{"add", "sys filter add ioctl failed", TQRT_ERR, 0,
		 [&] { return tq_syslib_filter_add(&rec); }, [] { return true; }},
		{"del", "sys filter del ioctl failed", TQRT_LOG, 4,
		 [&] { return tq_syslib_filter_del(5); }, [] { return true; }},
		{"get", "sys filter get ioctl failed", TQRT_LOG, 4,
		 [&] { return tq_syslib_filter_get(&rec); },
		 [&] { return std::memcmp(&rec, &rec_before, sizeof rec) == 0; }},
		{"count", "sys filter get count ioctl failed", TQRT_ERR, 0,
		 [&] { return tq_syslib_filter_get_cnt(&count); }, [&] { return count == 12; }},
		{"list", "sys filter get list failed", TQRT_ERR, 0,
		 [&] { return tq_syslib_filter_get_list(list, &count); }, list_same},
	};
	uint8_t garbage[64];
	std::memset(garbage, 0x5a, sizeof garbage);
	for (const case_row &row : rows) {
		for (int rc : {-1, -2, -1000}) {
			reports.clear();
			// The module scribbles on the request; nothing may reach the caller.
			inject(filter_cmd, rc, 4, garbage, sizeof garbage);
			EXPECT_EQ(row.call(), -1) << row.name << " rc " << rc;
			report r = reports.only();
			EXPECT_EQ(r.channel, row.channel) << row.name;
			EXPECT_EQ(r.fmt, row.message) << row.name;
			EXPECT_EQ(r.text, row.message) << row.name;
			if (row.channel == TQRT_LOG) {
				EXPECT_EQ(r.level, row.level) << row.name;
			}
			EXPECT_TRUE(row.untouched()) << row.name;
		}
		for (int rc : {1, 64, 0x7fffffff}) {
			reports.clear();
			inject(filter_cmd, rc);
			EXPECT_EQ(row.call(), 0) << row.name << " rc " << rc;
			EXPECT_EQ(reports.size(), 0u) << row.name;
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
	EXPECT_TRUE(requests().empty());
	auto all = reports.all();
	ASSERT_EQ(all.size(), 5u);
	for (const report &r : all) {
		EXPECT_EQ(r.channel, TQRT_ERR);
		EXPECT_EQ(r.fmt, "syslib not initialized\n");
	}
}
