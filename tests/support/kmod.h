// Tests against the kernel module stand-in: a private kernel state per
// test program, recorded requests and injected results.
#pragma once

#include "reports.h"
#include "tq_syslib.h"
#include "tqsys_module.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace syslib_test {

// Each test starts with an empty kernel state, nothing recorded or
// injected, the library initialised (unless it asks not to be) and a
// fresh report capture; the library is closed again afterwards.
class kmod_test : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// Every request the module saw since SetUp (or the last clear).
	std::vector<tqsys_request> requests() const;
	// The one request seen; fails the test when there is not exactly one.
	tqsys_request only_request() const;

	// Next command `cmd` on the control device returns `result`, and
	// optionally writes `reply` into the request at `offset`.
	void inject(uint32_t cmd, int result, uint32_t offset = 0, const void *reply = nullptr,
		    uint32_t reply_len = 0, uint32_t device = TQSYS_DEV_CONTROL);

	bool init_in_setup = true;
	report_capture reports;
};

uint32_t word_at(const uint8_t *bytes, size_t offset);

} // namespace syslib_test
