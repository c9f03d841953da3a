// tq_matchingstring against fnmatch(3) on process names and the patterns
// daemons write for them. Both must give the same answer for every pair
// before anything is timed; the summary gives the speed ratio.
#include "tq_syslib.h"

#include <benchmark/benchmark.h>
#include <fnmatch.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

const char *const names[] = {
	"init", "syslogd", "klogd", "sshd", "dropbear", "hostapd", "wpa_supplicant",
	"tq_monitor_d", "tq_cli", "tq_pm_daemon", "tq_authd", "tq_dot1x_agent", "dnsmasq",
	"udhcpc", "ntpd", "lighttpd", "watchdog", "crond", "kworker/0:1", "kworker/u2:3",
	"ksoftirqd/0", "migration/0", "rcu_sched", "kthreadd", "snmpd", "lldpd", "HOSTAPD",
	"TQ_Monitor_D", "radius_proxy", "tq_fw_upgrade", "busybox", "ash", "telnetd",
	"tq_led_ctrl", "tq_radio_mgr_5g", "tq_radio_mgr_24g", "miniupnpd", "igmpproxy",
};

// No "?" inside a middle segment: there the two matchers differ on purpose.
const char *const patterns[] = {
	"*", "tq_*", "*d", "tq*mon*d", "?shd", "wpa_*", "*_supplicant", "kworker/*:*",
	"*radio*", "s?slog?", "tq_radio_mgr_??", "*_mgr_?g", "k*d", "*o*o*", "hostapd",
	"tq_*_*_*", "lighttpd*", "*proxy", "?*", "tq_dot1x_agent",
};

struct pair_set {
	int case_sensitive;
	int fn_flags;
};

int run_tq(const pair_set &set)
{
	int hits = 0;
	for (const char *p : patterns)
		for (const char *n : names)
			hits += tq_matchingstring(n, p, set.case_sensitive);
	return hits;
}

int run_fnmatch(const pair_set &set)
{
	int hits = 0;
	for (const char *p : patterns)
		for (const char *n : names)
			hits += fnmatch(p, n, set.fn_flags) == 0;
	return hits;
}

constexpr pair_set exact{1, 0};
constexpr pair_set folded{0, FNM_CASEFOLD};

int count_disagreements()
{
	int bad = 0;
	for (const pair_set *set : {&exact, &folded})
		for (const char *p : patterns)
			for (const char *n : names)
				if (tq_matchingstring(n, p, set->case_sensitive) !=
				    (fnmatch(p, n, set->fn_flags) == 0)) {
					std::fprintf(stderr, "differ: '%s' / '%s' case_sensitive %d\n", n,
						     p, set->case_sensitive);
					++bad;
				}
	return bad;
}

void bm_tq(benchmark::State &state, const pair_set *set)
{
	for (auto _ : state)
		benchmark::DoNotOptimize(run_tq(*set));
	state.SetItemsProcessed(state.iterations() * std::size(patterns) * std::size(names));
}

void bm_fnmatch(benchmark::State &state, const pair_set *set)
{
	for (auto _ : state)
		benchmark::DoNotOptimize(run_fnmatch(*set));
	state.SetItemsProcessed(state.iterations() * std::size(patterns) * std::size(names));
}

// Keeps the time per iteration of each run for the summary; plain text,
// since CTest logs are no terminal.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
	ratio_reporter() : ConsoleReporter(OO_Tabular) {}
	void ReportRuns(const std::vector<Run> &runs) override
	{
		for (const Run &run : runs) {
			if (run.run_type != Run::RT_Iteration)
				continue;
			// The fastest repetition: the one least disturbed by other work
			// on the machine.
			double &best = times[run.run_name.function_name];
			const double t = run.GetAdjustedCPUTime();
			if (best == 0 || t < best)
				best = t;
		}
		ConsoleReporter::ReportRuns(runs);
	}
	std::map<std::string, double> times;  // "bm_tq/exact" and so on
};

} // namespace

BENCHMARK_CAPTURE(bm_tq, exact, &exact)->Repetitions(7)->MinTime(0.1);
BENCHMARK_CAPTURE(bm_fnmatch, exact, &exact)->Repetitions(7)->MinTime(0.1);
BENCHMARK_CAPTURE(bm_tq, folded, &folded)->Repetitions(7)->MinTime(0.1);
BENCHMARK_CAPTURE(bm_fnmatch, folded, &folded)->Repetitions(7)->MinTime(0.1);

int main(int argc, char **argv)
{
	if (int bad = count_disagreements()) {
		std::fprintf(stderr, "%d pairs differ from fnmatch; nothing timed\n", bad);
		return 1;
	}
	// Repetitions of the four runs interleaved, so that a burst of other
	// work on the machine does not fall on one side of the ratio only.
	std::vector<char *> args(argv, argv + argc);
	char interleave[] = "--benchmark_enable_random_interleaving=true";
	args.insert(args.begin() + 1, interleave);
	int count = static_cast<int>(args.size());
	benchmark::Initialize(&count, args.data());
	ratio_reporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();

	double tq = 0, fn = 0;
	for (const char *mode : {"exact", "folded"}) {
		const double t = reporter.times["bm_tq/" + std::string(mode)];
		const double f = reporter.times["bm_fnmatch/" + std::string(mode)];
		if (t > 0)
			std::printf("%-6s: fnmatch / tq_matchingstring = %.2f\n", mode, f / t);
		tq += t;
		fn += f;
	}
	if (tq > 0)
		std::printf("corpus: tq_matchingstring is %.2fx as fast as fnmatch (%zu pairs, "
			    "same results; target 2x)\n",
			    fn / tq, 2 * std::size(patterns) * std::size(names));
	return 0;
}
