/*
 * tqsys_module.h - workstation stand-in for the device's kernel module
 * (/dev/tq_sys) and board driver (/dev/board0).
 *
 * Preload it (LD_PRELOAD=libtqsys_module.so) or link it into a program: it
 * answers open() of the two device paths with a real descriptor and serves
 * ioctl() on those descriptors from one kernel state shared by all the
 * processes of one user (of one byte order and word size): a state file
 * that each process maps. A full disk, a signal handler's command, a
 * stopped or killed process and a removed state are handled as the kernel
 * would; see tqsys_module(3).
 *
 * The state lives in the directory named by TQSYS_STATE_DIR (absolute), by
 * default "$XDG_RUNTIME_DIR/tqsys", or "/dev/shm/tqsys-<uid>" without
 * XDG_RUNTIME_DIR. The directory must belong to the user, be writable by
 * nobody else and hold nothing but the stand-in's files; it is made 0700
 * when missing. A test points its process at a private directory with
 * tqsys_module_use_state_dir().
 *
 * The calls below are for tests and tools; the recording and injection
 * calls act on the calling process only, the seeding calls and
 * tqsys_module_reset() on the shared state.
 */
#ifndef TQSYS_MODULE_H
#define TQSYS_MODULE_H

#include <stddef.h>
#include <stdint.h>

#include "tq_syslib.h"

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

/* ---- 802.1X client table (commands 0x8000 to 0x800F) ----
 *
 * Clients are keyed by MAC address; tq_sys_mac_entry_t is the entry.
 * 0x800B/0x800C (set status) adds an unknown client. Its auth_state
 * becomes 2 (refused) or 1 (authenticated) and auth_value the status word.
 */
#define TQSYS_CLIENT_MAX 64

/* MLME message (0x8000): byte 0 the kind, bytes 6-11 the client's MAC,
 * bytes 12-15 the interface index (native order). Associate adds the
 * client with auth_state 0; disassociate removes it. */
enum tqsys_mlme_kind {
	TQSYS_MLME_ASSOCIATE = 1,
	TQSYS_MLME_DISASSOCIATE = 2,
};
#define TQSYS_MLME_MAC_AT 6
#define TQSYS_MLME_IFINDEX_AT 12

/* Dynamic VLAN message (0x800F): word 0 the interface index, bytes 4-9
 * the client's MAC, bytes 10-11 the VLAN id (native order). The client
 * must be in the table. */
#define TQSYS_DYN_VLAN_MAC_AT 4
#define TQSYS_DYN_VLAN_ID_AT 10

/* Count selector (0x8008, word 0): which clients word 1 counts. */
enum tqsys_client_selector {
	TQSYS_COUNT_ALL = 0,
	TQSYS_COUNT_AUTHENTICATED = 1,
	TQSYS_COUNT_REFUSED = 2,
	TQSYS_COUNT_PENDING = 3,
};

/* List (0x8009): word 0 and word 1 are the low and high 32 bits of the
 * address of the caller's memory (word 1 is 0 on a 32-bit host), word 2
 * the number of entries that memory holds after its head. The module
 * writes the head, then `stored` entries in table order. */
struct tqsys_client_list_head {
	uint32_t stored;  /* entries written after the head */
	uint32_t total;   /* entries in the table */
};
#define TQSYS_CLIENT_LIST_BYTES(entries) \
	(sizeof(struct tqsys_client_list_head) + (size_t)(entries) * sizeof(tq_sys_mac_entry_t))
#define TQSYS_ADDR_LO(p) ((uint32_t)(uintptr_t)(p))
#define TQSYS_ADDR_HI(p) ((uint32_t)((uint64_t)(uintptr_t)(p) >> 32))

/* Single values (word 0 of the 560-byte area) by command number: value
 * `n` (0 to 255) is written by TQSYS_VALUE_SET_CMD(n) and read by
 * TQSYS_VALUE_GET_CMD(n). */
#define TQSYS_VALUE_SLOTS 256
#define TQSYS_VALUE_SET_CMD(n) (0x8100u + (uint32_t)(n))
#define TQSYS_VALUE_GET_CMD(n) (0x8200u + (uint32_t)(n))

/* ---- Kernel diagnostic records (0x9001 to 0x90FF) ----
 * Records in native order; the module checks no size but these. */
