// The C library's own open, ioctl, fcntl and close, behind the stand-in's
// interposed ones.
#pragma once

#include <sys/types.h>

namespace tqsys::real {

int open_file(const char *path, int flags, mode_t mode);
int ioctl_fd(int fd, unsigned long request, void *arg);
int fcntl_fd(int fd, int cmd, unsigned long arg);
int close_fd(int fd);

} // namespace tqsys::real
