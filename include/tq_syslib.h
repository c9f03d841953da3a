/*
 * tq_syslib.h - system services for the control-plane daemons.
 *
 * Every function is a plain C call that returns an int and never throws.
 * Records that cross this boundary have fixed sizes and offsets, checked
 * below on every target that includes this header (C99, C11, C++).
 *
 * Unless a comment says otherwise a function returns 0 on success and -1
 * on failure. A failure is reported once, through the platform's runtime
 * library, where its manual page names a message; the others are silent
 * (bad arguments, the wildcard matchers, a full survey, the monitor status
 * file, most failures of a launch, tq_pthread_setschedparam and the
 * signal masks). errno is left as the failing call set it: the library's
 * reports never change it.
 * A kernel command that fails writes nothing to the caller (the reply of
 * tq_syslib_cm_set_val_rsp excepted). Some other calls write before they
 * fail; their comments below say so.
 * Each family has a manual page, named below; syslib(7) is the overview.
 */
#ifndef TQ_SYSLIB_H
#define TQ_SYSLIB_H

#include <stddef.h>
#include <stdint.h>
#include <pthread.h>

/* The library's version; TQ_SYSLIB_VERSION is one number to compare:
 * major * 10000 + minor * 100 + patch. */
#define TQ_SYSLIB_VERSION_MAJOR 1
#define TQ_SYSLIB_VERSION_MINOR 0
#define TQ_SYSLIB_VERSION_PATCH 0
#define TQ_SYSLIB_VERSION \
	(TQ_SYSLIB_VERSION_MAJOR * 10000 + TQ_SYSLIB_VERSION_MINOR * 100 + TQ_SYSLIB_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#define TQ_NOEXCEPT noexcept
#else
#define TQ_NOEXCEPT
#endif

#if defined(__GNUC__)
#define TQ_API __attribute__((visibility("default")))
#else
#define TQ_API
#endif

/* Layout checks that hold in C99 as well: a negative array size fails. */
#if defined(__cplusplus)
#define TQ_LAYOUT_CHECK(name, cond) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TQ_LAYOUT_CHECK(name, cond) _Static_assert(cond, #name)
#else
#define TQ_LAYOUT_CHECK(name, cond) \
	typedef char tq_layout_check_##name[(cond) ? 1 : -1]
#endif

struct timeval;
struct timezone;

/* ------------------------------------------------------------------ */
/* Records                                                             */
/* ------------------------------------------------------------------ */

/* One packet filter. The layout is the kernel module's: the library reads
 * only `key`, and the rest travels whole. */
typedef struct tq_sys_filter {
	uint32_t id;        /* names the filter for delete */
	uint32_t key;       /* looked up by tq_syslib_filter_get */
	uint8_t  rule[56];  /* opaque to the library */
} tq_sys_filter_t;

/* One 802.1X client as the kernel module reports it: 72 bytes whose
 * layout is the module's; the library copies them and reads none. The
 * fields are those the workstation stand-in fills, tqsys_module(3). */
typedef struct tq_sys_mac_entry {
	uint8_t  mac[6];
	uint16_t vlan_id;
	uint32_t auth_state;   /* 0 unknown, 1 authenticated, 2 refused */
	uint32_t auth_value;   /* word of the last status report */
	int32_t  ifindex;
	uint32_t session_s;    /* seconds since the client joined */
	uint8_t  opaque[48];
} tq_sys_mac_entry_t;

/* Typed value message; every word is big-endian whatever the host. */
typedef struct tq_cm_val_msg {
	uint32_t cmd;
	uint32_t status;
	uint32_t type;
	uint32_t value;
} tq_cm_val_msg_t;

/* Memory figures of one process, in KiB. */
typedef struct tq_mem_proc_info {
	char     name[128];
	uint32_t reserved;
	int32_t  pid;
	uint8_t  watch_flag;   /* 1 watched, 2 not (set by the survey only) */
	uint32_t rss_kb;
	uint32_t shared_kb;
	uint32_t private_kb;
	uint32_t text_kb;
	uint32_t data_kb;
	uint32_t stack_kb;
	uint32_t heap_kb;
} tq_mem_proc_info_t;

#define TQ_MEM_PROC_LIST_MAX 128

typedef struct tq_mem_proc_info_list {
	int32_t            count;
	tq_mem_proc_info_t records[TQ_MEM_PROC_LIST_MAX];
} tq_mem_proc_info_list_t;

/* System memory summary, all in KiB. */
typedef struct tq_mem_system_info {
	uint32_t total_kb;
	uint32_t free_kb;
	uint32_t buffers_kb;
	uint32_t cached_kb;
	uint32_t tmpfs_used_kb;
	uint32_t available_kb;
} tq_mem_system_info_t;

#define TQ_MAX_GROUP_NUM 8

/* One monitor group as stored in the configuration image. */
typedef struct tq_monitor_group_cfg {
	char     name[32];
	uint32_t enabled;
	uint32_t interval_s;
	uint32_t threshold;
	uint32_t action;
} tq_monitor_group_cfg_t;

/* Raw image of the monitor configuration file; the library only copies
 * it, so the fields are the configuration's, not the library's. */
typedef struct tq_monitor_cfg {
	uint32_t               magic;
	uint32_t               version;
	tq_monitor_group_cfg_t groups[TQ_MAX_GROUP_NUM];
	uint8_t                reserved[152];
} tq_monitor_cfg_t;

TQ_LAYOUT_CHECK(filter_size, sizeof(tq_sys_filter_t) == 64);
TQ_LAYOUT_CHECK(filter_key, offsetof(tq_sys_filter_t, key) == 4);
TQ_LAYOUT_CHECK(filter_rule, offsetof(tq_sys_filter_t, rule) == 8);
TQ_LAYOUT_CHECK(mac_entry_size, sizeof(tq_sys_mac_entry_t) == 72);
TQ_LAYOUT_CHECK(mac_entry_state, offsetof(tq_sys_mac_entry_t, auth_state) == 8);
TQ_LAYOUT_CHECK(mac_entry_opaque, offsetof(tq_sys_mac_entry_t, opaque) == 24);
TQ_LAYOUT_CHECK(cm_msg_size, sizeof(tq_cm_val_msg_t) == 16);
TQ_LAYOUT_CHECK(cm_msg_status, offsetof(tq_cm_val_msg_t, status) == 4);
TQ_LAYOUT_CHECK(cm_msg_type, offsetof(tq_cm_val_msg_t, type) == 8);
TQ_LAYOUT_CHECK(cm_msg_value, offsetof(tq_cm_val_msg_t, value) == 12);
TQ_LAYOUT_CHECK(proc_reserved, offsetof(tq_mem_proc_info_t, reserved) == 128);
TQ_LAYOUT_CHECK(proc_pid, offsetof(tq_mem_proc_info_t, pid) == 132);
TQ_LAYOUT_CHECK(proc_watch, offsetof(tq_mem_proc_info_t, watch_flag) == 136);
TQ_LAYOUT_CHECK(proc_rss, offsetof(tq_mem_proc_info_t, rss_kb) == 140);
TQ_LAYOUT_CHECK(proc_shared, offsetof(tq_mem_proc_info_t, shared_kb) == 144);
TQ_LAYOUT_CHECK(proc_private, offsetof(tq_mem_proc_info_t, private_kb) == 148);
TQ_LAYOUT_CHECK(proc_text, offsetof(tq_mem_proc_info_t, text_kb) == 152);
TQ_LAYOUT_CHECK(proc_data, offsetof(tq_mem_proc_info_t, data_kb) == 156);
TQ_LAYOUT_CHECK(proc_stack, offsetof(tq_mem_proc_info_t, stack_kb) == 160);
TQ_LAYOUT_CHECK(proc_heap, offsetof(tq_mem_proc_info_t, heap_kb) == 164);
TQ_LAYOUT_CHECK(proc_size, sizeof(tq_mem_proc_info_t) == 168);
TQ_LAYOUT_CHECK(proc_list_records, offsetof(tq_mem_proc_info_list_t, records) == 4);
TQ_LAYOUT_CHECK(proc_list_size, sizeof(tq_mem_proc_info_list_t) == 4 + 128 * 168);
TQ_LAYOUT_CHECK(system_info_size, sizeof(tq_mem_system_info_t) == 24);
TQ_LAYOUT_CHECK(system_info_avail, offsetof(tq_mem_system_info_t, available_kb) == 20);
TQ_LAYOUT_CHECK(monitor_group_size, sizeof(tq_monitor_group_cfg_t) == 48);
TQ_LAYOUT_CHECK(monitor_groups, offsetof(tq_monitor_cfg_t, groups) == 8);
TQ_LAYOUT_CHECK(monitor_cfg_size, sizeof(tq_monitor_cfg_t) == 544);

/* ------------------------------------------------------------------ */
/* Control device: /dev/tq_sys, opened once for every kernel command.   */
/* The packet filter, 802.1X, diagnostic, typed value, software          */
/* watchdog and administrator uid calls need tq_syslib_init first.       */
/* See tq_syslib_init(3).                                              */
/* ------------------------------------------------------------------ */

/* 1 when the readiness marker /tmp/pm_cli_ready exists, else 0. */
TQ_API int tq_sys_ready(void) TQ_NOEXCEPT;
/* Opens the control device (non-blocking, close-on-exec); once open,
 * later calls return 0 at once. */
TQ_API int tq_syslib_init(void) TQ_NOEXCEPT;
/* Closes the control device; 0, also when it was not open. */
TQ_API int tq_syslib_exit(void) TQ_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Watchdogs, clock and administrative controls.                       */
/* See tq_syslib_swdog_enable(3).                                      */
/* ------------------------------------------------------------------ */

/* Tells the module the administrator uid to pretend (needs init). */
TQ_API int tq_syslib_set_fake_admin_uid(uint32_t uid) TQ_NOEXCEPT;
/* Enable, disable or feed the software watchdog (need init). */
TQ_API int tq_syslib_swdog_enable(void) TQ_NOEXCEPT;
TQ_API int tq_syslib_swdog_disable(void) TQ_NOEXCEPT;
TQ_API int tq_syslib_swdog_set(void) TQ_NOEXCEPT;
/* settimeofday(2) with a report on failure. */
TQ_API int tq_syslib_settimeofday(const struct timeval *tv,
				  const struct timezone *tz) TQ_NOEXCEPT;
/* Activate or deactivate the hardware watchdog through /dev/board0,
 * opened for the call; no init needed. */
TQ_API int tq_syslib_hwdog_activate(void) TQ_NOEXCEPT;
TQ_API int tq_syslib_hwdog_deactivate(void) TQ_NOEXCEPT;
/* -1 when the port's digits appear in a line of `netstat -an` (inside a
 * longer number too) or the pipe cannot be opened; 0 when no line shows
 * them, which is also what a netstat that cannot run gives. */
TQ_API int tq_syslib_check_port_valid(int port) TQ_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Packet filter table of the kernel module; every call needs init.    */
/* See tq_syslib_filter_add(3).                                        */
/* ------------------------------------------------------------------ */

/* Adds one filter; deletes the filter of an id. */
TQ_API int tq_syslib_filter_add(const tq_sys_filter_t *filter) TQ_NOEXCEPT;
TQ_API int tq_syslib_filter_del(uint32_t id) TQ_NOEXCEPT;
/* Fills *filter with the filter whose key filter->key names. */
TQ_API int tq_syslib_filter_get(tq_sys_filter_t *filter) TQ_NOEXCEPT;
/* The number of filters in *count. */
TQ_API int tq_syslib_filter_get_cnt(uint32_t *count) TQ_NOEXCEPT;
/* Copies up to *count filters into buf; *count becomes the number copied. */
TQ_API int tq_syslib_filter_get_list(tq_sys_filter_t *buf,
				     uint32_t *count) TQ_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* 802.1X client table of the kernel module; every call needs init.    */
/* See tq_syslib_mac_set_mlme(3).                                      */
/* ------------------------------------------------------------------ */

/* Hand the module an MLME or dynamic VLAN message of len bytes (0 to
 * 560; a longer or negative one is refused and nothing is sent). The
 * messages' layouts are the module's; the stand-in's are in
 * tqsys_module(3). */
TQ_API int tq_syslib_mac_set_mlme(const void *msg, int len) TQ_NOEXCEPT;
TQ_API int tq_syslib_mac_set_dyn_vlan(const void *msg, int len) TQ_NOEXCEPT;
/* Set or read the single value of command cmd; name is for the report. */
TQ_API int tq_syslib_mac_set_val(uint32_t cmd, uint32_t value,
				 const char *name) TQ_NOEXCEPT;
TQ_API int tq_syslib_mac_get_val(uint32_t cmd, uint32_t *value,
				 const char *name) TQ_NOEXCEPT;
/* The number of clients that selector counts, in *count. */
TQ_API int tq_syslib_mac_get_cnt(uint32_t selector, uint32_t *count) TQ_NOEXCEPT;
/* Asks the module to list the table; the words are the module's own
 * (under the stand-in: where the caller's memory is and how many entries
 * it holds, tqsys_module(3)). */
TQ_API int tq_syslib_mac_get_list(uint32_t word0, uint32_t word1,
				  uint32_t word2) TQ_NOEXCEPT;
/* The entry of the client with this 6-byte MAC address. */
TQ_API int tq_syslib_mac_get_one(const uint8_t *mac,
				 tq_sys_mac_entry_t *entry) TQ_NOEXCEPT;
/* Reports a client's authentication as succeeded or failed. */
TQ_API int tq_syslib_mac_set_status(uint32_t unused, const uint8_t *mac,
				    int success, uint32_t value) TQ_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Kernel diagnostic records; every call needs init and returns the    */
/* raw ioctl result (0 on success), or -1 before init. The records'     */
/* layouts and sizes are the module's, not the library's, which passes  */
/* rec through untouched: rec must hold the whole of one. See          */
/* tq_syslib_get_kernel_trace(3), and tqsys_module(3) for the stand-in. */
/* ------------------------------------------------------------------ */

TQ_API int tq_syslib_crash_kernel(void) TQ_NOEXCEPT;
TQ_API int tq_syslib_get_kernel_trace(void *rec) TQ_NOEXCEPT;
TQ_API int tq_syslib_clear_kernel_trace(void) TQ_NOEXCEPT;
TQ_API int tq_syslib_get_reboot_info(void *rec) TQ_NOEXCEPT;
TQ_API int tq_syslib_clear_reboot_info(void) TQ_NOEXCEPT;
TQ_API int tq_syslib_set_reboot_info(const void *rec) TQ_NOEXCEPT;
TQ_API int tq_syslib_clear_magic_done(void) TQ_NOEXCEPT;
TQ_API int tq_syslib_get_bbox_info(void *rec) TQ_NOEXCEPT;
TQ_API int tq_syslib_get_bbox_data(void *rec) TQ_NOEXCEPT;
TQ_API int tq_syslib_start_update_bbox_this_time(void) TQ_NOEXCEPT;
TQ_API int tq_syslib_stop_update_bbox_this_time(void) TQ_NOEXCEPT;
TQ_API int tq_syslib_get_update_bbox_this_time(void *rec) TQ_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Typed value messages, big-endian; need init.                        */
/* See tq_syslib_cm_set_val(3).                                        */
/* ------------------------------------------------------------------ */

/* Sends type and value; the module must accept them. */
TQ_API int tq_syslib_cm_set_val(int32_t type, uint32_t value) TQ_NOEXCEPT;
/* The same, with the message built in *msg, where the reply is left. */
TQ_API int tq_syslib_cm_set_val_rsp(int32_t type, uint32_t value,
				    tq_cm_val_msg_t *msg) TQ_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Resource statistics from /proc and statvfs, in KiB; no init needed. */
/* A figure the kernel prints past 4294967295 reads as 4294967295;      */
/* page counts times the page size, private_kb and available_kb are     */
/* taken in 32 bits and wrap.                                           */
/* ------------------------------------------------------------------ */

/* One process's heap or resident size (statm); the rss call returns -2
 * when the file cannot be opened and -3 when it cannot be read. *out_kb
 * is set to 0 first, so a failure after the argument checks leaves 0.
 * See tq_mem_get_proc_info(3). */
TQ_API int tq_mem_get_proc_heap(int pid, uint32_t *out_kb) TQ_NOEXCEPT;
TQ_API int tq_mem_get_proc_rss(int pid, uint32_t *out_kb) TQ_NOEXCEPT;
/* Fills the record of process info->pid from statm and status; when
 * status cannot be opened the statm figures are already written. */
TQ_API int tq_mem_get_proc_info(tq_mem_proc_info_t *info) TQ_NOEXCEPT;
/* Every process, one record per name, largest resident set first. -1
 * with count 128 when there are more names than the list holds: the 128
 * records gathered, unsorted, are a partial result worth using; -1 also
 * when /proc cannot be read. See tq_mem_get_proc_info_list(3). */
TQ_API int tq_mem_get_proc_info_list(tq_mem_proc_info_list_t *list) TQ_NOEXCEPT;
/* MemFree of /proc/meminfo; the first four meminfo figures, /tmp's use
 * and what is available (a failure keeps the words already read); a
 * file system's size and free space. See tq_mem_get_system_memory(3). */
TQ_API int tq_mem_get_free_mem(uint32_t *free_kb) TQ_NOEXCEPT;
TQ_API int tq_mem_get_system_memory(tq_mem_system_info_t *mem) TQ_NOEXCEPT;
TQ_API int tq_mem_get_fs_info(const char *path, uint32_t *total_kb,
			      uint32_t *free_kb) TQ_NOEXCEPT;
/* CPU load over one second as a percentage and thousandths of one.
 * See tq_sys_get_cpu_total_utilize(3). */
TQ_API int tq_sys_get_cpu_total_utilize(uint32_t *percent,
					uint32_t *thousandths) TQ_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Wildcard matching: "*" any run, "?" one byte, ASCII case folding.   */
/* See tq_matchingstring(3).                                           */
/* ------------------------------------------------------------------ */

/* Index in text, at or after start, where pattern ("?" a wildcard)
 * occurs, or -1. Without "?" it is the first occurrence; with "?" the
 * search can pass over one that begins inside a stretch it has already
 * matched ("a?b" in "aaab" gives -1). */
TQ_API int tq_findingstring(const char *text, const char *pattern,
			    int start) TQ_NOEXCEPT;
/* 1 when the whole text matches pattern, else 0. */
TQ_API int tq_matchingstring(const char *text, const char *pattern,
			     int case_sensitive) TQ_NOEXCEPT;
/* 1 when any (or with match_all, every) pattern of the comma-separated
 * list matches, turned over by invert; else 0. */
TQ_API int tq_multimatching(const char *text, const char *list, int match_all,
			    int invert, int case_sensitive) TQ_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Process control; no init needed.                                     */
/* ------------------------------------------------------------------ */

/* Turns the caller into a daemon: the parent exits, the child returns 0
 * in a new session. See tq_daemonize(3). */
TQ_API int tq_daemonize(int keep_cwd, int keep_stdio) TQ_NOEXCEPT;
/* Runs path as a daemon and waits until it runs: 0, or -1 after 50
 * checks 100 ms apart. */
TQ_API int tq_daemonize_program(const char *path, char *const argv[],
				int keep_cwd, int keep_fds) TQ_NOEXCEPT;
/* The pid a pid file holds, or -1. Digits past 2147483647 read as
 * 2147483647 on every host, as the device's atoi(3) gives them.
 * See tq_read_pid_file(3). */
TQ_API int tq_read_pid_file(const char *path) TQ_NOEXCEPT;
/* A thread under a scheduling policy and priority; these four return 0
 * or a POSIX error number. See tq_pthread_create(3). */
TQ_API int tq_pthread_create(pthread_t *tid, void *(*entry)(void *), void *arg,
			     int policy, int priority, int inherit) TQ_NOEXCEPT;
/* Changes a thread's policy to time-sharing or round-robin only. */
TQ_API int tq_pthread_setschedparam(pthread_t tid, int policy,
				    int priority) TQ_NOEXCEPT;
/* Blocks (block nonzero) or unblocks every signal, or one, for the
 * calling thread. */
TQ_API int tq_signal_maskall(int block) TQ_NOEXCEPT;
TQ_API int tq_signal_mask(int block, int signo) TQ_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Monitor configuration; no init needed.                               */
/* See tq_monitor_read_config(3).                                      */
/* ------------------------------------------------------------------ */

/* Copies /etc/monitor.conf into *cfg (size must be sizeof *cfg); no file
 * gives the all-zero configuration, a short file -1 with *cfg holding the
 * bytes read. */
TQ_API int tq_monitor_read_config(tq_monitor_cfg_t *cfg, uint32_t size) TQ_NOEXCEPT;
/* The status pair of group index (0 to TQ_MAX_GROUP_NUM - 1) from
 * /etc/monitor_status.conf; after -1 the pair may hold an earlier group's
 * numbers. */
TQ_API int tq_monitor_get_group_status(uint32_t index, int *first,
				       int *second) TQ_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* TQ_SYSLIB_H */
