// The library as tqsys sees it. Every function of the header is bound
// weakly: a tqsys built from this tree still starts with a libsyslib that
// lacks some of them, and the commands that need a missing one say so
// (exit status 4) instead of the loader refusing the whole program.
#pragma once

#include "tq_syslib.h"

#pragma weak tq_sys_ready
#pragma weak tq_syslib_init
#pragma weak tq_syslib_exit
#pragma weak tq_syslib_swdog_enable
#pragma weak tq_syslib_swdog_disable
#pragma weak tq_syslib_swdog_set
#pragma weak tq_syslib_hwdog_activate
#pragma weak tq_syslib_hwdog_deactivate
#pragma weak tq_syslib_check_port_valid
#pragma weak tq_syslib_filter_add
#pragma weak tq_syslib_filter_del
#pragma weak tq_syslib_filter_get
#pragma weak tq_syslib_filter_get_cnt
#pragma weak tq_syslib_filter_get_list
#pragma weak tq_syslib_mac_get_cnt
#pragma weak tq_syslib_mac_get_one
#pragma weak tq_syslib_get_bbox_info
#pragma weak tq_syslib_get_bbox_data
#pragma weak tq_syslib_start_update_bbox_this_time
#pragma weak tq_syslib_stop_update_bbox_this_time
#pragma weak tq_syslib_get_update_bbox_this_time
#pragma weak tq_mem_get_proc_info_list
#pragma weak tq_mem_get_system_memory
#pragma weak tq_mem_get_fs_info
#pragma weak tq_sys_get_cpu_total_utilize
#pragma weak tq_matchingstring
#pragma weak tq_multimatching
#pragma weak tq_read_pid_file
#pragma weak tq_monitor_read_config
#pragma weak tq_monitor_get_group_status

// Nonzero when the loaded libsyslib defines `fn`.
#define TQSYS_HAVE(fn) (reinterpret_cast<void (*)()>(&fn) != nullptr)
