// The control device: the library's only global state, and the guard
// with which every kernel command begins.
#pragma once

#include <source_location>

namespace syslib {

// Descriptor of /dev/tq_sys; -1 when none is held.
extern int tq_sysdev_fd;

// The guard: true when the library is initialised; otherwise reports
// "syslib not initialized" for the caller's line and returns false.
bool kernel_ready(int line = std::source_location::current().line()) noexcept;

} // namespace syslib
