// The kernel state that the stand-in shares between one user's processes:
// one file per user and machine type in a directory only that user can
// enter, mapped by every process and changed by one command at a time.
#pragma once

#include "tq_syslib.h"
#include "tqsys_module.h"

#include <csignal>
#include <cstdint>
#include <mutex>
#include <sys/types.h>

namespace tqsys {

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

// Every table of the module. A command works on a copy of the current
// one, so that a process killed in the middle leaves the old tables.
struct kstate {
	uint32_t commands;      // ioctls served, for the curious
	filter_table filters;
	board_state board;
	admin_state admin;
	client_table clients;
	diag_state diag;
	typed_values cm;
};

// Holds `m` (if any) with every signal blocked, as a system call runs: a handler
// runs after the command it interrupts, never inside it, so that a command
// of its own never waits for that one.
class held {
	sigset_t old_;
	std::unique_lock<std::mutex> lock_;

public:
	explicit held(std::mutex *m = nullptr);
	~held();
};

// Runs `fn` on the tables as if no other command of any thread or process
// ran meanwhile (`fn` may run more than once, each time on fresh tables),
// and makes its changes visible at once when it returns. Returns fn's
// result, or -1 with errno set when the state is unusable
// (tqsys_module_problem() says why) or, EAGAIN, busy past the bound, at
// once unless `wait`.
int with_state(int (*fn)(kstate &, void *), void *context, bool wait);

template <class Fn>
int with_state(Fn &&fn, bool wait = true)
{
	return with_state([](kstate &st, void *c) { return (*static_cast<Fn *>(c))(st); }, &fn, wait);
}

// A descriptor of the device's node in the state directory, with the
// caller's close-on-exec flag; -1 with errno when the state is unusable.
int open_device_node(uint32_t device, int flags);

// Which device's node `fd` refers to, 0 for none.
uint32_t device_of_node(int fd);

// Learns the nodes' identities without making anything, for descriptors
// a program inherits across exec.
void learn_nodes();

// Held across fork, so that a child never inherits a view locked by a
// thread it does not have.
void lock_for_fork();
void unlock_after_fork();

} // namespace tqsys
