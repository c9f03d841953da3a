// What the statistics calls cost against the bare work they must do: the
// survey against a loop that stats every /proc entry and opens, reads and
// closes statm and status of every pid; the line reader against getline
// on the same file. The ratios are printed at the end.
#include "stats/readline.h"

#include "tq_runtime.h"
#include "tq_syslib.h"

#include <benchmark/benchmark.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char lines_file[] = "stats_bench_lines.txt";

void read_one(const char *path)
{
	char buf[1024];
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return;
	benchmark::DoNotOptimize(read(fd, buf, sizeof buf - 1));
	close(fd);
}

void bare_proc_loop(benchmark::State &state)
{
	for (auto _ : state) {
		DIR *proc = opendir("/proc");
		if (!proc) {
			state.SkipWithError("cannot open /proc");
			return;
		}
		char path[300];
		while (const dirent *e = readdir(proc)) {
			std::snprintf(path, sizeof path, "/proc/%s", e->d_name);
			struct stat st;
			if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode) ||
			    !std::isdigit(static_cast<unsigned char>(e->d_name[0])))
				continue;
			std::snprintf(path, sizeof path, "/proc/%s/statm", e->d_name);
			read_one(path);
			std::snprintf(path, sizeof path, "/proc/%s/status", e->d_name);
			read_one(path);
		}
		closedir(proc);
	}
}
BENCHMARK(bare_proc_loop);

void survey(benchmark::State &state)
{
	auto list = std::make_unique<tq_mem_proc_info_list_t>();
	int rc = 0;
	for (auto _ : state) {
		rc = tq_mem_get_proc_info_list(list.get());
		benchmark::DoNotOptimize(list->count);
	}
	state.counters["records"] = list->count;
	if (rc != 0)
		state.SetLabel("list full: the survey stopped at 128 names");
}
BENCHMARK(survey);

void write_lines_file()
{
	FILE *f = std::fopen(lines_file, "w");
	if (!f)
		return;
	for (int i = 0; i < 2000; ++i)
		std::fprintf(f, "Label%-12d %10d kB%.*s\n", i, i * 37, i % 40,
			     "........................................");
	std::fclose(f);
}

void readline_lines(benchmark::State &state)
{
	long lines = 0;
	for (auto _ : state) {
		int fd = tq_open(lines_file, 0);
		char buf[1024];
		char *cursor = nullptr;
		while (const char *line = syslib::tq_mem_readline(fd, buf, sizeof buf, &cursor)) {
			benchmark::DoNotOptimize(line);
			++lines;
		}
		tq_close(fd);
	}
	state.SetItemsProcessed(lines);
}
BENCHMARK(readline_lines);

void getline_lines(benchmark::State &state)
{
	long lines = 0;
	char *line = nullptr;
	size_t capacity = 0;
	for (auto _ : state) {
		FILE *f = std::fopen(lines_file, "r");
		while (getline(&line, &capacity, f) > 0) {
			benchmark::DoNotOptimize(line);
			++lines;
		}
		std::fclose(f);
	}
	std::free(line);
	state.SetItemsProcessed(lines);
}
BENCHMARK(getline_lines);

// Keeps the CPU time per iteration of every run, for the ratios: on a
// shared machine the wall time mostly measures the other load.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
	void ReportRuns(const std::vector<Run> &runs) override
	{
		for (const Run &run : runs)
			if (run.run_type == Run::RT_Iteration && !run.error_occurred)
				time_[run.benchmark_name()] = run.GetAdjustedCPUTime();
		ConsoleReporter::ReportRuns(runs);
	}
	void ratio(const char *what, const std::string &a, const std::string &b, double target)
	{
		if (!time_.count(a) || !time_.count(b) || time_[b] <= 0) {
			std::printf("%s: not measured\n", what);
			return;
		}
		double r = time_[a] / time_[b];
		if (target > 0)
			std::printf("%s: %.2fx (target <= %.1fx)%s\n", what, r, target,
				    r > target ? " OVER TARGET" : "");
		else
			std::printf("%s: %.2fx\n", what, r);
	}

private:
	std::map<std::string, double> time_;
};

} // namespace

int main(int argc, char **argv)
{
	tqrt_set_quiet(1);
	write_lines_file();
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	ratio_reporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	reporter.ratio("survey / bare /proc loop", "survey", "bare_proc_loop", 1.3);
	reporter.ratio("tq_mem_readline / getline", "readline_lines", "getline_lines", 0);
	std::remove(lines_file);
	benchmark::Shutdown();
	return 0;
}
