// Counts the heap blocks that the library's own code takes and gives back
// (its direct calls of malloc and free), for every thread of the program.
// Calls the C library makes inside fopen, opendir, popen or qsort are not
// the library's and are not counted.
#pragma once

namespace syslib_test {

struct heap_counts {
	long taken = 0;  // malloc/calloc/realloc(NULL)/memalign called from libsyslib
	long given = 0;  // free/realloc(p, 0) called from libsyslib
};

// False when a sanitizer owns the allocator: the probe is not linked then.
bool heap_probe_available();
void heap_probe_reset();
heap_counts heap_probe_counts();

} // namespace syslib_test
