/* Compiled, never run: the header must stand alone in strict C99. */
#include "tq_syslib.h"

TQ_LAYOUT_CHECK(version_is_the_projects,
		TQ_SYSLIB_VERSION_MAJOR == PROJECT_MAJOR && TQ_SYSLIB_VERSION_MINOR == PROJECT_MINOR &&
		TQ_SYSLIB_VERSION_PATCH == PROJECT_PATCH &&
		TQ_SYSLIB_VERSION == PROJECT_MAJOR * 10000 + PROJECT_MINOR * 100 + PROJECT_PATCH);

int header_c99_anchor(void);
int header_c99_anchor(void)
{
	tq_sys_filter_t f = {0, 0, {0}};
	return (int)sizeof f + (int)TQ_MAX_GROUP_NUM;
}
