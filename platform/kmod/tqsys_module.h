/*
 * tqsys_module.h - workstation stand-in for the device's kernel module
 * (/dev/tq_sys) and board driver (/dev/board0).
 *
 * Preload it (LD_PRELOAD=libtqsys_module.so) or link it into a program: it
 * answers open() of the two device paths with a real descriptor and serves
 * ioctl() on those descriptors from one kernel state shared by every
 * process on the machine: a state file that each process maps and locks.
 *
 * The state lives in the directory named by TQSYS_STATE_DIR, by default
 * "/dev/shm/tqsys". A test points its process at a private directory with
 * tqsys_module_use_state_dir().
 *
 * The calls below are for tests and tools; they act on the calling
 * process's view only (its recording and its injected results), except
 * tqsys_module_reset(), which clears the shared state.
 */
#ifndef TQSYS_MODULE_H
#define TQSYS_MODULE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TQSYS_DEVICE_PATH "/dev/tq_sys"
#define TQSYS_BOARD_PATH "/dev/board0"

enum tqsys_device {
	TQSYS_DEV_CONTROL = 1,  /* /dev/tq_sys */
	TQSYS_DEV_BOARD = 2,    /* /dev/board0 */
};

/* Largest request the module copies in or out (the client table area). */
#define TQSYS_REQUEST_MAX 560

/* Capacity of the packet filter table. */
#define TQSYS_FILTER_MAX 256

/* One ioctl as the module saw it. `bytes` holds the first `len` bytes of
 * the request as sent (before the module answered); `reply` the same
 * bytes after the module answered. `arg` is the third argument itself. */
struct tqsys_request {
	uint32_t device;
	uint32_t cmd;
	int32_t result;
	int32_t err;            /* errno set with a negative result, else 0 */
	uint64_t arg;
	uint32_t len;
	uint8_t bytes[TQSYS_REQUEST_MAX];
	uint8_t reply[TQSYS_REQUEST_MAX];
};

/* A result for the next ioctl with this command number (0: any number)
 * on this device. The module then does not act on the request: it copies
 * `reply_len` bytes of `reply` into the request at `reply_offset`, sets
 * errno to `err` when `result` is negative, and returns `result`. */
struct tqsys_injection {
	uint32_t device;
	uint32_t cmd;
	int32_t result;
	int32_t err;
	uint32_t reply_offset;
	uint32_t reply_len;
	uint8_t reply[TQSYS_REQUEST_MAX];
};

/* Use the state in `dir` (created when missing) from now on. */
int tqsys_module_use_state_dir(const char *dir);
const char *tqsys_module_state_dir(void);

/* Empty every table of the shared state. */
int tqsys_module_reset(void);

/* Nonzero: open() of a device path fails with ENOENT, as on a machine
 * without the module. */
void tqsys_module_set_absent(uint32_t device, int absent);

/* Nonzero: the next fcntl(F_SETFD) on a device descriptor fails with
 * EBADF-like error `err` (one shot). */
void tqsys_module_fail_next_setfd(int err);

/* Queue a result; up to 16 wait at a time. 0, or -1 when the queue is full. */
int tqsys_module_inject(const struct tqsys_injection *inj);
void tqsys_module_clear_injections(void);

/* Requests recorded in this process since the last clear (the last 64). */
int tqsys_module_request_count(void);
int tqsys_module_request_get(int index, struct tqsys_request *out);
void tqsys_module_clear_requests(void);

/* Nonzero when `fd` is a descriptor of one of the two devices. */
int tqsys_module_device_of(int fd);

#ifdef __cplusplus
}
#endif

#endif /* TQSYS_MODULE_H */
