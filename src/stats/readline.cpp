// The line reader of the /proc files: one read fills the caller's buffer
// for many lines, and a line cut by the end of the buffer is read again
// whole after moving the file position back to its start.
#include "readline.h"

#include "../frame/report.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace syslib {

char *tq_mem_readline(int fd, char *buf, int size, char **cursor) noexcept
{
	const int fill = size - 1;
	char *line = *cursor;
	for (;;) {
		if (!line) {
			int n = tq_read(fd, buf, fill);
			if (n <= 0) {
				*cursor = nullptr;
				return nullptr;
			}
			buf[n] = '\0';
			line = buf;
		}
		char *end = strchrnul(line, '\n');
		if (*end == '\n') {
			*cursor = end + 1;
			*end = '\0';
			return line;
		}
		// A NUL before the last byte: the read gave no more, or the file
		// holds a NUL; either way this fill has nothing after it.
		if (end - buf != fill) {
			*cursor = nullptr;
			return line;
		}
		// A line longer than the whole buffer would come back the same
		// after a seek and loop for ever: it is handed out cut, and the
		// reading goes on with the rest of it as the next line.
		if (line == buf) {
			*cursor = nullptr;
			return line;
		}
		off_t back = -static_cast<off_t>(fill - (line - buf));
		if (lseek(fd, back, SEEK_CUR) == -1) {
			TQ_ERR("tq_mem_readline: lseek failed!(%s)\n", strerror(errno));
			*cursor = nullptr;
			return nullptr;
		}
		line = nullptr;
	}
}

} // namespace syslib
