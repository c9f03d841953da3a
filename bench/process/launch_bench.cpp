// What launching a daemon pays for the descriptor limit: the first child
// closes every descriptor below the hard limit before the daemon is forked,
// with one close_range where the kernel has it, one close per number where
// it has not. Counted in system calls of the first child, which no machine
// or load changes: a handful with close_range, and one more per descriptor
// below the hard limit without it. Its CPU time is shown beside them.
#include "tq_runtime.h"
#include "tq_syslib.h"
#include "verdict.h"

#include <cerrno>
#include <dlfcn.h>
#include <string>
#include <sys/resource.h>

namespace {

bool without_close_range = false;

double cpu_ms(const rusage &r)
{
	return (double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec)) /
	       1000;
}

// A launch whose program never runs, its polling cut short.
void launch()
{
	tqrt_set_sleep([](int, int, void *) {}, nullptr);
	char *argv[] = {const_cast<char *>("launch_probe"), nullptr};
	tq_daemonize_program("/nonexistent/launch_probe", argv, 1, 0);
	tqrt_set_sleep(nullptr, nullptr);
}

// The first child's CPU time for its sweep, in ms: the launcher waits for it.
double first_child_ms()
{
	rusage before{}, after{};
	getrusage(RUSAGE_CHILDREN, &before);
	launch();
	getrusage(RUSAGE_CHILDREN, &after);
	return cpu_ms(after) - cpu_ms(before);
}

} // namespace

// A kernel without close_range, for the launches that ask for one.
extern "C" int close_range(unsigned first, unsigned last, int flags)
{
	static auto real = reinterpret_cast<int (*)(unsigned, unsigned, int)>(dlsym(RTLD_NEXT, "close_range"));
	if (without_close_range)
		return errno = ENOSYS, -1;
	return real(first, last, flags);
}

int main()
{
	rlimit limit{};
	getrlimit(RLIMIT_NOFILE, &limit);
	char how[96];
	std::snprintf(how, sizeof how, "its CPU time %.3f ms", first_child_ms());
	const std::vector<long> with = verdict::syscalls(launch, true);
	verdict::report("first child's system calls, close_range, hard limit " + std::to_string(limit.rlim_max),
			with.empty() ? 99 : double(with[0]), how, 8);
	// At most 4096 for the loop, which each traced call makes slow.
	without_close_range = true;
	limit.rlim_max = std::min<rlim_t>(limit.rlim_max, 4096);
	limit.rlim_cur = std::min(limit.rlim_cur, limit.rlim_max);
	setrlimit(RLIMIT_NOFILE, &limit);
	const long hard = long(limit.rlim_max);
	std::snprintf(how, sizeof how, "its CPU time %.3f ms", first_child_ms());
	const std::vector<long> without = verdict::syscalls(launch, true);
	verdict::report("first child's system calls beyond one close per descriptor below the hard limit of " +
				std::to_string(hard) + ", without close_range",
			without.empty() ? 99 : double(without[0] - hard),
			std::to_string(without.empty() ? 0 : without[0]) + " in all, " + how, 8);
	return verdict::finish();
}
