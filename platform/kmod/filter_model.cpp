// The packet filter table: rows keyed by `key`, deleted by their first
// word. A second add with a key already present is refused (EEXIST).
#include "models.h"

#include <cerrno>
#include <cstring>

namespace tqsys {
namespace {

enum : uint32_t { op_add = 0, op_del = 1, op_count = 2, op_list = 3, op_get = 4 };

constexpr size_t data = 4;  // the 64 data bytes follow the operation code
constexpr size_t row_size = sizeof(tq_sys_filter_t);

int find_key(const filter_table &t, uint32_t key)
{
	for (uint32_t i = 0; i < t.count && i < TQSYS_FILTER_MAX; ++i)
		if (t.rows[i].key == key)
			return static_cast<int>(i);
	return -1;
}

} // namespace

int serve_filter(kstate &st, unsigned long, void *arg)
{
	if (!arg)
		return refuse(EFAULT);
	auto *req = static_cast<unsigned char *>(arg);
	filter_table &t = st.filters;
	if (t.count > TQSYS_FILTER_MAX)
		t.count = 0;  // a damaged state file starts empty

	switch (get_word(req, 0)) {
	case op_add: {
		tq_sys_filter_t row;
		std::memcpy(&row, req + data, row_size);
		if (find_key(t, row.key) >= 0)
			return refuse(EEXIST);
		if (t.count == TQSYS_FILTER_MAX)
			return refuse(ENOSPC);
		t.rows[t.count++] = row;
		return 0;
	}
	case op_del: {
		uint32_t id = get_word(req, data);
		for (uint32_t i = 0; i < t.count; ++i) {
			if (t.rows[i].id != id)
				continue;
			std::memmove(&t.rows[i], &t.rows[i + 1], (t.count - i - 1) * row_size);
			--t.count;
			std::memset(&t.rows[t.count], 0, row_size);
			return 0;
		}
		return refuse(ENOENT);
	}
	case op_count:
		put_word(req, data, t.count);
		return 0;
	case op_list: {
		uintptr_t where = get_word(req, data);
#if UINTPTR_MAX > UINT32_MAX
		// A 64-bit host's library puts the address's high word here.
		where |= static_cast<uintptr_t>(get_word(req, data + 8)) << 32;
#endif
		uint32_t capacity = get_word(req, data + 4);
		uint32_t rows = capacity / row_size;
		if (rows > t.count)
			rows = t.count;
		if (!copy_out(where, t.rows, rows * row_size))
			return refuse(EFAULT);
		put_word(req, data + 4, static_cast<uint32_t>(rows * row_size));
		return 0;
	}
	case op_get: {
		int i = find_key(t, get_word(req, data + 4));
		if (i < 0)
			return refuse(ENOENT);
		std::memcpy(req + data, &t.rows[i], row_size);
		return 0;
	}
	default:
		return refuse(EINVAL);
	}
}

} // namespace tqsys
