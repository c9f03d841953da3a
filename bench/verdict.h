// Benchmarks as verdicts. Two sides are timed in turn, 15 pairs, the side
// that goes first changing from pair to pair, each side over enough calls
// to take a few milliseconds; the median of the 15 ratios is compared with
// the bound and printed, pass or fail. Time is the thread's CPU time, which
// the other load of a shared machine disturbs far less than wall time.
#pragma once

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace verdict {

inline int failures = 0;

inline double now(clockid_t clock = CLOCK_THREAD_CPUTIME_ID)
{
	timespec t{};
	clock_gettime(clock, &t);
	return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

template <class F> double seconds(F &&f, long calls)
{
	const double start = now();
	for (long i = 0; i < calls; ++i)
		f();
	return now() - start;
}

// Prints the verdict line; false (and a failure counted) past the bound.
inline bool report(const char *what, std::vector<double> ratios, double bound)
{
	std::sort(ratios.begin(), ratios.end());
	const double median = ratios[ratios.size() / 2];
	const bool pass = median <= bound;
	failures += !pass;
	std::printf("verdict %s: %s median %.3f (%.3f to %.3f over %zu pairs), bound %.2f\n", pass ? "PASS" : "FAIL",
		    what, median, ratios.front(), ratios.back(), ratios.size(), bound);
	std::fflush(stdout);
	return pass;
}

// The time of `a` over the time of `b`, each over `calls` calls.
template <class A, class B> bool at_most(const char *what, double bound, long calls, A &&a, B &&b, int pairs = 15)
{
	std::vector<double> ratios;
	for (int i = 0; i < pairs; ++i) {
		double ta, tb;
		if (i % 2)
			tb = seconds(b, calls), ta = seconds(a, calls);
		else
			ta = seconds(a, calls), tb = seconds(b, calls);
		ratios.push_back(ta / tb);
	}
	return report(what, ratios, bound);
}

inline int finish()
{
	return failures ? 1 : 0;
}

} // namespace verdict
