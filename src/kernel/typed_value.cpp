// Typed value messages: a type and a value handed to the module in a
// big-endian message whose status word the module fills in.
#include "command.h"

#include "../frame/request.h"
#include "tq_syslib.h"

#include <cstdint>
#include <cstring>

namespace syslib {
namespace {

constexpr uint32_t set_val_number = 0x4008;
constexpr std::size_t header_size = sizeof(tq_cm_val_msg_t);

// Beyond its 16 bytes the module may use the area for its reply.
using message_area = request_area<424>;
using message_head = request_area<header_size>;

// Refused by the call (negative) or by the module (status word).
constexpr command set_val_cmd{set_val_number, result_test::negative,
			      log_report(3, "syslib ioctl %d(type %d) failed")};

template <std::size_t N>
void pack(request_area<N> &msg, int32_t type, uint32_t value) noexcept
{
	msg.template put_be32<0>(set_val_number);
	msg.template put_be32<4>(0);
	msg.template put_be32<8>(static_cast<uint32_t>(type));
	msg.template put_be32<12>(value);
}

// Issues the message at `where`, whose first 16 bytes `head` reads back
// after the call.
template <class ReadBack>
int hand_over(sited_command c, void *where, uint32_t number, int32_t type,
	      ReadBack read_back) noexcept
{
	int rc = control_ioctl(number, where);
	message_head head = read_back();
	if (!failed(c.cmd.test, rc) && head.get_be32<4>() == 0)
		return 0;
	report(c.cmd.on_failure, c.line, static_cast<int32_t>(head.get_be32<0>()), type);
	return -1;
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_syslib_cm_set_val(int32_t type, uint32_t value) noexcept
{
	if (!kernel_ready())
		return -1;
	message_area msg;
	pack(msg, type, value);
	return hand_over(set_val_cmd, msg.data(), msg.get_be32<0>(), type, [&] {
		message_head head;
		head.put_bytes<0, header_size>(msg.data());
		return head;
	});
}

// Exactly the first 16 bytes of the caller's buffer are written; the
// module's reply is left there.
extern "C" int tq_syslib_cm_set_val_rsp(int32_t type, uint32_t value, tq_cm_val_msg_t *msg) noexcept
{
	if (!kernel_ready())
		return -1;
	message_head head;
	pack(head, type, value);
	std::memcpy(msg, head.data(), header_size);
	return hand_over(set_val_cmd, msg, head.get_be32<0>(), type, [&] {
		message_head back;
		back.put_bytes<0, header_size>(msg);
		return back;
	});
}
