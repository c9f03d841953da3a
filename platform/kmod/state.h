// The kernel state that the stand-in shares between processes: one file
// per state directory, mapped by every process and locked around each
// command.
#pragma once

#include "tq_syslib.h"
#include "tqsys_module.h"

#include <cstdint>

namespace tqsys {

constexpr uint32_t state_magic = 0x74717379;  // "tqsy"
constexpr uint32_t state_version = 2;

struct filter_table {
	uint32_t count;
	tq_sys_filter_t rows[TQSYS_FILTER_MAX];
};

struct board_state {
	uint32_t hwdog_active;
	uint32_t hwdog_changes;
};

struct admin_state {
	uint32_t swdog_enabled;
	uint32_t swdog_sets;
	uint32_t uid_set;
	uint32_t uid;
};

struct client_row {
	tq_sys_mac_entry_t entry;
	int64_t joined_s;  // for the entry's session_s
};

struct client_table {
	uint32_t count;
	client_row rows[TQSYS_CLIENT_MAX];
	uint32_t mlme_messages;
	uint32_t values[TQSYS_VALUE_SLOTS];
};

struct diag_state {
	tqsys_kernel_trace trace;
	tqsys_reboot_info reboot;
	tqsys_bbox_data bbox;
	uint32_t bbox_updating;
	uint32_t bbox_updates;
	uint32_t crash_tests;
};

struct typed_value {
	uint32_t used;
	int32_t type;
	uint32_t value;
};

struct typed_values {
	uint32_t status;  // written back by every message, set by tests
	typed_value rows[TQSYS_CM_TYPES];
};

// Fixed-size image of the whole state file. New models add their tables
// here and raise state_version; a file of another version or size is
// started afresh.
struct kstate {
	uint32_t magic;
	uint32_t version;
	uint32_t size;
	uint32_t commands;      // ioctls served, for the curious
	filter_table filters;
	board_state board;
	admin_state admin;
	client_table clients;
	diag_state diag;
	typed_values cm;
};

// Runs `fn` with the state mapped and locked against every other thread
// and process. Returns fn's result, or -1 with errno set when the state
// cannot be reached.
template <class Fn>
int with_state(Fn &&fn);

// Lower-level pieces used by with_state and by the interposer.
kstate *lock_state();          // nullptr with errno on failure
void unlock_state();
bool same_file(int fd, uint32_t device);  // fd refers to that device's file
int open_device_file(uint32_t device, int flags);  // the real descriptor

template <class Fn>
int with_state(Fn &&fn)
{
	kstate *st = lock_state();
	if (!st)
		return -1;
	int rc = fn(*st);
	unlock_state();
	return rc;
}

} // namespace tqsys
