/*
 * tq_runtime.h - the platform runtime library (workstation stand-in).
 *
 * Logging, I/O and formatting wrappers, sleeps and process lookup for the
 * device's daemons. Formats follow printf, plus "%m": a pointer to six
 * bytes printed as a MAC address (aa:bb:cc:dd:ee:ff).
 */
#ifndef TQ_RUNTIME_H
#define TQ_RUNTIME_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

void __tq_err(const char *tag, int line, const char *fmt, ...);
void tq_log(int level, const char *fmt, ...);
void tq_log_flash(int level, const char *fmt, ...);

int tq_open(const char *path, int flags);
int tq_read(int fd, void *buf, int count);
int tq_close(int fd);

int tq_sprintf(char *buf, const char *fmt, ...);
int tq_snprintf(char *buf, int size, const char *fmt, ...);
int tq_vsnprintf(char *buf, int size, const char *fmt, va_list ap);

void tq_sleep(int seconds);
void tq_usleep(int seconds, int microseconds);

int tq_process_exist(const char *name, int *pid);
int tq_sched_setscheduler(int a, int b, int c);

/* ---- Hooks for tests and tools: not part of the device's runtime. ---- */

enum tqrt_channel {
	TQRT_ERR = 0,    /* __tq_err */
	TQRT_LOG = 1,    /* tq_log */
	TQRT_FLASH = 2,  /* tq_log_flash */
};

/* One report as the runtime received it: the format exactly as passed and
 * the text it produced. `tag` and `line` are set for TQRT_ERR only. */
struct tqrt_record {
	enum tqrt_channel channel;
	int level;
	const char *tag;
	int line;
	const char *fmt;
	const char *text;
};

typedef void (*tqrt_observer_fn)(const struct tqrt_record *rec, void *ctx);
typedef void (*tqrt_sleep_fn)(int seconds, int microseconds, void *ctx);

/* Called for every report, on the reporting thread, before it is written.
 * NULL removes the observer. A change waits for the reports in flight, so
 * the observer replaced is not called once it returns (unless the change
 * comes from inside a hook, which cannot wait for itself). */
void tqrt_set_observer(tqrt_observer_fn fn, void *ctx);

/* Replaces the real sleeps of tq_sleep and tq_usleep; NULL restores them.
 * Waits for hooked sleeps in flight, as tqrt_set_observer does. */
void tqrt_set_sleep(tqrt_sleep_fn fn, void *ctx);

/* Nonzero: reports go to the observer and syslog only, not to stderr.
 * The environment variable TQRT_QUIET=1 sets it at start. */
void tqrt_set_quiet(int quiet);

/* Path of the persistent flash log; TQRT_FLASH_LOG overrides the default. */
const char *tqrt_flash_log_path(void);

#ifdef __cplusplus
}
#endif

#endif /* TQ_RUNTIME_H */
