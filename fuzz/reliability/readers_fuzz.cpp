// The readers of files the library does not own, over any content: the
// input is every file at once (each reader picks its own lines), and its
// last byte picks the line reader's buffer. They run in the tests' private
// mount namespace, with the input bound over the /proc files; the
// sanitizers watch their memory, the checks what the tables cannot list.
#include "sandbox.h"
#include "stats/readline.h"
#include "tq_syslib.h"

#include <cctype>

#define CHECK(c) ((c) ? (void)0 : (std::fprintf(stderr, "line %d: %s\n", __LINE__, #c), std::abort()))

static const char *const input = "/tmp/input";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
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
	for (size_t calls_left = 2 * size + 4; (line = syslib::tq_mem_readline(fd, buf.data(), buf_size, &cursor));
	     --calls_left)
		CHECK(line >= buf.data() && line + std::strlen(line) < buf.data() + buf_size && calls_left);
	CHECK(cursor == nullptr && close(fd) == 0);
	// The pid: the leading decimal number of the first 15 bytes, at most INT_MAX as on the
	// device; -1 when there is none or it is 0.
	const int pid = static_cast<int>(std::min<long long>(std::strtoll(text.substr(0, 15).c_str(), nullptr, 10), INT_MAX));
	CHECK(tq_read_pid_file(input) == (std::isdigit(uint8_t(text[0])) && pid ? pid : -1));
	int a, b;
	for (uint32_t g = 0; g <= TQ_MAX_GROUP_NUM; ++g)  // a group past the last fails
		CHECK(tq_monitor_get_group_status(g, &a, &b) != 0 || g < TQ_MAX_GROUP_NUM);
	uint32_t kb = 0, heap = 7, rss = 7;
	tq_mem_system_info_t mem{};
	tq_mem_proc_info_t info{.pid = getpid()};
	const int m = tq_mem_get_system_memory(&mem), i = tq_mem_get_proc_info(&info);
	CHECK(tq_mem_get_free_mem(&kb) == 0 && (m == 0 || m == -1) && tq_mem_get_proc_rss(getpid(), &rss) != -2);
	CHECK(tq_mem_get_proc_heap(getpid(), &heap) >= -1 && (i == 0 || i == -1));
	CHECK(info.private_kb == info.rss_kb - info.shared_kb);
	CHECK(m != 0 || mem.available_kb == mem.free_kb + mem.cached_kb - mem.tmpfs_used_kb);
	return 0;
}
