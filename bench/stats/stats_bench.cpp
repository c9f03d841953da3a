// The statistics calls against the bare system calls they cannot avoid:
// the survey against reading /proc and, for each process, opening, reading
// and closing its statm and status files with the reads the line reader
// must make (a fill of 1023 bytes, a line cut by its end read again from
// its start); one process's figures against the same for its two files;
// the line reader against its own reads and seeks without the lines.
#include "stats/readline.h"
#include "tq_runtime.h"
#include "tq_syslib.h"
#include "verdict.h"

#include <cctype>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr int fill = 1023;
volatile long sink;

// The reads of the line reader over a file, up to the line that starts
// with `last` (or the end): what any reader of these files must do.
void read_like_the_reader(const char *path, const char *last)
{
	char buf[fill + 1];
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	for (ssize_t n; fd >= 0 && (n = read(fd, buf, fill)) > 0;) {
		buf[n] = '\0';
		const char *stop = last ? std::strstr(buf, last) : nullptr;
		const char *end = static_cast<const char *>(memrchr(buf, '\n', size_t(n)));
		if ((stop && std::strchr(stop, '\n')) || n < fill || !end)
			break;
		lseek(fd, -(n - (end + 1 - buf)), SEEK_CUR);
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
	while (const dirent *e = readdir(proc))
		if (std::isdigit(static_cast<unsigned char>(e->d_name[0])))
			bare_process(e->d_name);
	closedir(proc);
}

const char lines_file[] = "stats_bench_lines.txt";

} // namespace

int main()
{
	auto list = std::make_unique<tq_mem_proc_info_list_t>();
	verdict::at_most("tq_mem_get_proc_info_list / the bare /proc loop", 1.1, 40,
			 [&] { sink = tq_mem_get_proc_info_list(list.get()); }, bare_survey);
	const std::string self = std::to_string(getpid());
	verdict::at_most("tq_mem_get_proc_info / the bare statm and status reads", 1.1, 3000, [] {
		tq_mem_proc_info_t info{};
		info.pid = getpid();
		sink = tq_mem_get_proc_info(&info);
	}, [&] { bare_process(self.c_str()); });

	FILE *f = std::fopen(lines_file, "w");
	for (int i = 0; f && i < 2000; ++i)
		std::fprintf(f, "Label%-12d %10d kB%.*s\n", i, i * 37, i % 40, "........................................");
	if (f)
		std::fclose(f);
	verdict::at_most("tq_mem_readline / its bare reads and seeks", 1.5, 100, [] {
		char buf[fill + 1], *cursor = nullptr;
		const int fd = open(lines_file, O_RDONLY | O_CLOEXEC);
		while (const char *line = syslib::tq_mem_readline(fd, buf, sizeof buf, &cursor))
			sink = line[0];
		close(fd);
	}, [] { read_like_the_reader(lines_file, nullptr); });
	std::remove(lines_file);
	return verdict::finish();
}
