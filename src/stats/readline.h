// Internal calls of the statistics family, shared by its files and
// reachable from the tests linked with the library's objects.
#pragma once

#include <cstdint>

namespace syslib {

// Hands out the next line of `fd` from the caller's buffer, cut in place;
// the caller's cursor word (NULL before the first call) keeps the place.
// NULL at end of file, on a read error or a failed seek; the cursor is
// then NULL too.
char *tq_mem_readline(int fd, char *buf, int size, char **cursor) noexcept;

// A figure scanned with "%lu" as a 32-bit target gives it: a number past
// its unsigned long saturates there, so a 64-bit host clamps it rather
// than keeping the low 32 bits. The kernel writes no negative figures.
constexpr uint32_t kernel_figure(unsigned long scanned) noexcept
{
	return scanned > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(scanned);
}

// Space used on the file system mounted at /tmp, in KiB; 0 or -1.
int tq_mem_get_tmpfs_used(uint32_t *used_kb) noexcept;

} // namespace syslib
