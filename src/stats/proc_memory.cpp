// Memory figures of one process, from /proc/<pid>/statm (pages) and
// /proc/<pid>/status (kB), in KiB.
#include "readline.h"

#include "../frame/owned.h"
#include "../frame/report.h"
#include "tq_syslib.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace syslib {
namespace {

// "/proc/" + ten digits + "/status" + NUL, with room to spare.
constexpr int path_size = 32;
constexpr int buffer_size = 1024;

uint32_t page_kb() noexcept
{
	return static_cast<uint32_t>(getpagesize()) >> 10;
}

// One statm figure taken by the heap and rss calls, and their failure codes.
struct statm_figure {
	int index;  // of the figure in the line, from 0
	int open_failed;
	int read_failed;
};

constexpr char name_label[] = "Name:";
constexpr statm_figure heap_figure{7, -1, -1};
constexpr statm_figure rss_figure{1, -2, -3};
constexpr int statm_figures = 8;

// The figures of a line as a "%lu %lu ..." scan takes them (strtoul is what
// the scan uses, without parsing its format each time): those after the
// first that does not convert keep their values.
void scan_figures(const char *s, unsigned long *out, int count) noexcept
{
	for (int i = 0; i < count; ++i) {
		char *end;
		const unsigned long v = std::strtoul(s, &end, 10);
		if (end == s)
			return;
		out[i] = v;
		s = end;
	}
}


int read_statm_figure(int pid, uint32_t *out_kb, const statm_figure &figure) noexcept
{
	if (pid <= 0 || !out_kb)
		return -1;
	*out_kb = 0;
	char path[path_size];
	tq_sprintf(path, "/proc/%d/statm", pid);
	runtime_fd fd(tq_open(path, 0));
	if (!fd) {
		TQ_LOG(6, "open file %s failed, maybe the process (pid:%d) has exit.\n", path, pid);
		return figure.open_failed;
	}
	char buf[buffer_size];
	int n = tq_read(fd.get(), buf, buffer_size - 1);
	if (n <= 0) {
		TQ_LOG(3, "Error read file %s\n", path);
		return figure.read_failed;
	}
	buf[n] = '\0';
	unsigned long figures[statm_figures] = {};  // a missing figure stays 0
	scan_figures(buf, figures, figure.index + 1);
	*out_kb = kernel_figure(figures[figure.index]) * page_kb();
	return 0;
}

// strncpy into the record's field: the name cut to the field, the rest
// of the field zero-filled.
void copy_name(char (&field)[128], const char *name) noexcept
{
	std::size_t length = strnlen(name, sizeof field);
	std::memcpy(field, name, length);
	std::memset(field + length, 0, sizeof field - length);
}

// The first bytes decide for most of the status file's fifty lines.
template <std::size_t N> bool starts_with(const char *line, const char (&label)[N]) noexcept
{
	return line[0] == label[0] && std::strncmp(line, label, N - 1) == 0;
}

// True for a line of this label, whose figure `figure` then takes as
// "LABEL: %lu" would (keeping its value when the line has no number).
template <std::size_t N>
bool labelled(const char *line, const char (&label)[N], unsigned long &figure) noexcept
{
	if (!starts_with(line, label))
		return false;
	scan_figures(line + N - 1, &figure, 1);
	return true;
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_mem_get_proc_heap(int pid, uint32_t *out_kb) noexcept
{
	return read_statm_figure(pid, out_kb, heap_figure);
}

extern "C" int tq_mem_get_proc_rss(int pid, uint32_t *out_kb) noexcept
{
	return read_statm_figure(pid, out_kb, rss_figure);
}

extern "C" int tq_mem_get_proc_info(tq_mem_proc_info_t *info) noexcept
{
	if (!info || info->pid <= 0)
		return -1;
	char path[path_size];
	char buf[buffer_size];
	char *cursor = nullptr;

	tq_sprintf(path, "/proc/%d/statm", info->pid);
	runtime_fd statm(tq_open(path, 0));
	if (!statm) {
		TQ_LOG(3, "Error open %s\n", path);
		return -1;
	}
	const char *line = tq_mem_readline(statm.get(), buf, buffer_size, &cursor);
	if (!line) {
		TQ_LOG(3, "error in readline!\n");
		return -1;
	}
	// Figures 1 to 4 and 8 of the line.
	unsigned long figures[statm_figures] = {};
	scan_figures(line, figures, statm_figures);
	const unsigned long resident = figures[1], shared = figures[2], text = figures[3], heap = figures[7];
	const uint32_t kb = page_kb();
	info->rss_kb = kernel_figure(resident) * kb;
	info->shared_kb = kernel_figure(shared) * kb;
	info->private_kb = info->rss_kb - info->shared_kb;
	info->text_kb = kernel_figure(text) * kb;
	info->heap_kb = kernel_figure(heap) * kb;
	statm.reset();

	tq_sprintf(path, "/proc/%d/status", info->pid);
	runtime_fd status(tq_open(path, 0));
	if (!status) {
		TQ_LOG(3, "Error open %s\n", path);
		return -1;
	}
	// As large as the reader's buffer, so that no word of a line overflows it.
	char name[buffer_size] = {};
	unsigned long data = 0, stack = 0;
	cursor = nullptr;
	while ((line = tq_mem_readline(status.get(), buf, buffer_size, &cursor))) {
		if (starts_with(line, name_label)) {
			// "Name: %s": the first word, white space before it skipped.
			const char *word = line + sizeof name_label - 1;
			while (std::isspace(static_cast<unsigned char>(*word)))
				++word;
			std::size_t length = 0;
			while (word[length] && !std::isspace(static_cast<unsigned char>(word[length])))
				++length;
			if (length) {  // no word: the scan fails and keeps the name
				std::memcpy(name, word, length);
				name[length] = '\0';
			}
		} else if (labelled(line, "VmStk:", stack)) {
			break;  // the last figure wanted
		} else {
			labelled(line, "VmData:", data);
		}
	}
	copy_name(info->name, name);
	info->data_kb = kernel_figure(data);
	info->stack_kb = kernel_figure(stack);
	return 0;
}
