// Kernel diagnostic records: twelve thin commands that hand the caller's
// record (or nothing) to the module and return its result unchanged.
#include "command.h"

#include "tq_syslib.h"

namespace syslib {
namespace {

// Any nonzero result, positive too, is logged; the caller gets it as is.
constexpr command diag(unsigned long number)
{
	return {number, result_test::nonzero, log_report(3, "syslib ioctl %d failed, rc = %d\n")};
}

constexpr command crash_cmd = diag(0x90FF);
constexpr command trace_get_cmd = diag(0x9001);
constexpr command trace_clear_cmd = diag(0x9002);
constexpr command reboot_get_cmd = diag(0x9003);
constexpr command reboot_clear_cmd = diag(0x9004);
constexpr command reboot_set_cmd = diag(0x9005);
constexpr command magic_clear_cmd = diag(0x9006);
constexpr command bbox_info_cmd = diag(0x90F0);
constexpr command bbox_data_cmd = diag(0x90F1);
constexpr command bbox_start_cmd = diag(0x90F2);
constexpr command bbox_stop_cmd = diag(0x90F3);
constexpr command bbox_state_cmd = diag(0x90F4);

// The record is the caller's and is passed through as given, null too.
template <class Arg>
int diagnose(sited_command c, Arg arg) noexcept
{
	if (!kernel_ready(c.line))
		return -1;
	return issue_raw(c, arg, [&](int rc) { return std::tuple(static_cast<int>(c.cmd.number), rc); });
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_syslib_crash_kernel(void) noexcept
{
	if (!kernel_ready())
		return -1;
	// Written first: if the kernel does go down, the flash log says why.
	report_flash(5, "syslib ioctl TQ_SYS_IOCTL_TEST_CRASH_KERNEL.\n");
	return diagnose(crash_cmd, no_argument{});
}

extern "C" int tq_syslib_get_kernel_trace(void *rec) noexcept { return diagnose(trace_get_cmd, rec); }
extern "C" int tq_syslib_clear_kernel_trace(void) noexcept { return diagnose(trace_clear_cmd, no_argument{}); }
extern "C" int tq_syslib_get_reboot_info(void *rec) noexcept { return diagnose(reboot_get_cmd, rec); }
extern "C" int tq_syslib_clear_reboot_info(void) noexcept { return diagnose(reboot_clear_cmd, no_argument{}); }

extern "C" int tq_syslib_set_reboot_info(const void *rec) noexcept
{
	// The module only reads the record; ioctl's argument is not const.
	return diagnose(reboot_set_cmd, const_cast<void *>(rec));
}

extern "C" int tq_syslib_clear_magic_done(void) noexcept { return diagnose(magic_clear_cmd, no_argument{}); }
extern "C" int tq_syslib_get_bbox_info(void *rec) noexcept { return diagnose(bbox_info_cmd, rec); }
extern "C" int tq_syslib_get_bbox_data(void *rec) noexcept { return diagnose(bbox_data_cmd, rec); }

extern "C" int tq_syslib_start_update_bbox_this_time(void) noexcept
{
	return diagnose(bbox_start_cmd, no_argument{});
}

extern "C" int tq_syslib_stop_update_bbox_this_time(void) noexcept
{
	return diagnose(bbox_stop_cmd, no_argument{});
}

extern "C" int tq_syslib_get_update_bbox_this_time(void *rec) noexcept
{
	return diagnose(bbox_state_cmd, rec);
}
