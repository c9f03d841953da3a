// The statistics calls against the bare work they cannot avoid: the survey
// against reading /proc and, for each process, testing that its entry is
// a folder (a process that ended is passed over there), then opening,
// reading and closing its statm and status files with the reads the line
// reader must make (a fill of 1023 bytes, a line cut by its end read again
// from its start); one process's figures against the same for its two
// files; the line reader against its own reads and seeks without the
// lines. Each makes no more system calls than its bare loop, and its
// instructions in user space stay within a bound of the loop's.
#include "stats/readline.h"
#include "tq_runtime.h"
#include "tq_syslib.h"
#include "verdict.h"

#include <cctype>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int fill = 1023;
volatile long sink;

// The reads of the line reader over a file and the ends of its lines, up
// to the line that starts with `last` (or the end): what any reader of
// these files must do. A read that gives less than a fill is no end of
// file (a NUL in the file also ends a fill): the end is a read of 0.
void read_like_the_reader(const char *path, const char *last)
{
	char buf[fill + 1];
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	for (ssize_t n; fd >= 0 && (n = read(fd, buf, fill)) > 0;) {
		buf[n] = '\0';
		const char *line = buf;
		for (const char *end; (end = static_cast<const char *>(std::memchr(line, '\n', size_t(buf + n - line))));
		     line = end + 1)
			if (last && std::strncmp(line, last, std::strlen(last)) == 0)
				return void(close(fd));
		if (n == fill && line != buf)  // a line cut by the end of the fill is read again
			lseek(fd, -(buf + n - line), SEEK_CUR);
	}
	if (fd >= 0)
		close(fd);
}

void bare_process(const char *pid)
{
	char path[300];
	std::snprintf(path, sizeof path, "/proc/%s/statm", pid);
	read_like_the_reader(path, "");
	std::snprintf(path, sizeof path, "/proc/%s/status", pid);
	read_like_the_reader(path, "VmStk:");
}

void bare_survey()
{
	DIR *proc = opendir("/proc");
	char word[80];
	if (FILE *watch = std::fopen("/f/etc/tq_mem_proc_list", "r"))  // the watch list
		sink = std::fscanf(watch, "%79s", word), std::fclose(watch);
	while (const dirent *e = readdir(proc)) {
		char path[300];
		struct stat st;
		std::snprintf(path, sizeof path, "/proc/%s", e->d_name);
		if (std::isdigit(static_cast<unsigned char>(e->d_name[0])) && stat(path, &st) == 0 &&
		    S_ISDIR(st.st_mode))
			bare_process(e->d_name);
	}
	closedir(proc);
}

const char lines_file[] = "stats_bench_lines.txt";

} // namespace

int main(int argc, char **argv)
{
	auto list = std::make_unique<tq_mem_proc_info_list_t>();
	const std::string self = std::to_string(getpid());
	auto survey = [&] { sink = tq_mem_get_proc_info_list(list.get()); };
	const pid_t pid = getpid();
	auto process = [pid] {
		tq_mem_proc_info_t info{};
		info.pid = pid;
		sink = tq_mem_get_proc_info(&info);
	};
	auto bare_self = [&] { bare_process(self.c_str()); };
	auto lines = [] {
		char buf[fill + 1], *cursor = nullptr;
		const int fd = open(lines_file, O_RDONLY | O_CLOEXEC);
		while (const char *line = syslib::tq_mem_readline(fd, buf, sizeof buf, &cursor))
			sink = line[0];
		close(fd);
	};
	auto bare_lines = [] { read_like_the_reader(lines_file, nullptr); };
	verdict::sides = {{"survey", survey}, {"bare survey", bare_survey}, {"process", process},
			  {"bare process", bare_self}, {"lines", lines}, {"bare lines", bare_lines}};
	verdict::run_side_if_asked(argc, argv);

	FILE *f = std::fopen(lines_file, "w");
	for (int i = 0; f && i < 2000; ++i)
		std::fprintf(f, "Label%-12d %10d kB%.*s\n", i, i * 37, i % 40, "........................................");
	if (f)
		std::fclose(f);
	verdict::calls_at_most("tq_mem_get_proc_info_list / the bare /proc loop, system calls", survey, bare_survey);
	verdict::instructions_at_most("tq_mem_get_proc_info_list / the bare /proc loop, instructions", 2.5, 3,
				      "survey", "bare survey");
	verdict::calls_at_most("tq_mem_get_proc_info / the bare statm and status reads, system calls", process,
			       bare_self);
	verdict::instructions_at_most("tq_mem_get_proc_info / the bare statm and status reads, instructions", 2.6,
				      100, "process", "bare process");
	verdict::calls_at_most("tq_mem_readline / its bare reads and seeks, system calls", lines, bare_lines);
	verdict::instructions_at_most("tq_mem_readline / its bare reads and seeks, instructions", 2.0, 3, "lines",
				      "bare lines");
	std::remove(lines_file);
	return verdict::finish();
}
