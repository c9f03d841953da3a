// Compiled, never run: the header in C++, with its checks and noexcept.
#include "tq_syslib.h"

#include <type_traits>

static_assert(noexcept(tq_syslib_init()));
static_assert(std::is_standard_layout_v<tq_mem_proc_info_t>);
static_assert(std::is_trivially_copyable_v<tq_monitor_cfg_t>);

int header_cxx_anchor();
int header_cxx_anchor() { return static_cast<int>(sizeof(tq_mem_proc_info_list_t)); }
