// The 802.1X client table: eight commands over one 560-byte request area,
// each with its own number, layout and message.
#include "command.h"

#include "../frame/request.h"
#include "tq_syslib.h"

#include <cstdint>

namespace syslib {
namespace {

constexpr int message_max = 560;
using client_request = request_area<message_max>;

constexpr std::size_t mac_size = 6;
constexpr std::size_t entry_size = sizeof(tq_sys_mac_entry_t);

constexpr command mlme_cmd{0x8000, result_test::negative,
			   error_report("syslib set 1x MLME failed, %m (%d)")};
constexpr command dyn_vlan_cmd{0x800F, result_test::negative,
			       error_report("syslib set dynamic vlan fail, ifindex=%d")};
constexpr command count_cmd{0x8008, result_test::negative,
			    error_report("syslib get 8021x MAC table cnt failed")};
constexpr command list_cmd{0x8009, result_test::negative,
			   error_report("syslib get 8021x MAC table failed")};
constexpr command get_one_cmd{0x800A, result_test::negative,
			      error_report("syslib get 8021x MAC entry failed, %m")};
constexpr command status_failure_cmd{0x800B, result_test::negative,
				     error_report("syslib set authentication %s on client %m failed\n")};
constexpr command status_success_cmd{0x800C, result_test::negative,
				     error_report("syslib set authentication %s on client %m failed\n")};

constexpr failure set_val_failure = log_report(4, "syslib %s failed");
constexpr failure get_val_failure = error_report("syslib %s failed");

constexpr failure message_refused =
	error_report("%s: a message of %d bytes does not fit the request of %d bytes, nothing sent\n");

// A message longer than the area (or of negative length) is refused with
// -1 and a report of its own, and the command is not issued: cutting it
// would hand the module a message that is not the caller's.
template <class Values>
int send_message(const char *function, sited_command c, const void *msg, int len,
		 Values values) noexcept
{
	if (!kernel_ready(c.line))
		return -1;
	client_request req;
	if (len < 0 || !req.put_span(0, msg, static_cast<std::size_t>(len))) {
		report(message_refused, c.line, function, len, message_max);
		return -1;
	}
	return issue_then(c, req.data(), [&] { return values(req); });
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_syslib_mac_set_mlme(const void *msg, int len) noexcept
{
	return send_message(__func__, mlme_cmd, msg, len, [](const client_request &req) {
		return std::tuple(static_cast<const void *>(req.at(6)),
				  static_cast<unsigned>(*req.at(0)));
	});
}

extern "C" int tq_syslib_mac_set_dyn_vlan(const void *msg, int len) noexcept
{
	return send_message(__func__, dyn_vlan_cmd, msg, len, [](const client_request &req) {
		return std::tuple(static_cast<int32_t>(req.get_u32<0>()));
	});
}

extern "C" int tq_syslib_mac_set_val(uint32_t cmd, uint32_t value, const char *name) noexcept
{
	if (!kernel_ready())
		return -1;
	const command set_val{cmd, result_test::negative, set_val_failure};
	client_request req;
	req.put_u32<0>(value);
	return issue(set_val, req.data(), name);
}

extern "C" int tq_syslib_mac_get_val(uint32_t cmd, uint32_t *value, const char *name) noexcept
{
	if (!kernel_ready())
		return -1;
	const command get_val{cmd, result_test::negative, get_val_failure};
	client_request req;
	if (issue(get_val, req.data(), name) < 0)
		return -1;
	*value = req.get_u32<0>();
	return 0;
}

extern "C" int tq_syslib_mac_get_cnt(uint32_t selector, uint32_t *count) noexcept
{
	if (!kernel_ready())
		return -1;
	client_request req;
	req.put_u32<0>(selector);
	if (issue(count_cmd, req.data()) < 0)
		return -1;
	*count = req.get_u32<4>();
	return 0;
}

extern "C" int tq_syslib_mac_get_list(uint32_t word0, uint32_t word1, uint32_t word2) noexcept
{
	if (!kernel_ready())
		return -1;
	client_request req;
	req.put_u32<0>(word0);
	req.put_u32<4>(word1);
	req.put_u32<8>(word2);
	return issue(list_cmd, req.data());
}

extern "C" int tq_syslib_mac_get_one(const uint8_t *mac, tq_sys_mac_entry_t *entry) noexcept
{
	if (!kernel_ready())
		return -1;
	client_request req;
	req.put_bytes<0, mac_size>(mac);
	if (issue(get_one_cmd, req.data(), static_cast<const void *>(mac)) < 0)
		return -1;
	req.get_bytes<0, entry_size>(entry);
	return 0;
}

extern "C" int tq_syslib_mac_set_status(uint32_t, const uint8_t *mac, int success,
					uint32_t value) noexcept
{
	if (!kernel_ready())
		return -1;
	client_request req;
	req.put_bytes<0, mac_size>(mac);
	req.put_u32<8>(value);
	return issue(success ? status_success_cmd : status_failure_cmd, req.data(),
		     success ? "successful" : "failure", static_cast<const void *>(mac));
}
