// The line reader over any file content and any buffer size: every line
// lies inside the buffer, and the reading always ends.
#include "stats/readline.h"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	// The first byte picks the buffer: small ones to cross often, or the
	// callers' 1024.
	const int buf_size = data[0] < 200 ? 2 + data[0] % 64 : 1024;
	++data;
	--size;
	int fd = memfd_create("readline", 0);
	if (fd < 0)
		return 0;
	if (write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0) {
		close(fd);
		return 0;
	}
	std::vector<char> buf(static_cast<size_t>(buf_size));
	char *cursor = nullptr;
	// Each call hands out at least one byte of the file, or ends a fill.
	size_t calls_left = 2 * size + 4;
	while (char *line = syslib::tq_mem_readline(fd, buf.data(), buf_size, &cursor)) {
		if (line < buf.data() || line >= buf.data() + buf_size ||
		    std::strlen(line) >= static_cast<size_t>(buf_size) || calls_left-- == 0)
			__builtin_trap();
	}
	if (cursor != nullptr)
		__builtin_trap();
	close(fd);
	return 0;
}
