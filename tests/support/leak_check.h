// A GoogleTest listener that wraps every test with the checks that unit
// asserts miss: the test leaves the process with the descriptors it found,
// and the library's own code neither allocates outside the wildcard
// matchers nor leaves a block of theirs unfreed.
#pragma once

namespace syslib_test {

// Installs the listener into GoogleTest's listeners; call after
// InitGoogleTest. Does nothing when SYSLIB_TEST_NO_LEAK_CHECK is set.
void install_leak_check();

// How many leaks the listener reported; main() fails the program on any.
int leak_check_failures();

} // namespace syslib_test
