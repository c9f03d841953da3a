// The text form of a packet filter, read by `tqsys filter add FILE` and
// written by `tqsys filter get KEY`, so a filter read back can be added
// again unchanged:
//
//     # comment to the end of the line
//     id    7
//     key   0x0a000001
//     rule  c0 a8 01 00  ff ff ff 00
//
// `id` and `key` are 32-bit numbers (decimal or 0x hex), each given once.
// `rule` lines give the 56 rule bytes in hex, in order; pairs may be
// written apart or together, several `rule` lines follow on, and bytes
// not given are zero.
#pragma once

#include "tq_syslib.h"

#include <string>
#include <string_view>

namespace tqsys {

// Throws usage_error "SOURCE:LINE: what is wrong".
tq_sys_filter_t parse_filter(std::string_view text, std::string_view source);

std::string format_filter(const tq_sys_filter_t &f);

// The rule bytes up to the last one that is not zero.
size_t rule_length(const tq_sys_filter_t &f);

} // namespace tqsys
