// Typed value messages: big-endian packing whatever the host, the status
// word, and the response buffer.
#include "kmod.h"

#include <string>

using namespace syslib_test;

namespace {

using typed_value_test = kmod_test;

constexpr uint32_t cm_cmd = 0x4008;

// The caller's message with room behind it, to see that nothing past 16
// bytes is written.
struct guarded_message {
	tq_cm_val_msg_t msg;
	uint8_t after[16];
};

struct variant {
	const char *name;
	int (*call)(int32_t type, uint32_t value);
};

guarded_message rsp_buffer;

const variant variants[] = {
	{"set_val", tq_syslib_cm_set_val},
	{"set_val_rsp",
	 [](int32_t type, uint32_t value) { return tq_syslib_cm_set_val_rsp(type, value, &rsp_buffer.msg); }},
};

std::string failure_text(int cmd, int type)
{
	return "syslib ioctl " + std::to_string(cmd) + "(type " + std::to_string(type) + ") failed";
}

} // namespace

TEST_F(typed_value_test, message_is_big_endian_whatever_the_host)
{
	const uint8_t expected[16] = {0, 0, 0x40, 0x08, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0x01, 0x02};
	const uint8_t minus_one[4] = {0xff, 0xff, 0xff, 0xff};
	for (const variant &v : variants) {
		tqsys_module_clear_requests();
		ASSERT_EQ(v.call(1, 0x102), 0) << v.name;
		ASSERT_EQ(v.call(-1, 7), 0) << v.name;
		auto all = requests();
		ASSERT_EQ(all.size(), 2u);
		EXPECT_EQ(all[0].cmd, cm_cmd);
		EXPECT_EQ(all[0].len, 16u);
		EXPECT_EQ(std::memcmp(all[0].bytes, expected, 16), 0) << v.name;
		EXPECT_EQ(std::memcmp(all[1].bytes + 8, minus_one, 4), 0) << v.name;
	}
	uint32_t kept = 0;
	ASSERT_EQ(tqsys_module_cm_value(1, &kept), 0);
	EXPECT_EQ(kept, 0x102u);
}

TEST_F(typed_value_test, a_status_word_from_the_module_is_a_failure)
{
	ASSERT_EQ(tqsys_module_set_cm_status(5), 0);
	for (const variant &v : variants) {
		reports.clear();
		EXPECT_EQ(v.call(-1, 1), -1) << v.name;
		report r = reports.only();
		EXPECT_EQ(r.channel, TQRT_LOG);
		EXPECT_EQ(r.level, 3);
		EXPECT_EQ(r.fmt, "syslib ioctl %d(type %d) failed");
		EXPECT_EQ(r.text, failure_text(16392, -1));
	}
	// The report shows the cmd the module left, and the caller's type.
	const uint8_t rewritten[12] = {0, 0, 0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 99};
	reports.clear();
	inject(cm_cmd, 0, 0, rewritten, sizeof rewritten);
	EXPECT_EQ(tq_syslib_cm_set_val(42, 0), -1);
	EXPECT_EQ(reports.only().text, failure_text(0x1234, 42));
	const uint8_t five[4] = {0, 0, 0, 5};
	EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t *>(&rsp_buffer.msg) + 4, five, 4), 0);
	EXPECT_EQ(tqsys_module_cm_value(-1, nullptr), -1) << "a refused value is not kept";
}

TEST_F(typed_value_test, the_result_and_the_status_decide_together)
{
	const uint8_t zero_status[4] = {}, bad_status[4] = {0, 0, 0, 9};
	const struct {
		int rc;
		const uint8_t *status;
		int expected;
	} cases[] = {
		{3, zero_status, 0},   // a positive result with status 0 succeeds
		{-1, zero_status, -1}, // a negative result fails whatever the status
		{-4, zero_status, -1},
		{0, bad_status, -1},
		{1, bad_status, -1},
	};
	for (const variant &v : variants) {
		for (const auto &c : cases) {
			reports.clear();
			inject(cm_cmd, c.rc, 4, c.status, 4);
			EXPECT_EQ(v.call(2, 3), c.expected) << v.name << " rc " << c.rc;
			EXPECT_EQ(reports.size(), c.expected ? 1u : 0u) << v.name << " rc " << c.rc;
		}
	}
}

TEST_F(typed_value_test, response_variant_writes_exactly_16_bytes_of_the_callers_buffer)
{
	guarded_message m;
	std::memset(&m, 0xa5, sizeof m);
	ASSERT_EQ(tq_syslib_cm_set_val_rsp(7, 8, &m.msg), 0);
	const uint8_t head[16] = {0, 0, 0x40, 0x08, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 8};
	EXPECT_EQ(std::memcmp(&m.msg, head, 16), 0);
	for (uint8_t b : m.after)
		ASSERT_EQ(b, 0xa5);
	EXPECT_EQ(only_request().arg, reinterpret_cast<uintptr_t>(&m.msg)) << "the caller's own buffer";
}

TEST_F(typed_value_test, guard_leaves_the_callers_buffer_untouched)
{
	tq_syslib_exit();
	guarded_message m;
	std::memset(&m, 0xa5, sizeof m);
	EXPECT_EQ(tq_syslib_cm_set_val(1, 2), -1);
	EXPECT_EQ(tq_syslib_cm_set_val_rsp(1, 2, &m.msg), -1);
	const uint8_t *p = reinterpret_cast<const uint8_t *>(&m);
	for (size_t i = 0; i < sizeof m; ++i)
		ASSERT_EQ(p[i], 0xa5) << i;
	EXPECT_TRUE(requests().empty());
	auto all = reports.all();
	ASSERT_EQ(all.size(), 2u);
	for (const report &r : all)
		EXPECT_EQ(r.fmt, "syslib not initialized\n");
}
