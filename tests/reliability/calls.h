// Every exported function as a call with fixed arguments whose outcome is
// written down as text, so that runs can be compared.
#pragma once

#include "fixtures.h"

#include <functional>
#include <string>
#include <vector>

namespace syslib_test {

enum class family { control, kernel, stats, match, process, monitor };

struct call {
	const char *name;
	family fam;
	// The same answer on every run against the fixed world (false for
	// calls that see the live system, such as the survey).
	bool repeatable;
	std::function<std::string()> run;
};

// The calls of every exported function but tq_daemonize, which ends the
// calling process and is checked on its own.
std::vector<call> all_calls(const fixed_world &world);

} // namespace syslib_test
