// What launching a daemon pays for the descriptor limit: the first child
// closes every descriptor below the hard limit before the daemon is forked.
// Verdict: with a hard limit of 1,048,576 that sweep takes under 5 ms (the
// median of 15 launches against 15 that keep their descriptors).
#include "tq_runtime.h"
#include "tq_syslib.h"
#include "verdict.h"

#include <string>
#include <sys/resource.h>

namespace {

double cpu_seconds(const timeval &t)
{
	return double(t.tv_sec) + double(t.tv_usec) * 1e-6;
}

// CPU time of the first child, which the launcher waits for: its fork-side
// work and its sweep, unless it keeps the descriptors. The polling that
// follows is cut short.
double launch(bool keep_fds)
{
	tqrt_set_sleep([](int, int, void *) {}, nullptr);
	char *argv[] = {const_cast<char *>("launch_probe"), nullptr};
	rusage before{}, after{};
	getrusage(RUSAGE_CHILDREN, &before);
	tq_daemonize_program("/nonexistent/launch_probe", argv, 1, keep_fds);
	getrusage(RUSAGE_CHILDREN, &after);
	tqrt_set_sleep(nullptr, nullptr);
	return cpu_seconds(after.ru_utime) + cpu_seconds(after.ru_stime) - cpu_seconds(before.ru_utime) -
	       cpu_seconds(before.ru_stime);
}

} // namespace

int main()
{
	// Without the right to raise the hard limit, the sweep is timed at the
	// limit there is and scaled up as if each descriptor cost the same: an
	// upper bound, as a single close_range costs next to nothing per number.
	rlimit limit{};
	getrlimit(RLIMIT_NOFILE, &limit);
	limit.rlim_max = std::max<rlim_t>(limit.rlim_max, 1 << 20);
	if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
		getrlimit(RLIMIT_NOFILE, &limit);
	const double scale = double(1 << 20) / double(std::min<rlim_t>(limit.rlim_max, 1 << 20));
	std::vector<double> sweeps;
	for (int i = 0; i < 15; ++i) {
		const double sweeping = launch(false), keeping = launch(true);
		sweeps.push_back((sweeping - keeping) * 1000 * scale);
	}
	const std::string what = "first child's sweep of 1048576 descriptors, ms" +
				 (scale == 1 ? std::string() : " (from " + std::to_string(limit.rlim_max) + ", scaled)");
	return verdict::report(what.c_str(), sweeps, 5.0) ? 0 : 1;
}
