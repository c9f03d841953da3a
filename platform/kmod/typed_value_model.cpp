// Typed values: the module keeps the last value of each type and writes
// back the status that a test has set (0, accepted, unless told else).
#include "models.h"

#include <cerrno>

namespace tqsys {
namespace {

constexpr uint32_t set_val = 0x4008;
constexpr uint32_t bad_message = EINVAL;  // status for a message it does not know
constexpr uint32_t table_full = ENOSPC;

uint32_t get_be(const void *base, size_t offset)
{
	auto *p = static_cast<const unsigned char *>(base) + offset;
	return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void put_be(void *base, size_t offset, uint32_t v)
{
	auto *p = static_cast<unsigned char *>(base) + offset;
	for (int i = 0; i < 4; ++i)
		p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

uint32_t store(typed_values &cm, int32_t type, uint32_t value)
{
	typed_value *free_row = nullptr;
	for (typed_value &row : cm.rows) {
		if (row.used && row.type == type) {
			row.value = value;
			return 0;
		}
		if (!row.used && !free_row)
			free_row = &row;
	}
	if (!free_row)
		return table_full;
	*free_row = {1, type, value};
	return 0;
}

} // namespace

int serve_typed_value(kstate &st, unsigned long, void *arg)
{
	if (!arg)
		return refuse(EFAULT);
	uint32_t status = st.cm.status;
	if (get_be(arg, 0) != set_val)
		status = bad_message;
	else if (status == 0)
		status = store(st.cm, static_cast<int32_t>(get_be(arg, 8)), get_be(arg, 12));
	put_be(arg, 4, status);
	return 0;
}

} // namespace tqsys

extern "C" int tqsys_module_set_cm_status(uint32_t status)
{
	return tqsys::with_state([status](tqsys::kstate &st) {
		st.cm.status = status;
		return 0;
	});
}

extern "C" int tqsys_module_cm_value(int32_t type, uint32_t *value)
{
	return tqsys::with_state([type, value](tqsys::kstate &st) {
		for (const tqsys::typed_value &row : st.cm.rows) {
			if (row.used && row.type == type) {
				if (value)
					*value = row.value;
				return 0;
			}
		}
		return -1;
	});
}
