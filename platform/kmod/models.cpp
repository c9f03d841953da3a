// The command table of the stand-in module and board driver.
#include "models.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <iterator>

namespace tqsys {
namespace {

// Commands that take no third argument have a length of 0: nothing of
// theirs is read or recorded.
constexpr model models[] = {
	{TQSYS_DEV_CONTROL, 0x1000, 0x1000, 4, serve_admin},
	{TQSYS_DEV_CONTROL, 0x7001, 0x7001, 4, serve_admin},
	{TQSYS_DEV_CONTROL, 0x3001, 0x3001, 68, serve_filter},
	{TQSYS_DEV_CONTROL, 0x4008, 0x4008, sizeof(tq_cm_val_msg_t), serve_typed_value},
	{TQSYS_DEV_CONTROL, 0x8000, 0x800F, TQSYS_REQUEST_MAX, serve_clients},
	{TQSYS_DEV_CONTROL, TQSYS_VALUE_SET_CMD(0), TQSYS_VALUE_GET_CMD(TQSYS_VALUE_SLOTS - 1),
	 TQSYS_REQUEST_MAX, serve_values},
	{TQSYS_DEV_CONTROL, 0x9001, 0x9001, TQSYS_KERNEL_TRACE_SIZE, serve_diag},
	{TQSYS_DEV_CONTROL, 0x9002, 0x9002, 0, serve_diag},
	{TQSYS_DEV_CONTROL, 0x9003, 0x9003, TQSYS_REBOOT_INFO_SIZE, serve_diag},
	{TQSYS_DEV_CONTROL, 0x9004, 0x9004, 0, serve_diag},
	{TQSYS_DEV_CONTROL, 0x9005, 0x9005, TQSYS_REBOOT_INFO_SIZE, serve_diag},
	{TQSYS_DEV_CONTROL, 0x9006, 0x9006, 0, serve_diag},
	{TQSYS_DEV_CONTROL, 0x90F0, 0x90F0, TQSYS_BBOX_INFO_SIZE, serve_diag},
	{TQSYS_DEV_CONTROL, 0x90F1, 0x90F1, TQSYS_BBOX_DATA_SIZE, serve_diag},
	{TQSYS_DEV_CONTROL, 0x90F2, 0x90F3, 0, serve_diag},
	{TQSYS_DEV_CONTROL, 0x90F4, 0x90F4, TQSYS_BBOX_STATE_SIZE, serve_diag},
	{TQSYS_DEV_CONTROL, 0x90FF, 0x90FF, 0, serve_diag},
	{TQSYS_DEV_BOARD, 0x5004, 0x5005, 0, serve_board},
};

static_assert(sizeof(tqsys_kernel_trace) == TQSYS_KERNEL_TRACE_SIZE);
static_assert(sizeof(tqsys_reboot_info) == TQSYS_REBOOT_INFO_SIZE);
static_assert(sizeof(tqsys_bbox_info) == TQSYS_BBOX_INFO_SIZE);
static_assert(sizeof(tqsys_bbox_data) == TQSYS_BBOX_DATA_SIZE);
static_assert(TQSYS_BBOX_DATA_SIZE <= TQSYS_REQUEST_MAX);

} // namespace

const model *find_model(uint32_t device, unsigned long cmd)
{
	for (const model &m : models)
		if (m.device == device && cmd >= m.first && cmd <= m.last)
			return &m;
	return nullptr;
}

bool copy_out(uintptr_t where, const void *src, size_t len)
{
	if (!len)
		return true;
	if (!where) {
		errno = EFAULT;
		return false;
	}
	// The kernel checks the address for us when it fills it from a pipe.
	// A page at a time: a pipe holds at least one, so no write waits.
	int p[2];
	if (pipe2(p, O_CLOEXEC) < 0)
		return false;
	constexpr size_t chunk = 4096;
	auto *from = static_cast<const char *>(src);
	auto *to = reinterpret_cast<char *>(where);
	bool ok = true;
	for (size_t done = 0, n; ok && done < len; done += n) {
		n = std::min(chunk, len - done);
		ok = write(p[1], from + done, n) == static_cast<ssize_t>(n) &&
		     read(p[0], to + done, n) == static_cast<ssize_t>(n);
	}
	int e = errno;
	close(p[0]);
	close(p[1]);
	errno = ok ? e : (e ? e : EFAULT);
	return ok;
}

int refuse(int err)
{
	errno = err;
	return -1;
}

uint32_t get_word(const void *base, size_t offset)
{
	uint32_t v;
	std::memcpy(&v, static_cast<const unsigned char *>(base) + offset, sizeof v);
	return v;
}

void put_word(void *base, size_t offset, uint32_t value)
{
	std::memcpy(static_cast<unsigned char *>(base) + offset, &value, sizeof value);
}

} // namespace tqsys
