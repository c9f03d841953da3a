// Typed value messages: big-endian packing whatever the host, the status
// word, and the response buffer.
#include "checks.h"

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
	std::memset(&rsp_buffer, 0xa5, sizeof rsp_buffer);
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
	// The response variant uses the caller's own buffer and nothing past it.
	EXPECT_EQ(requests()[0].arg, reinterpret_cast<uintptr_t>(&rsp_buffer.msg));
	for (uint8_t b : rsp_buffer.after)
		ASSERT_EQ(b, 0xa5);
}

TEST_F(typed_value_test, the_result_and_the_status_word_decide_together)
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
			EXPECT_EQ(v.call(-2, 3), c.expected) << v.name << " rc " << c.rc;
			if (c.expected == 0) {
				EXPECT_EQ(reports.size(), 0u) << v.name;
				continue;
			}
			expect_one_report(reports, TQRT_LOG, 3, "syslib ioctl %d(type %d) failed",
					  failure_text(16392, -2));
		}
	}
	// A status the module sets itself; the response buffer shows it.
	ASSERT_EQ(tqsys_module_set_cm_status(5), 0);
	EXPECT_EQ(tq_syslib_cm_set_val_rsp(1, 1, &rsp_buffer.msg), -1);
	const uint8_t five[4] = {0, 0, 0, 5};
	EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t *>(&rsp_buffer.msg) + 4, five, 4), 0);
	// The report shows the cmd the module left, and the caller's type.
	const uint8_t rewritten[12] = {0, 0, 0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 99};
	reports.clear();
	inject(cm_cmd, 0, 0, rewritten, sizeof rewritten);
	EXPECT_EQ(tq_syslib_cm_set_val(42, 0), -1);
	EXPECT_EQ(reports.only().text, failure_text(0x1234, 42));
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
	expect_guarded(reports, 2);
}
