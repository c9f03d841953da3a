/*
 * exampled - a small daemon that uses libsyslib as the device's daemons do.
 *
 *   exampled HELPER PIDFILE
 *
 * It initialises the library; adds, lists and deletes packet filters,
 * and leaves the table as it found it; surveys the processes and looks at
 * its own memory; launches HELPER as a daemon (HELPER writes its pid into
 * PIDFILE), reads that pid file and stops the helper; blocks a signal; and
 * exits cleanly. Each step prints one line. Against the kernel module
 * stand-in, with a state of your own:
 *
 *   TQSYS_STATE_DIR=$HOME/tqsys-state \
 *   LD_PRELOAD=<prefix>/lib/libtqsys_module.so \
 *     ./exampled ./example_helper /tmp/example_helper.pid
 */
#define _POSIX_C_SOURCE 200809L
#include <tq_syslib.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* The filters this daemon added, deleted again before it exits. */
static int added[4];

static void remove_added(void)
{
	uint32_t id;

	for (id = 1; id <= 3; id++)
		if (added[id] && tq_syslib_filter_del(id) == 0)
			added[id] = 0;
}

static int fail(const char *what)
{
	printf("%s: failed\n", what);
	remove_added();
	tq_syslib_exit();
	return 1;
}

/* The ids of the filter table, as "1 2 3". */
static int list_filters(char *out, size_t size)
{
	tq_sys_filter_t rows[16];
	uint32_t count = 16, i;
	size_t used = 0;

	if (tq_syslib_filter_get_list(rows, &count) != 0)
		return -1;
	out[0] = '\0';
	for (i = 0; i < count && i < 16 && used < size; i++)
		used += (size_t)snprintf(out + used, size - used, i ? " %u" : "%u", (unsigned)rows[i].id);
	return 0;
}

int main(int argc, char **argv)
{
	char ids[128];
	uint32_t id;
	tq_mem_proc_info_list_t survey;
	tq_mem_proc_info_t self;
	sigset_t blocked;
	int pid, tries, rc;

	if (argc != 3) {
		fprintf(stderr, "usage: exampled HELPER PIDFILE\n");
		return 2;
	}
	if (tq_syslib_init() != 0)
		return fail("init");
	printf("init: ok\n");

	for (id = 1; id <= 3; id++) {
		tq_sys_filter_t f;
		memset(&f, 0, sizeof f);
		f.id = id;
		f.key = 0x0a000000u + id;
		if (tq_syslib_filter_add(&f) != 0)
			return fail("filter add");
		added[id] = 1;
	}
	if (list_filters(ids, sizeof ids) != 0)
		return fail("filter list");
	printf("filters: %s\n", ids);
	if (tq_syslib_filter_del(2) != 0)
		return fail("filter del");
	added[2] = 0;
	if (list_filters(ids, sizeof ids) != 0)
		return fail("filter list");
	printf("filters after deleting 2: %s\n", ids);
	remove_added();
	if (added[1] || added[3])
		return fail("filter del");

	/* -1 with a full list is a partial result: a machine with more
	 * process names than the list holds gives the first 128. */
	rc = tq_mem_get_proc_info_list(&survey);
	if (!(rc == 0 && survey.count >= 1) && !(rc == -1 && survey.count == TQ_MEM_PROC_LIST_MAX))
		return fail("survey");
	printf("survey: ok\n");
	memset(&self, 0, sizeof self);
	self.pid = (int)getpid();
	if (tq_mem_get_proc_info(&self) != 0 || self.rss_kb == 0)
		return fail("own memory");
	printf("own memory: %s, resident and named\n", strcmp(self.name, "exampled") == 0 ? "exampled" : "?");

	/* A pid file left by an earlier run must not pass for this one's. */
	if (unlink(argv[2]) != 0 && errno != ENOENT)
		return fail("pid file");
	{
		char *helper_argv[3];
		helper_argv[0] = argv[1];
		helper_argv[1] = argv[2];
		helper_argv[2] = NULL;
		if (tq_daemonize_program(argv[1], helper_argv, 1, 0) != 0)
			return fail("launch");
	}
	/* The helper writes its pid file once it runs as a daemon. */
	for (pid = -1, tries = 0; pid <= 0 && tries < 100; tries++) {
		struct timespec pause = {0, 50000000};
		nanosleep(&pause, NULL);
		pid = tq_read_pid_file(argv[2]);
	}
	if (pid <= 0)
		return fail("pid file");
	printf("helper: running, pid file %s\n", kill(pid, 0) == 0 ? "names it" : "names another");
	kill(pid, SIGTERM);

	if (tq_signal_mask(1, SIGUSR1) != 0 || pthread_sigmask(SIG_BLOCK, NULL, &blocked) != 0)
		return fail("signal mask");
	printf("SIGUSR1: %s\n", sigismember(&blocked, SIGUSR1) == 1 ? "blocked" : "not blocked");

	if (tq_syslib_exit() != 0)
		return fail("exit");
	printf("exit: ok\n");
	return 0;
}
