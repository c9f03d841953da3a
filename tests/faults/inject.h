// Makes one call of the C library or of the runtime fail, when the
// library's own code makes it: the `nth` such call of `fn` (counted in
// every process forked after arming) returns `ret` with errno `err`.
#pragma once

namespace syslib_test {

struct fault {
	const char *fn;  // the function's name
	int nth;
	long ret;
	int err;
};

void arm(const fault &f);
void disarm();

} // namespace syslib_test
