// The monitor status reader over arbitrary file contents, for every group.
#include "sandbox.h"
#include "tq_runtime.h"
#include "tq_syslib.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	tqrt_set_quiet(1);
	if (!syslib_test::enter_sandbox()) {
		std::fprintf(stderr, "monitor_status_fuzz needs root for a private mount namespace\n");
		std::exit(1);
	}
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FILE *f = std::fopen("/etc/monitor_status.conf", "wb");
	if (!f)
		std::abort();
	std::fwrite(data, 1, size, f);
	std::fclose(f);
	int found = 0;
	for (uint32_t g = 0; g < TQ_MAX_GROUP_NUM; ++g) {
		int a = 0, b = 0;
		int rc = tq_monitor_get_group_status(g, &a, &b);
		if (rc != 0 && rc != -1)
			std::abort();
		// Pairs are read in order: once a group is missing, so are the rest.
		if (rc == 0 && found != static_cast<int>(g))
			std::abort();
		if (rc == 0)
			++found;
	}
	int a = 0, b = 0;
	if (tq_monitor_get_group_status(TQ_MAX_GROUP_NUM, &a, &b) != -1)
		std::abort();
	return 0;
}
