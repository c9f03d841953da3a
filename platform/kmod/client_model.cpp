// The 802.1X client table keyed by MAC address, and the single values
// that daemons set and read by command number.
#include "models.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace tqsys {
namespace {

constexpr size_t mac_size = 6;
constexpr size_t entry_size = sizeof(tq_sys_mac_entry_t);

enum : uint32_t { auth_pending = 0, auth_ok = 1, auth_refused = 2 };

int64_t now_s()
{
	return static_cast<int64_t>(std::time(nullptr));
}

client_row *find(client_table &t, const unsigned char *mac)
{
	for (uint32_t i = 0; i < t.count; ++i)
		if (std::memcmp(t.rows[i].entry.mac, mac, mac_size) == 0)
			return &t.rows[i];
	return nullptr;
}

// The client's row, added when it is new; nullptr when the table is full.
client_row *find_or_add(client_table &t, const unsigned char *mac)
{
	if (client_row *row = find(t, mac))
		return row;
	if (t.count == TQSYS_CLIENT_MAX)
		return nullptr;
	client_row &row = t.rows[t.count++];
	row = {};
	std::memcpy(row.entry.mac, mac, mac_size);
	row.joined_s = now_s();
	return &row;
}

void remove(client_table &t, client_row *row)
{
	auto i = static_cast<uint32_t>(row - t.rows);
	std::memmove(&t.rows[i], &t.rows[i + 1], (t.count - i - 1) * sizeof t.rows[0]);
	--t.count;
	t.rows[t.count] = {};
}

tq_sys_mac_entry_t reported(const client_row &row)
{
	tq_sys_mac_entry_t e = row.entry;
	int64_t age = now_s() - row.joined_s;
	e.session_s = age > 0 ? static_cast<uint32_t>(age) : 0;
	return e;
}

int mlme(client_table &t, unsigned char *req)
{
	const unsigned char *mac = req + TQSYS_MLME_MAC_AT;
	switch (req[0]) {
	case TQSYS_MLME_ASSOCIATE: {
		client_row *row = find_or_add(t, mac);
		if (!row)
			return refuse(ENOSPC);
		row->entry.ifindex = static_cast<int32_t>(get_word(req, TQSYS_MLME_IFINDEX_AT));
		break;
	}
	case TQSYS_MLME_DISASSOCIATE: {
		client_row *row = find(t, mac);
		if (!row)
			return refuse(ENOENT);
		remove(t, row);
		break;
	}
	default:
		return refuse(EINVAL);
	}
	++t.mlme_messages;
	return 0;
}

int count(client_table &t, unsigned char *req)
{
	uint32_t selector = get_word(req, 0);
	if (selector > TQSYS_COUNT_PENDING)
		return refuse(EINVAL);
	uint32_t n = 0;
	for (uint32_t i = 0; i < t.count; ++i) {
		uint32_t state = t.rows[i].entry.auth_state;
		if (selector == TQSYS_COUNT_ALL || (selector == TQSYS_COUNT_AUTHENTICATED && state == auth_ok) ||
		    (selector == TQSYS_COUNT_REFUSED && state == auth_refused) ||
		    (selector == TQSYS_COUNT_PENDING && state == auth_pending))
			++n;
	}
	put_word(req, 4, n);
	return 0;
}

int list(client_table &t, const unsigned char *req)
{
	uintptr_t where = get_word(req, 0);
#if UINTPTR_MAX > UINT32_MAX
	where |= static_cast<uintptr_t>(get_word(req, 4)) << 32;
#else
	// A high word this host cannot hold is no memory of the caller's.
	if (get_word(req, 4))
		return refuse(EFAULT);
#endif
	uint32_t capacity = get_word(req, 8);
	tqsys_client_list_head head{capacity < t.count ? capacity : t.count, t.count};
	unsigned char out[TQSYS_CLIENT_LIST_BYTES(TQSYS_CLIENT_MAX)];
	std::memcpy(out, &head, sizeof head);
	for (uint32_t i = 0; i < head.stored; ++i) {
		tq_sys_mac_entry_t e = reported(t.rows[i]);
		std::memcpy(out + sizeof head + i * entry_size, &e, entry_size);
	}
	if (!copy_out(where, out, TQSYS_CLIENT_LIST_BYTES(head.stored)))
		return refuse(EFAULT);
	return 0;
}

int get_one(client_table &t, unsigned char *req)
{
	client_row *row = find(t, req);
	if (!row)
		return refuse(ENOENT);
	tq_sys_mac_entry_t e = reported(*row);
	std::memcpy(req, &e, entry_size);
	return 0;
}

int set_status(client_table &t, const unsigned char *req, bool success)
{
	client_row *row = find_or_add(t, req);
	if (!row)
		return refuse(ENOSPC);
	row->entry.auth_state = success ? auth_ok : auth_refused;
	row->entry.auth_value = get_word(req, 8);
	return 0;
}

int dyn_vlan(client_table &t, const unsigned char *req)
{
	client_row *row = find(t, req + TQSYS_DYN_VLAN_MAC_AT);
	if (!row)
		return refuse(ENOENT);
	row->entry.ifindex = static_cast<int32_t>(get_word(req, 0));
	std::memcpy(&row->entry.vlan_id, req + TQSYS_DYN_VLAN_ID_AT, sizeof row->entry.vlan_id);
	return 0;
}

} // namespace

int serve_clients(kstate &st, unsigned long cmd, void *arg)
{
	if (!arg)
		return refuse(EFAULT);
	auto *req = static_cast<unsigned char *>(arg);
	client_table &t = st.clients;
	if (t.count > TQSYS_CLIENT_MAX)
		t.count = 0;  // a damaged state file starts empty

	switch (cmd) {
	case 0x8000: return mlme(t, req);
	case 0x8008: return count(t, req);
	case 0x8009: return list(t, req);
	case 0x800A: return get_one(t, req);
	case 0x800B: return set_status(t, req, false);
	case 0x800C: return set_status(t, req, true);
	case 0x800F: return dyn_vlan(t, req);
	default: return refuse(ENOTTY);
	}
}

int serve_values(kstate &st, unsigned long cmd, void *arg)
{
	if (!arg)
		return refuse(EFAULT);
	auto n = static_cast<uint32_t>(cmd) & (TQSYS_VALUE_SLOTS - 1);
	if (cmd < TQSYS_VALUE_GET_CMD(0))
		st.clients.values[n] = get_word(arg, 0);
	else
		put_word(arg, 0, st.clients.values[n]);
	return 0;
}

} // namespace tqsys

extern "C" int tqsys_module_put_client(const tq_sys_mac_entry_t *entry)
{
	if (!entry) {
		errno = EINVAL;
		return -1;
	}
	return tqsys::with_state([entry](tqsys::kstate &st) {
		tqsys::client_row *row = tqsys::find_or_add(st.clients, entry->mac);
		if (!row)
			return tqsys::refuse(ENOSPC);
		row->entry = *entry;
		return 0;
	});
}

extern "C" int tqsys_module_drop_client(const uint8_t mac[6])
{
	return tqsys::with_state([mac](tqsys::kstate &st) {
		tqsys::client_row *row = mac ? tqsys::find(st.clients, mac) : nullptr;
		if (!row)
			return tqsys::refuse(ENOENT);
		tqsys::remove(st.clients, row);
		return 0;
	});
}
