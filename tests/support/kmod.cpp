#include "harness.h"

namespace syslib_test {

void kmod_test::SetUp()
{
	static const std::string dir = scratch_dir() + "/kstate";
	ASSERT_TRUE(tqsys_module_use_state_dir(dir.c_str()) == 0 && tqsys_module_reset() == 0) << tqsys_module_problem();
	tqsys_module_set_absent(TQSYS_DEV_CONTROL, 0), tqsys_module_set_absent(TQSYS_DEV_BOARD, 0);
	tqsys_module_clear_injections(), tq_syslib_exit();
	ASSERT_TRUE(!init_in_setup || tq_syslib_init() == 0);
	tqsys_module_clear_requests(), clear_reports();
}

void kmod_test::TearDown() { tq_syslib_exit(), tqsys_module_clear_injections(); }

std::vector<tqsys_request> kmod_test::requests() const
{
	std::vector<tqsys_request> out(static_cast<size_t>(tqsys_module_request_count()));
	for (size_t i = 0; i < out.size(); ++i)
		tqsys_module_request_get(static_cast<int>(i), &out[i]);
	return out;
}

void kmod_test::inject(uint32_t cmd, int result, uint32_t offset, const void *reply,
		       uint32_t reply_len, uint32_t device)
{
	tqsys_injection inj{device, cmd, result, 0, offset, reply_len, {}};
	std::copy_n(static_cast<const uint8_t *>(reply), reply && reply_len <= sizeof inj.reply ? reply_len : 0, inj.reply);
	ASSERT_EQ(tqsys_module_inject(&inj), 0);
}

} // namespace syslib_test
