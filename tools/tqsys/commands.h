#pragma once

#include "cli.h"

#include <span>

namespace tqsys {

// Every command of tqsys with its handler.
std::span<const command_def> commands();

// Remembers the library's reports instead of letting the runtime print
// them, so a failure reaches the user as one line that names its cause.
void capture_library_reports();

} // namespace tqsys
