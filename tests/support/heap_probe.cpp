// Replaces malloc and friends in the test program and forwards to the C
// library's allocator; a block is the library's when the caller's return
// address lies in libsyslib's code. Not built under sanitizers, which
// bring an allocator of their own.
#include "heap_probe.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <link.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

namespace syslib_test {
namespace {

struct range {
	uintptr_t lo, hi;
};

range text[4];
std::atomic<int> text_count{-1};  // -1: not looked up yet
std::atomic<long> taken{0}, given{0};

int note_object(struct dl_phdr_info *info, size_t, void *)
{
	const char *name = info->dlpi_name ? info->dlpi_name : "";
	if (!std::strstr(name, "libsyslib.so"))
		return 0;
	int n = 0;
	for (int i = 0; i < info->dlpi_phnum && n < 4; ++i) {
		const ElfW(Phdr) &ph = info->dlpi_phdr[i];
		if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X))
			text[n++] = {info->dlpi_addr + ph.p_vaddr, info->dlpi_addr + ph.p_vaddr + ph.p_memsz};
	}
	text_count.store(n);
	return 1;
}

bool from_library(void *caller)
{
	int n = text_count.load(std::memory_order_relaxed);
	auto a = reinterpret_cast<uintptr_t>(caller);
	for (int i = 0; i < n; ++i)
		if (a >= text[i].lo && a < text[i].hi)
			return true;
	return false;
}

inline void took(void *p, void *caller)
{
	if (p && from_library(caller))
		taken.fetch_add(1, std::memory_order_relaxed);
}

inline void gave(void *p, void *caller)
{
	if (p && from_library(caller))
		given.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

bool heap_probe_available()
{
	if (text_count.load() < 0) {
		text_count.store(0);
		dl_iterate_phdr(note_object, nullptr);
	}
	return text_count.load() > 0;
}

void heap_probe_reset()
{
	heap_probe_available();
	taken.store(0);
	given.store(0);
}

heap_counts heap_probe_counts() { return {taken.load(), given.load()}; }

} // namespace syslib_test

using namespace syslib_test;

extern "C" {

void *malloc(size_t n)
{
	void *p = __libc_malloc(n);
	took(p, __builtin_return_address(0));
	return p;
}

void *calloc(size_t k, size_t n)
{
	void *p = __libc_calloc(k, n);
	took(p, __builtin_return_address(0));
	return p;
}

void *realloc(void *old, size_t n)
{
	void *p = __libc_realloc(old, n);
	if (!old)
		took(p, __builtin_return_address(0));
	else if (n == 0)
		gave(old, __builtin_return_address(0));
	return p;
}

void free(void *p)
{
	gave(p, __builtin_return_address(0));
	__libc_free(p);
}

void *memalign(size_t align, size_t n)
{
	void *p = __libc_memalign(align, n);
	took(p, __builtin_return_address(0));
	return p;
}

void *aligned_alloc(size_t align, size_t n)
{
	void *p = __libc_memalign(align, n);
	took(p, __builtin_return_address(0));
	return p;
}

int posix_memalign(void **out, size_t align, size_t n)
{
	void *p = __libc_memalign(align, n);
	if (!p)
		return 12;  // ENOMEM
	took(p, __builtin_return_address(0));
	*out = p;
	return 0;
}

} // extern "C"

// operator new and delete of this program serve every caller, the
// library's too; counted here against their own caller, they forward to
// the C library's allocator without passing through malloc above.
#include <new>

namespace {

void *new_block(size_t n, void *caller)
{
	void *p = __libc_malloc(n ? n : 1);
	took(p, caller);
	return p;
}

void *new_aligned(size_t n, std::align_val_t a, void *caller)
{
	void *p = __libc_memalign(static_cast<size_t>(a), n ? n : 1);
	took(p, caller);
	return p;
}

void delete_block(void *p, void *caller)
{
	gave(p, caller);
	__libc_free(p);
}

} // namespace

void *operator new(size_t n)
{
	void *p = new_block(n, __builtin_return_address(0));
	if (!p)
		throw std::bad_alloc();
	return p;
}
void *operator new[](size_t n)
{
	void *p = new_block(n, __builtin_return_address(0));
	if (!p)
		throw std::bad_alloc();
	return p;
}
void *operator new(size_t n, const std::nothrow_t &) noexcept
{
	return new_block(n, __builtin_return_address(0));
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept
{
	return new_block(n, __builtin_return_address(0));
}
void *operator new(size_t n, std::align_val_t a)
{
	void *p = new_aligned(n, a, __builtin_return_address(0));
	if (!p)
		throw std::bad_alloc();
	return p;
}
void *operator new[](size_t n, std::align_val_t a)
{
	void *p = new_aligned(n, a, __builtin_return_address(0));
	if (!p)
		throw std::bad_alloc();
	return p;
}
void operator delete(void *p) noexcept { delete_block(p, __builtin_return_address(0)); }
void operator delete[](void *p) noexcept { delete_block(p, __builtin_return_address(0)); }
void operator delete(void *p, size_t) noexcept { delete_block(p, __builtin_return_address(0)); }
void operator delete[](void *p, size_t) noexcept { delete_block(p, __builtin_return_address(0)); }
void operator delete(void *p, const std::nothrow_t &) noexcept
{
	delete_block(p, __builtin_return_address(0));
}
void operator delete[](void *p, const std::nothrow_t &) noexcept
{
	delete_block(p, __builtin_return_address(0));
}
void operator delete(void *p, std::align_val_t) noexcept
{
	delete_block(p, __builtin_return_address(0));
}
void operator delete[](void *p, std::align_val_t) noexcept
{
	delete_block(p, __builtin_return_address(0));
}
void operator delete(void *p, size_t, std::align_val_t) noexcept
{
	delete_block(p, __builtin_return_address(0));
}
void operator delete[](void *p, size_t, std::align_val_t) noexcept
{
	delete_block(p, __builtin_return_address(0));
}
