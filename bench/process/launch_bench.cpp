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
	// The hard limit of the machine, and 4096 for the loop, which each
	// traced call makes slow.
	rlimit limit{};
	getrlimit(RLIMIT_NOFILE, &limit);
	const double with_ms = first_child_ms();
	const long with = verdict::syscalls(launch, true).at(0);
	verdict::report("first child's system calls, close_range, hard limit " + std::to_string(limit.rlim_max), double(with),
			"its CPU time " + std::to_string(with_ms) + " ms", 8);
	without_close_range = true;
	limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 1024);
	limit.rlim_max = 4096;
	setrlimit(RLIMIT_NOFILE, &limit);
	const double without_ms = first_child_ms();
	const long without = verdict::syscalls(launch, true).at(0);
	verdict::report("first child's system calls beyond one close per descriptor below the hard limit of 4096, without close_range",
			double(without - 4096), std::to_string(without) + " in all, its CPU time " + std::to_string(without_ms) + " ms", 8);
	return verdict::finish();
}
