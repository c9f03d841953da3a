// A private view of the file system for tests that need the library's
// fixed paths (/tmp, /etc, /f, /proc files): a new mount namespace whose
// root is an overlay of the host's root with the host's other mounts bound
// into it, and a fresh /tmp and /dev/shm. Nothing the tests write reaches
// the host's files.
#pragma once

#include <string>

namespace syslib_test {

// Enters the sandbox; called once from main() before any thread starts.
// False (and no change) when the process may not do it (not root).
bool enter_sandbox();

// True once enter_sandbox() succeeded.
bool in_sandbox();

// Skips the calling test when there is no sandbox.
#define REQUIRE_SANDBOX()                                                        \
	do {                                                                     \
		if (!::syslib_test::in_sandbox())                                \
			GTEST_SKIP() << "needs a private mount namespace (root)"; \
	} while (0)

// A directory of this process for scratch files: in the sandbox's /tmp,
// else under the current directory.
const std::string &scratch_dir();

// Writes `contents` to `path` (creating parent directories); true on success.
bool write_file(const std::string &path, const std::string &contents);

// Bind-mounts `source` over `target` (a file or a directory) until
// unbind() is called; only inside the sandbox.
bool bind_over(const std::string &source, const std::string &target);
bool unbind(const std::string &target);

// Runs a shell command, returns its exit status (-1 if it could not run).
int run_shell(const std::string &command);

} // namespace syslib_test
