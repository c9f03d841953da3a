// The packet filter table: five operations over one command and one
// 68-byte request, told apart by the operation code at its head.
#include "command.h"

#include "../frame/request.h"
#include "tq_syslib.h"

namespace syslib {
namespace {

using filter_request = request_area<68>;

constexpr std::size_t op_at = 0;
constexpr std::size_t data_at = 4;
constexpr std::size_t record_size = sizeof(tq_sys_filter_t);

enum : uint32_t { op_add = 0, op_del = 1, op_count = 2, op_list = 3, op_get = 4 };

constexpr unsigned long filter_number = 0x3001;

constexpr command add_cmd{filter_number, result_test::negative,
			  error_report("sys filter add ioctl failed")};
constexpr command del_cmd{filter_number, result_test::negative,
			  log_report(4, "sys filter del ioctl failed")};
constexpr command get_cmd{filter_number, result_test::negative,
			  log_report(4, "sys filter get ioctl failed")};
constexpr command count_cmd{filter_number, result_test::negative,
			    error_report("sys filter get count ioctl failed")};
constexpr command list_cmd{filter_number, result_test::negative,
			   error_report("sys filter get list failed")};

filter_request make_request(uint32_t op) noexcept
{
	filter_request req;
	req.put_u32<op_at>(op);
	return req;
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_syslib_filter_add(const tq_sys_filter_t *filter) noexcept
{
	if (!kernel_ready())
		return -1;
	filter_request req = make_request(op_add);
	req.put_bytes<data_at, record_size>(filter);
	return issue(add_cmd, req.data());
}

extern "C" int tq_syslib_filter_del(uint32_t id) noexcept
{
	if (!kernel_ready())
		return -1;
	filter_request req = make_request(op_del);
	req.put_u32<data_at>(id);
	return issue(del_cmd, req.data());
}

extern "C" int tq_syslib_filter_get(tq_sys_filter_t *filter) noexcept
{
	if (!kernel_ready())
		return -1;
	filter_request req = make_request(op_get);
	req.put_u32<data_at + 4>(filter->key);
	if (issue(get_cmd, req.data()) < 0)
		return -1;
	req.get_bytes<data_at, record_size>(filter);
	return 0;
}

extern "C" int tq_syslib_filter_get_cnt(uint32_t *count) noexcept
{
	if (!kernel_ready())
		return -1;
	filter_request req = make_request(op_count);
	if (issue(count_cmd, req.data()) < 0)
		return -1;
	*count = req.get_u32<data_at>();
	return 0;
}

extern "C" int tq_syslib_filter_get_list(tq_sys_filter_t *buf, uint32_t *count) noexcept
{
	if (!kernel_ready())
		return -1;
	filter_request req = make_request(op_list);
	req.put_address<data_at>(buf);
	// 32-bit unsigned on purpose: the module is told what the device's
	// library would tell it.
	req.put_u32<data_at + 4>(static_cast<uint32_t>(*count << 6));
	if (issue(list_cmd, req.data()) < 0)
		return -1;
	*count = req.get_u32<data_at + 4>() >> 6;
	return 0;
}
