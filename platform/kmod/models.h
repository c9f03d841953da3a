// What the stand-in module and board driver do for each command.
#pragma once

#include "state.h"

#include <cstddef>
#include <cstdint>

namespace tqsys {

using serve_fn = int (*)(kstate &st, unsigned long cmd, void *arg);

// One family of commands on one device. `request_len` is how many bytes
// of the third argument the command exchanges (0: none or not fixed).
struct model {
	uint32_t device;
	unsigned long first, last;
	uint32_t request_len;
	serve_fn serve;
};

// Finds the model of a command; nullptr for a command nobody serves.
const model *find_model(uint32_t device, unsigned long cmd);

int serve_filter(kstate &st, unsigned long cmd, void *arg);
int serve_board(kstate &st, unsigned long cmd, void *arg);
int serve_admin(kstate &st, unsigned long cmd, void *arg);
int serve_clients(kstate &st, unsigned long cmd, void *arg);
int serve_values(kstate &st, unsigned long cmd, void *arg);
int serve_diag(kstate &st, unsigned long cmd, void *arg);
int serve_typed_value(kstate &st, unsigned long cmd, void *arg);

// Copies into caller memory that a request designates by address, as
// the kernel's copy_to_user does: a bad address gives EFAULT (false), not
// a crash of the caller.
bool copy_out(uintptr_t where, const void *src, size_t len);

// errno = err, and -1: the kernel's way of refusing a command.
int refuse(int err);

// Native-order words inside a request, at byte offsets.
uint32_t get_word(const void *base, size_t offset);
void put_word(void *base, size_t offset, uint32_t value);

} // namespace tqsys
