// The monitor status reader over arbitrary file contents, for every group.
#include "sandbox.h"
#include "tq_syslib.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (!syslib_test::write_file("/etc/monitor_status.conf", {reinterpret_cast<const char *>(data), size}))
		std::abort();
	int found = 0;
	for (uint32_t g = 0; g <= TQ_MAX_GROUP_NUM; ++g) {
		int a = 0, b = 0, rc = tq_monitor_get_group_status(g, &a, &b);
		// Pairs are read in order: once a group is missing, so are the rest.
		if ((rc != 0 && rc != -1) || (rc == 0 && (found++ != static_cast<int>(g) || g == TQ_MAX_GROUP_NUM)))
			std::abort();
	}
	return 0;
}
