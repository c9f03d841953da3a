// The readers of files the library does not own, over any content: the
// input is every file at once (each reader picks its own lines), and its
// last byte picks the line reader's buffer. They run in the tests' private
// mount namespace, with the input bound over the /proc files.
#include "sandbox.h"
#include "stats/readline.h"
#include "tq_syslib.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

#define CHECK(c) ((c) ? (void)0 : (std::fprintf(stderr, "line %d: %s\n", __LINE__, #c), std::abort()))

static const char *const input = "/tmp/input";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// The input shows through at the /proc paths too (root only).
	bool ok = syslib_test::enter_sandbox() && syslib_test::write_file(input, "");
	for (const char *file : {"/proc/meminfo", "/proc/self/statm", "/proc/self/status"})
		ok = ok && !mount(input, file, nullptr, MS_BIND, nullptr);
	CHECK(ok);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string text(reinterpret_cast<const char *>(data), size);
	for (const char *file : {input, "/etc/monitor_status.conf"})
		CHECK(syslib_test::write_file(file, text));

	// Small buffers cross a line often; 1024 is the callers' size. Each line
	// ends inside the buffer; each call hands out a byte or ends a fill.
	const int last = size ? data[size - 1] : 0, buf_size = last < 200 ? 2 + last % 64 : 1024;
	std::vector<char> buf(static_cast<size_t>(buf_size));
	char *cursor = nullptr, *line;
	const int fd = open(input, O_RDONLY);
	for (size_t calls_left = 2 * size + 4;
	     (line = syslib::tq_mem_readline(fd, buf.data(), buf_size, &cursor)); --calls_left)
		CHECK(line >= buf.data() && line + std::strlen(line) < buf.data() + buf_size && calls_left);
	CHECK(cursor == nullptr && close(fd) == 0);

	// The pid: the leading decimal number of the first 15 bytes; -1 when there is none or it is 0.
	const int pid = std::atoi(text.substr(0, 15).c_str());
	CHECK(tq_read_pid_file(input) == (std::isdigit(uint8_t(text[0])) && pid ? pid : -1));

	// Group g has the g-th pair of integers of the file, when there is one.
	for (int g = 0, k = 0, used = 0, more = 1; g <= TQ_MAX_GROUP_NUM; ++g, k += used) {
		int a = 0, b = 0, x = 0, y = 0, rc = tq_monitor_get_group_status(uint32_t(g), &a, &b);
		more = more && g < TQ_MAX_GROUP_NUM &&
		       std::sscanf(text.c_str() + k, "%d %d %n", &x, &y, &used) == 2;
		CHECK(rc == (more ? 0 : -1) && (!more || (a == x && b == y)));
	}

	// Only a missing meminfo fails the free memory; the other calls may find no figure.
	uint32_t kb = 0, heap = 7, rss = 7;
	tq_mem_system_info_t mem{};
	tq_mem_proc_info_t info{.pid = getpid()};
	std::memset(info.name, 1, sizeof info.name);  // a failed fill leaves it; a name is zero-filled
	const int m = tq_mem_get_system_memory(&mem), h = tq_mem_get_proc_heap(getpid(), &heap),
		  r = tq_mem_get_proc_rss(getpid(), &rss), i = tq_mem_get_proc_info(&info);
	CHECK(tq_mem_get_free_mem(&kb) == 0 && (m == 0 || m == -1) && (r == 0 || r == -3));
	CHECK((i == 0 || i == -1) && (h == 0 || (h == -1 && heap == 0)));
	CHECK(info.private_kb == info.rss_kb - info.shared_kb);
	CHECK(m != 0 || mem.available_kb == mem.free_kb + mem.cached_kb - mem.tmpfs_used_kb);
	// The name is the first word after a "Name:", cut to the field and zero-filled after it.
	const std::string name(info.name, sizeof info.name), zeros(sizeof info.name, '\0');
	bool found = name == (i == 0 ? zeros : std::string(sizeof info.name, '\1'));
	for (size_t at = text.find("Name:"); !found && at != text.npos; at = text.find("Name:", at + 1)) {
		// The reader hands out at most 1023 bytes of a line.
		const size_t cut = std::min(text.size(), at + 1023);
		const size_t w = std::min(text.find_first_not_of(" \t\v\f\r", at + 5), cut);
		const size_t n = std::min(text.find_first_of(std::string(" \t\n\v\f\r\0", 7), w), cut) - w;
		found = name == (text.substr(w, n) + zeros).substr(0, sizeof info.name);
	}
	CHECK(found);
	return 0;
}
