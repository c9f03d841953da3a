// tqsys pidfile: the pid a daemon left in its pid file.
#include "commands.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tqsys {

// Read as the library reads a pid file (one read of at most 15 bytes, the
// leading decimal digits), but once only, so a FIFO there is not waited
// on twice, and with a number past the largest pid refused, not wrapped.
int cmd_pidfile(const args &a)
{
	const std::string &path = a.words[0], name = printable(path);
	if (path.empty())
		throw usage_error("pidfile: PATH is empty");
	const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	char text[16] = {};
	const ssize_t got = fd < 0 ? -1 : read(fd, text, 15);
	const int err = errno;
	if (fd >= 0)
		close(fd);
	if (got < 0)
		throw usage_error("pidfile: cannot read " + name + ": " + std::strerror(err));
	const std::string shown = printable(std::string_view(text, static_cast<size_t>(got)));
	const size_t digits = std::strspn(text, "0123456789");
	uint64_t pid = 0;
	for (size_t i = 0; i < digits; ++i)
		pid = pid * 10 + static_cast<uint64_t>(text[i] - '0');
	if (pid == 0)
		throw usage_error("pidfile: no pid in " + name + ": [" + shown + "]");
	if (pid > INT_MAX)
		throw usage_error("pidfile: the number in " + name + " (" + std::to_string(pid) + ") is past " +
				  std::to_string(INT_MAX) + ", the largest pid");
	emit(a, {{"path", path}, {"pid", pid}}, std::to_string(pid) + "\n");
	return exit_ok;
}

} // namespace tqsys
