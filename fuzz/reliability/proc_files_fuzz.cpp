// The /proc parsers over arbitrary file contents: meminfo for the free
// memory and the system summary, statm and status for one process. Scratch
// files are bound over the real ones in the private mount namespace, so
// that the library reads them by their fixed paths.
#include "sandbox.h"
#include "tq_syslib.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const char *const files[] = {"/proc/meminfo", "/proc/self/statm", "/proc/self/status"};
	static const bool bound = [] {
		for (int i = 0; i < 3; ++i)
			if (std::string s = syslib_test::scratch_dir() + "/" + std::to_string(i);
			    !syslib_test::write_file(s, "") ||
			    mount(s.c_str(), files[i], nullptr, MS_BIND, nullptr) != 0)
				return false;
		return true;
	}();
	// One input is each of the files: every parser picks its own lines.
	for (const char *file : files)
		if (!bound || !syslib_test::write_file(file, {reinterpret_cast<const char *>(data), size}))
			std::abort();
	uint32_t kb = 0, heap = 7, rss = 7;
	tq_mem_system_info_t mem{};
	tq_mem_proc_info_t info{};
	info.pid = getpid();
	const int rc = tq_mem_get_system_memory(&mem), h = tq_mem_get_proc_heap(getpid(), &heap),
		  r = tq_mem_get_proc_rss(getpid(), &rss), i = tq_mem_get_proc_info(&info);
	// Only a missing meminfo fails the free memory; the others may find no figure.
	if (tq_mem_get_free_mem(&kb) != 0 || (rc != 0 && rc != -1) || (h != 0 && h != -1) ||
	    (r != 0 && r != -3) || (i != 0 && i != -1) || (h == -1 && heap != 0) ||
	    info.private_kb != info.rss_kb - info.shared_kb ||
	    (rc == 0 && mem.available_kb != mem.free_kb + mem.cached_kb - mem.tmpfs_used_kb))
		std::abort();
	// The name is one word, zero-filled after it; a word of 128 characters
	// or more fills the whole field and has no terminator.
	const size_t name_len = strnlen(info.name, sizeof info.name);
	for (size_t k = 0; k < sizeof info.name; ++k)
		if (k < name_len ? std::isspace(static_cast<unsigned char>(info.name[k])) != 0 : info.name[k] != 0)
			std::abort();
	return 0;
}
