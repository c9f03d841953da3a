// The /proc parsers over arbitrary file contents: meminfo for the free
// memory and the system summary, statm and status for one process. The
// fixture file is bind-mounted over the real one in a private mount
// namespace, so the library reads it by its fixed path.
#include "sandbox.h"
#include "tq_runtime.h"
#include "tq_syslib.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string meminfo, statm, status;

void put(const std::string &file, const uint8_t *data, size_t size)
{
	// Rewritten in place: the bind mount follows the file, not its name.
	FILE *f = std::fopen(file.c_str(), "r+b");
	if (!f)
		std::abort();
	std::fwrite(data, 1, size, f);
	std::fflush(f);
	if (ftruncate(fileno(f), static_cast<off_t>(size)) != 0)
		std::abort();
	std::fclose(f);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	tqrt_set_quiet(1);
	if (!syslib_test::enter_sandbox()) {
		std::fprintf(stderr, "proc_files_fuzz needs root for a private mount namespace\n");
		std::exit(1);
	}
	const std::string &dir = syslib_test::scratch_dir();
	meminfo = dir + "/meminfo";
	statm = dir + "/statm";
	status = dir + "/status";
	std::string self = "/proc/" + std::to_string(getpid());
	if (!syslib_test::write_file(meminfo, "") || !syslib_test::write_file(statm, "") ||
	    !syslib_test::write_file(status, "") || !syslib_test::bind_over(meminfo, "/proc/meminfo") ||
	    !syslib_test::bind_over(statm, self + "/statm") ||
	    !syslib_test::bind_over(status, self + "/status"))
		std::abort();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// One input feeds all three files: meminfo, then statm and status from
	// the halves, so that each parser sees arbitrary text.
	size_t half = size / 2;
	put(meminfo, data, size);
	put(statm, data, half);
	put(status, data + half, size - half);

	uint32_t kb = 0;
	if (tq_mem_get_free_mem(&kb) != 0)
		std::abort();  // the file is there: only a missing file fails
	tq_mem_system_info_t mem{};
	int rc = tq_mem_get_system_memory(&mem);
	if (rc != 0 && rc != -1)
		std::abort();
	if (rc == 0 && mem.available_kb != mem.free_kb + mem.cached_kb - mem.tmpfs_used_kb)
		std::abort();

	uint32_t heap = 7, rss = 7;
	int h = tq_mem_get_proc_heap(getpid(), &heap);
	int r = tq_mem_get_proc_rss(getpid(), &rss);
	if ((h != 0 && h != -1) || (r != 0 && r != -3) || (h == -1 && heap != 0))
		std::abort();
	tq_mem_proc_info_t info{};
	info.pid = getpid();
	int i = tq_mem_get_proc_info(&info);
	if (i != 0 && i != -1)
		std::abort();
	if (info.private_kb != info.rss_kb - info.shared_kb)
		std::abort();
	// The name is one word, zero-filled after it; a word of 128 characters
	// or more fills the whole field and has no terminator.
	const size_t name_len = strnlen(info.name, sizeof info.name);
	for (size_t k = 0; k < sizeof info.name; ++k) {
		const unsigned char c = static_cast<unsigned char>(info.name[k]);
		if (k < name_len ? std::isspace(c) != 0 : c != 0)
			std::abort();
	}
	return 0;
}