struct tqsys_kernel_trace {   /* 0x9001 fills; 0x9002 empties */
	uint32_t length;          /* bytes of text, no terminator counted */
	char text[508];           /* always terminated */
};
struct tqsys_reboot_info {    /* 0x9003 fills, 0x9005 stores, 0x9004 clears */
	uint32_t reason;
	uint32_t count;           /* times 0x9005 stored a record */
	uint32_t magic_done;      /* 1 once a record is stored; 0x9006 clears */
	uint32_t time_s;
	char note[48];
};
struct tqsys_bbox_info {      /* 0x90F0 fills */
	uint32_t magic;           /* TQSYS_BBOX_MAGIC */
	uint32_t length;          /* bytes of black-box data held */
	uint32_t capacity;        /* TQSYS_BBOX_DATA_MAX */
	uint32_t updating;        /* as 0x90F4 reports it */
	uint32_t updates;         /* times 0x90F2 started an update */
	uint32_t crash_tests;     /* times 0x90FF was asked to crash */
	uint32_t reserved[2];
};
#define TQSYS_BBOX_MAGIC 0x62626f78u  /* "bbox" */
#define TQSYS_BBOX_DATA_MAX 508
struct tqsys_bbox_data {      /* 0x90F1 fills */
	uint32_t length;
	uint8_t data[TQSYS_BBOX_DATA_MAX];
};
/* 0x90F4 fills one 32-bit word: 1 while the black box is updated this
 * time (after 0x90F2, until 0x90F3), else 0. */
#define TQSYS_KERNEL_TRACE_SIZE 512
#define TQSYS_REBOOT_INFO_SIZE 64
#define TQSYS_BBOX_INFO_SIZE 32
#define TQSYS_BBOX_DATA_SIZE 512
#define TQSYS_BBOX_STATE_SIZE 4

/* 0x90FF does not crash anything: the module appends a line to the
 * kernel trace and counts the request. */
#define TQSYS_CRASH_TRACE_LINE "tq_sys: test crash requested, not crashing\n"

/* ---- Typed values (0x4008) ----
 * The big-endian message: cmd, status, type, value. The module keeps the
 * last value of each type and writes the status set below (0 accepts). */
#define TQSYS_CM_TYPES 32

/* ---- Software watchdog (0x1000) and fake administrator uid (0x7001) ---- */
enum tqsys_swdog_op { TQSYS_SWDOG_ENABLE = 0, TQSYS_SWDOG_DISABLE = 1, TQSYS_SWDOG_SET = 2 };

/* What the module holds, for tests and tools. */
struct tqsys_status {
	uint32_t swdog_enabled;
	uint32_t swdog_sets;      /* 0x1000 "set" operations */
	uint32_t admin_uid_set;   /* nonzero once 0x7001 was served */
	uint32_t admin_uid;
	uint32_t hwdog_active;
	uint32_t hwdog_changes;
	uint32_t clients;
	uint32_t mlme_messages;
	uint32_t crash_tests;
	uint32_t bbox_updating;
	uint32_t cm_status;       /* the status 0x4008 writes */
};

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

/* Use the state in `dir` (created when missing) from now on; NULL: the
 * default directory, as the environment names it now. */
int tqsys_module_use_state_dir(const char *dir);
const char *tqsys_module_state_dir(void);

/* NULL when the state can be used; else why not, in words. */
const char *tqsys_module_problem(void);

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

/* The module's state, or -1 when it cannot be reached. */
int tqsys_module_status(struct tqsys_status *out);

/* The status word that 0x4008 writes back from now on (shared state). */
int tqsys_module_set_cm_status(uint32_t status);
/* The last value the module accepted for `type`; -1 when none. */
int tqsys_module_cm_value(int32_t type, uint32_t *value);

/* Replace the kernel trace text or the black-box data (as if the kernel
 * had written them); longer input is cut to fit. */
int tqsys_module_set_kernel_trace(const char *text);
int tqsys_module_set_bbox_data(const void *data, uint32_t len);

/* Store a reboot record as 0x9005 does (count raised, magic done, the
 * time now); the note is cut to 47 bytes. */
int tqsys_module_set_reboot_info(uint32_t reason, const char *note);

/* Put a client into the table (replacing the one of its MAC address), or
 * take it out; -1 with ENOSPC when full, ENOENT when unknown. */
int tqsys_module_put_client(const tq_sys_mac_entry_t *entry);
int tqsys_module_drop_client(const uint8_t mac[6]);

/* Nonzero when `fd` is a descriptor of one of the two devices. */
int tqsys_module_device_of(int fd);

#ifdef __cplusplus
}
#endif

#endif /* TQSYS_MODULE_H */
