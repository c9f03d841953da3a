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

// Space used on the file system mounted at /tmp, in KiB; 0 or -1.
int tq_mem_get_tmpfs_used(uint32_t *used_kb) noexcept;

} // namespace syslib
