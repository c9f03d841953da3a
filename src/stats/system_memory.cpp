// System memory from /proc/meminfo and file-system space from statvfs,
// in KiB.
#include "readline.h"

#include "../frame/owned.h"
#include "../frame/report.h"
#include "tq_syslib.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <sys/statvfs.h>

namespace syslib {
namespace {

constexpr char meminfo_path[] = "/proc/meminfo";
constexpr int readline_size = 1024;
constexpr int meminfo_line_size = 256;

// Blocks of `frsize` bytes in KiB. The product is taken in 64 bits so that
// file systems of 4 GiB and more still give their size; a size that the
// 32-bit KiB word cannot hold (4 TiB and more) reads as the largest word,
// never as a wrapped, small one.
uint32_t blocks_kb(fsblkcnt_t blocks, unsigned long frsize) noexcept
{
	uint64_t bytes;
	if (__builtin_mul_overflow(static_cast<uint64_t>(blocks), frsize, &bytes) ||
	    bytes / 1024 > UINT32_MAX)
		return UINT32_MAX;
	return static_cast<uint32_t>(bytes / 1024);
}

// The first four meminfo lines, in the order of the record's words.
constexpr std::array<const char *, 4> missing_line{
	"no memory totle info!\n",
	"no memory free info!\n",
	"no memory buff info!\n",
	"no memory cach info!\n",
};

} // namespace

int tq_mem_get_tmpfs_used(uint32_t *used_kb) noexcept
{
	struct statvfs fs;
	if (statvfs("/tmp", &fs) != 0) {
		TQ_ERR("Get tmpfs status failed!\n");
		return -1;
	}
	*used_kb = blocks_kb(fs.f_blocks - fs.f_bfree, fs.f_frsize);
	return 0;
}

} // namespace syslib

using namespace syslib;

extern "C" int tq_mem_get_free_mem(uint32_t *free_kb) noexcept
{
	if (!free_kb)
		return -1;
	runtime_fd fd(tq_open(meminfo_path, 0));
	if (!fd) {
		TQ_LOG(3, "Error open /proc/meminfo");
		return -1;
	}
	*free_kb = 0;
	char buf[readline_size];
	char *cursor = nullptr;
	while (const char *line = tq_mem_readline(fd.get(), buf, readline_size, &cursor)) {
		const char *found = std::strstr(line, "MemFree");
		if (!found)
			continue;
		unsigned long kb = 0;
		std::sscanf(found, "MemFree: %lu", &kb);
		*free_kb = kernel_figure(kb);
		return 0;
	}
	return 0;
}

extern "C" int tq_mem_get_system_memory(tq_mem_system_info_t *mem) noexcept
{
	file_stream meminfo(std::fopen(meminfo_path, "r"));
	if (!meminfo) {
		TQ_ERR("error in open memory file1\n");
		return -1;
	}
	uint32_t *const words[] = {&mem->total_kb, &mem->free_kb, &mem->buffers_kb,
				   &mem->cached_kb};
	for (size_t i = 0; i < missing_line.size(); ++i) {
		char line[meminfo_line_size];
		if (!std::fgets(line, sizeof line, meminfo.get())) {
			TQ_ERR(missing_line[i]);
			return -1;
		}
		// The label and the unit are dropped; words of a whole line's size
		// hold any word the line can have.
		char label[meminfo_line_size], unit[meminfo_line_size];
		unsigned long kb = *words[i];  // a line without a number keeps the word
		std::sscanf(line, "%s %lu %s", label, &kb, unit);
		*words[i] = kernel_figure(kb);
	}
	if (tq_mem_get_tmpfs_used(&mem->tmpfs_used_kb) != 0) {
		TQ_ERR("Get tmps memory error!\n");
		return -1;
	}
	mem->available_kb = mem->free_kb + mem->cached_kb - mem->tmpfs_used_kb;
	return 0;
}

extern "C" int tq_mem_get_fs_info(const char *path, uint32_t *total_kb, uint32_t *free_kb) noexcept
{
	if (!path || !total_kb || !free_kb) {
		TQ_ERR("invalid parameter!\n");
		return -1;
	}
	struct statvfs fs;
	if (statvfs(path, &fs) != 0) {
		TQ_ERR("Get fs(%s) status failed!\n", path);
		return -1;
	}
	*total_kb = blocks_kb(fs.f_blocks, fs.f_frsize);
	*free_kb = blocks_kb(fs.f_bfree, fs.f_frsize);
	return 0;
}
