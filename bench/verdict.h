// Benchmarks as verdicts that give one answer on any machine, quiet or
// busy. Where the work is mostly system calls, the calls are counted (each
// one stops a traced child) and the work in user space is counted in
// instructions by valgrind's callgrind, which needs no hardware counter:
// neither moves with the processor, the kernel's mitigations or the other
// load of the machine, as the time of a system call does. Times remain
// only where the work is all user space (the matchers): 15 pairs, the side
// that goes first changing each time, the median ratio against the bound,
// and a failing median measured again before it counts.
#pragma once

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace verdict {

inline int failures = 0;

// One line per bound, pass or fail: "verdict PASS: WHAT: FIGURE (HOW), bound B".
inline bool report(const std::string &what, double figure, const std::string &how, double bound)
{
	const bool pass = figure <= bound;
	failures += !pass;
	std::printf("verdict %s: %s: %.3f (%s), bound %.3g\n", pass ? "PASS" : "FAIL", what.c_str(), figure,
		    how.c_str(), bound);
	std::fflush(stdout);
	return pass;
}

inline int finish()
{
	return failures ? 1 : 0;
}

// ---- time, for work in user space ----

inline double now()
{
	timespec t{};
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
	return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

template <class F> double seconds(F &&f, long calls)
{
	const double start = now();
	for (long i = 0; i < calls; ++i)
		f();
	return now() - start;
}

// The time of `a` over the time of `b`, each over `calls` calls: the median
// of 15 pairs, measured up to three times while it misses the bound.
template <class A, class B> bool at_most(const std::string &what, double bound, long calls, A &&a, B &&b)
{
	for (int round = 1;; ++round) {
		std::vector<double> ratios;
		for (int i = 0; i < 15; ++i) {
			double ta, tb;
			if (i % 2)
				tb = seconds(b, calls), ta = seconds(a, calls);
			else
				ta = seconds(a, calls), tb = seconds(b, calls);
			ratios.push_back(ta / tb);
		}
		std::sort(ratios.begin(), ratios.end());
		const double median = ratios[ratios.size() / 2];
		if (median <= bound || round == 3) {
			char how[96];
			std::snprintf(how, sizeof how, "median time ratio, %.3f to %.3f over 15 pairs, round %d",
				      ratios.front(), ratios.back(), round);
			return report(what, median, how, bound);
		}
	}
}

// ---- system calls ----

// Ends one count of system calls and begins the next: a call that nothing
// else here makes.
inline void mark()
{
	(void)getppid();
}

// The system calls made by `f` run once in a traced child, after a first
// run that takes what is set up once: one count per stretch between two
// marks. With `first_child`, only those of the first process that the run
// forks (and no warm-up run).
template <class F> std::vector<long> syscalls(F &&f, bool first_child = false)
{
	std::fflush(nullptr);
	const pid_t child = fork();
	if (child == 0) {
		if (!first_child)
			f();
		ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
		raise(SIGSTOP);
		f();
		_exit(0);
	}
	int status;
	if (child < 0 || waitpid(child, &status, 0) != child || !WIFSTOPPED(status))
		return {};
	const long follow = first_child ? PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE : 0;
	if (ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | follow) != 0 ||
	    ptrace(PTRACE_SYSCALL, child, nullptr, nullptr) != 0) {  // no right to trace here
		kill(child, SIGKILL);
		waitpid(child, &status, 0);
		return {};
	}
	pid_t counted = first_child ? 0 : child;
	std::vector<long> calls{0};
	for (pid_t p; (p = waitpid(-1, &status, __WALL)) > 0;) {
		if (!WIFSTOPPED(status))
			continue;
		int deliver = 0;
		const int sig = WSTOPSIG(status), event = status >> 16;
		if (sig == (SIGTRAP | 0x80)) {
			__ptrace_syscall_info info{};
			ptrace(PTRACE_GET_SYSCALL_INFO, p, sizeof info, &info);
			if (p == counted && info.op == PTRACE_SYSCALL_INFO_ENTRY) {
				if (info.entry.nr == SYS_getppid)
					calls.push_back(0);
				else
					++calls.back();
			}
		} else if (event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK || event == PTRACE_EVENT_CLONE) {
			unsigned long born = 0;
			ptrace(PTRACE_GETEVENTMSG, p, nullptr, &born);
			if (!counted)
				counted = pid_t(born);
		} else if (sig != SIGSTOP && sig != SIGTRAP) {
			deliver = sig;
		}
		ptrace(PTRACE_SYSCALL, p, nullptr, deliver);
	}
	return calls;
}

// The calls of `a` against those of `b`: none more. Both are counted in
// one child, five pairs side by side, the side that goes first changing
// each time, so that processes that come and go rarely fall between the
// two of a pair; the median pair decides, and a miss is counted again, up
// to three times, before it counts.
template <class A, class B> bool calls_at_most(const std::string &what, A &&a, B &&b)
{
	for (int round = 1;; ++round) {
		const std::vector<long> c = syscalls([&] {
			for (int i = 0; i < 5; ++i) {
				i % 2 ? b() : a();
				mark();
				i % 2 ? a() : b();
				mark();
			}
		});
		std::vector<std::pair<double, std::string>> pairs;
		for (size_t i = 0; i + 1 < c.size() && c.size() > 10; i += 2) {
			const long ca = c[i + (i / 2 % 2)], cb = c[i + 1 - (i / 2 % 2)];
			pairs.push_back({double(ca) / double(std::max(cb, 1L)),
					 std::to_string(ca) + " system calls against " + std::to_string(cb)});
		}
		if (pairs.empty())
			return report(what, 99, "no count: the child could not be traced", 1);
		std::sort(pairs.begin(), pairs.end());
		const auto &median = pairs[pairs.size() / 2];
		if (median.first <= 1 || round == 3)
			return report(what, median.first, median.second + " (median of 5 pairs), round " +
								   std::to_string(round), 1);
	}
}

// ---- instructions in user space ----

// Sides a run under valgrind can be asked for, by name.
inline std::map<std::string, std::function<void()>> sides;

// What callgrind counts: only the instructions run inside this function.
extern "C" [[gnu::noinline]] inline void verdict_counted(const std::function<void()> *side, long runs)
{
	for (long i = 0; i < runs; ++i)
		(*side)();
}

// Called first in main, after the sides are named: a run of this program
// as `PROGRAM --side NAME RUNS` (under callgrind) runs the side once to
// warm up, then RUNS times counted, and ends.
inline void run_side_if_asked(int argc, char **argv)
{
	if (argc != 4 || std::strcmp(argv[1], "--side") != 0)
		return;
	const std::function<void()> &side = sides.at(argv[2]);
	side();
	verdict_counted(&side, std::atol(argv[3]));
	std::exit(0);
}

// The user-space instructions of one run of the side, or -1 without valgrind.
inline double instructions(const std::string &side, long runs)
{
	char self[4096] = {}, out[] = "/tmp/verdict-callgrind.XXXXXX";
	if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0 || mkstemp(out) < 0)
		return -1;
	const std::string command = "valgrind --tool=callgrind --collect-atstart=no --toggle-collect=verdict_counted"
				    " --callgrind-out-file=" + std::string(out) + " '" + self + "' --side '" + side +
				    "' " + std::to_string(runs) + " >/dev/null 2>&1";
	double total = -1;
	if (std::system(command.c_str()) == 0)
		if (FILE *f = std::fopen(out, "r")) {
			char line[512];
			while (std::fgets(line, sizeof line, f))
				if (!std::strncmp(line, "summary:", 8) || !std::strncmp(line, "totals:", 7))
					total = std::atof(std::strchr(line, ':') + 1);
			std::fclose(f);
		}
	std::remove(out);
	return total < 0 ? -1 : total / double(runs);
}

// The instructions of side `a` over those of side `b`, per run.
inline bool instructions_at_most(const std::string &what, double bound, long runs, const std::string &a,
				 const std::string &b)
{
	const double ia = instructions(a, runs), ib = instructions(b, runs);
	if (ia <= 0 || ib <= 0)
		return report(what, 99, "no count: valgrind is missing (scripts/deps.sh installs it)", bound);
	char how[128];
	std::snprintf(how, sizeof how, "%.0f instructions in user space against %.0f, per run", ia, ib);
	return report(what, ia / ib, how, bound);
}

} // namespace verdict
