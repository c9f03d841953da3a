/* Compiled, never run: the header must stand alone in strict C99. */
#include "tq_syslib.h"

int header_c99_anchor(void);
int header_c99_anchor(void)
{
	tq_sys_filter_t f = {0, 0, {0}};
	return (int)sizeof f + (int)TQ_MAX_GROUP_NUM;
}
