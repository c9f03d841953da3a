// The one harness of every test program: a private mount namespace for
// the library's fixed paths, the reports the library makes (from forked
// children too), a private kernel module state, and the check that a test
// leaves no descriptor open.
#pragma once

#include "sandbox.h"
#include "tq_runtime.h"
#include "tq_syslib.h"
#include "tqsys_module.h"

#include <gtest/gtest.h>

namespace syslib_test {

// Skips a test outside the private namespace.
#define REQUIRE_SANDBOX()                                                        \
	do {                                                                     \
		if (!::syslib_test::in_sandbox())                                \
			GTEST_SKIP() << "needs a private mount namespace (root)"; \
	} while (0)

// Every report since the last clear, in order, from this process and its
// children: "err: TEXT" for __tq_err, "log N: TEXT" for tq_log at level
// N, "flash N: TEXT" for tq_log_flash.
std::vector<std::string> reported();

// The runtime observer that collects them, for a test that puts its own in
// place for a while.
void observe(const tqrt_record *rec, void *);
void clear_reports();

// Open descriptors that a call may not leave behind (the control device
// and the syslog socket excepted), by number and target.
std::vector<std::string> open_descriptors();

// The library against the kernel module stand-in: an empty private state,
// nothing recorded or injected, the library initialised unless
// `init_in_setup` is cleared, reports cleared; closed afterwards.
class kmod_test : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;
	std::vector<tqsys_request> requests() const;
	// Next command `cmd` returns `result` after writing `reply` at `offset`.
	void inject(uint32_t cmd, int result, uint32_t offset = 0, const void *reply = nullptr,
		    uint32_t reply_len = 0, uint32_t device = TQSYS_DEV_CONTROL);
	bool init_in_setup = true;
};

} // namespace syslib_test
