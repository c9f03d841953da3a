// The monitor settings: a raw configuration image and the per-group
// status pairs, both read afresh on every call.
#include "tq_monitor_cfg.h"

#include "../frame/owned.h"
#include "../frame/report.h"
#include "tq_syslib.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace syslib {
namespace {

constexpr char config_path[] = "/etc/monitor.conf";
constexpr char status_path[] = "/etc/monitor_status.conf";
constexpr int config_size = sizeof(tq_monitor_cfg_t);
constexpr int assert_priority = LOG_USER | LOG_DEBUG;

} // namespace

void tq_assert_fail(const char *condition, const char *file, int line) noexcept
{
	errno_kept keep;  // syslog may change it too
	syslog(assert_priority, "Assertion (%s) failed at %s:%d\n", condition, file, line);
	TQ_ERR("### Assertion (%s) failed at %s:%d\n", condition, file, line);
}

} // namespace syslib

// The caller gets -1 after the reports rather than losing its process. The
// report names the source file alone: the build machine's folders belong
// neither in the device's logs nor in the binary.
#define TQ_ASSERT(condition)                                                       \
	do {                                                                       \
		if (!(condition)) {                                                \
			::syslib::tq_assert_fail(#condition, __FILE_NAME__, __LINE__); \
			return -1;                                                 \
		}                                                                  \
	} while (0)

using namespace syslib;

extern "C" int tq_monitor_read_config(tq_monitor_cfg_t *cfg, uint32_t size) noexcept
{
	if (size != config_size)
		return -1;
	runtime_fd fd(tq_open(config_path, 0));
	if (!fd) {
		// No file means the all-zero configuration.
		std::memset(cfg, 0, config_size);
		return 0;
	}
	int got = tq_read(fd.get(), cfg, config_size);
	if (got != config_size) {
		TQ_ERR("failed to read file(%s), return code: %d", config_path, got);
		return -1;
	}
	return 0;
}

extern "C" int tq_monitor_get_group_status(uint32_t index, int *first, int *second) noexcept
{
	TQ_ASSERT(index < TQ_MAX_GROUP_NUM);
	file_stream status(std::fopen(status_path, "r"));
	if (!status)
		return -1;
	// White space in the format matches any run of it, so only the order
	// of the pairs counts, not the line breaks.
	for (uint32_t group = 0; std::fscanf(status.get(), "%d %d\n", first, second) == 2; ++group)
		if (group == index)
			return 0;
	return -1;
}
