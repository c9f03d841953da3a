// How busy the processors were over one second, from two samples of the
// aggregate cpu line of /proc/stat.
#include "../frame/owned.h"
#include "../frame/report.h"
#include "tq_syslib.h"

#include <cstdio>

namespace syslib {
namespace {

constexpr char stat_path[] = "/proc/stat";
constexpr int line_size = 256;

// The low 32 bits of the counter sums: differences of them stay right when
// a counter's low word wraps between the samples.
struct cpu_sample {
	uint32_t busy;   // user + nice + system + irq + softirq
	uint32_t total;  // busy + idle; iowait counts in neither
};

bool take_sample(cpu_sample &sample) noexcept
{
	file_stream stat(std::fopen(stat_path, "r"));
	if (!stat) {
		TQ_ERR("ERROR: get system cpu information failed because can not open file :%s!\n",
		       stat_path);
		return false;
	}
	// A first line that cannot be read or parsed counts as all zeros.
	char line[line_size] = {};
	(void)std::fgets(line, sizeof line, stat.get());
	char label[line_size];
	unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0,
			   softirq = 0;
	std::sscanf(line, "%s %llu %llu %llu %llu %llu %llu %llu", label, &user, &nice, &system,
		    &idle, &iowait, &irq, &softirq);
	auto low = [](unsigned long long v) { return static_cast<uint32_t>(v); };
	sample.busy = low(user) + low(nice) + low(system) + low(irq) + low(softirq);
	sample.total = sample.busy + low(idle);
	return true;
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_sys_get_cpu_total_utilize(uint32_t *percent, uint32_t *thousandths) noexcept
{
	cpu_sample old_sample, new_sample;
	if (!take_sample(old_sample))
		return -1;
	tq_sleep(1);
	if (!take_sample(new_sample))
		return -1;

	const uint32_t total = new_sample.total - old_sample.total;
	uint32_t whole = 0, fraction = 0;
	if (total != 0) {
		const uint32_t busy = new_sample.busy - old_sample.busy;
		whole = busy * 100 / total;
		fraction = busy * 100000 / total % 1000;
		if (whole > 99) {
			whole = 100;
			fraction = 0;
		}
	}
	*percent = whole;
	*thousandths = fraction;
	return 0;
}
