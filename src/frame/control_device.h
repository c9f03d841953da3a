// The control device: the library's only global state, and the guard
// with which every kernel command begins.
#pragma once

namespace syslib {

// Descriptor of /dev/tq_sys; -1 when none is held.
extern int tq_sysdev_fd;

// The guard: true when the library is initialised; otherwise reports
// "syslib not initialized" for the caller's line and returns false.
// (__builtin_LINE in a default argument is the caller's line, in GCC and
// in the clang of the fuzz tree alike.)
bool kernel_ready(int line = __builtin_LINE()) noexcept;

} // namespace syslib
