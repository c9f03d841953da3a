/* A daemon's view of syslib: built against the installed prefix only. */
#include <stdio.h>
#include <tq_syslib.h>

int main(void)
{
	uint32_t free_kb = 0;
	int ready = tq_sys_ready();
	int rc = tq_syslib_init();
	printf("ready=%d init=%d sizeof(tq_sys_filter_t)=%u\n", ready, rc,
	       (unsigned)sizeof(tq_sys_filter_t));
	tq_syslib_exit();
	(void)free_kb;
	return sizeof(tq_monitor_cfg_t) == 544 ? 0 : 1;
}
