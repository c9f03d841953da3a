// Each function below stands in front of its namesake (the program's own
// definitions come first in symbol lookup) and forwards to it, unless the
// armed fault picks this very call of the library's code.
#include "inject.h"

#include "harness.h"

#include <cstdarg>
#include <sys/statvfs.h>

namespace syslib_test {
// Shared with forked children: a fault armed before a fork counts and
// fires in the children too. Made at the first arm(): a sanitizer's
// start-up calls some of these functions before any initialiser runs.
static struct armed_state {
	fault f;
	int seen;
} *shared;

void arm(const fault &f)
{
	if (!shared)
		shared = static_cast<armed_state *>(
			mmap(nullptr, sizeof *shared, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
	*shared = {f, 0};
}
void disarm() { shared->f = {}; }

// The caller's address lies in the library's own code. Apart from hit():
// its frame must not be set up for a call in a sanitizer's start-up.
[[gnu::noinline]] static bool in_library(const void *address)
{
	Dl_info object;
	return dladdr(address, &object) && std::strstr(object.dli_fname, "libsyslib.so");
}

// The armed call of `fn`, made from the library's own code.
static bool hit(const char *fn, const void *caller)
{
	if (!shared || !shared->f.fn || std::strcmp(fn, shared->f.fn) != 0 || !in_library(caller) ||
	    __atomic_add_fetch(&shared->seen, 1, __ATOMIC_SEQ_CST) != shared->f.nth)
		return false;
	errno = shared->f.err;
	return true;
}

template <class F> F next(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }

} // namespace syslib_test

using syslib_test::hit;
using syslib_test::next;

// KEY is the name a fault is armed with; SYM the symbol itself.
#define FAULTY(T, KEY, SYM, PARAMS, ARGS)                                      \
	extern "C" T SYM PARAMS                                                 \
	{                                                                       \
		static auto real = next<T(*) PARAMS>(#SYM);                     \
		if (hit(KEY, __builtin_return_address(0)))                      \
			return (T)(intptr_t)syslib_test::shared->f.ret;             \
		return real ARGS;                                               \
	}
// The variadic ones forward their one optional argument.
#define FAULTY_VA(KEY, SYM, T1, T2)                                            \
	extern "C" int SYM(T1 a, T2 b, ...)                                     \
	{                                                                       \
		static auto real = next<int (*)(T1, T2, ...)>(#SYM);            \
		va_list ap;                                                     \
		va_start(ap, b);                                                \
		void *c = va_arg(ap, void *);                                   \
		va_end(ap);                                                     \
		if (hit(KEY, __builtin_return_address(0)))                      \
			return static_cast<int>(syslib_test::shared->f.ret);        \
		return real(a, b, c);                                           \
	}

// The names the library's objects call; on a 32-bit target, built with
// 64-bit file offsets, they call the 64 names below, armed by the same key.
FAULTY_VA("fcntl", fcntl, int, int)
FAULTY(FILE *, "popen", popen, (const char *c, const char *m), (c, m))
FAULTY(char *, "fgets", fgets, (char *s, int n, FILE *f), (s, n, f))
FAULTY(FILE *, "fopen", fopen, (const char *p, const char *m), (p, m))
FAULTY(DIR *, "opendir", opendir, (const char *p), (p))
FAULTY(int, "statvfs", statvfs, (const char *p, struct statvfs *s), (p, s))
FAULTY(pid_t, "fork", fork, (), ())
FAULTY(pid_t, "setsid", setsid, (), ())
FAULTY(int, "getrlimit", getrlimit, (__rlimit_resource_t r, rlimit *l), (r, l))
FAULTY(pid_t, "waitpid", waitpid, (pid_t p, int *s, int o), (p, s, o))
FAULTY(int, "pthread_attr_setschedpolicy", pthread_attr_setschedpolicy, (pthread_attr_t *a, int p), (a, p))
FAULTY(int, "pthread_attr_setschedparam", pthread_attr_setschedparam, (pthread_attr_t *a, const sched_param *p), (a, p))
FAULTY(int, "pthread_attr_setinheritsched", pthread_attr_setinheritsched, (pthread_attr_t *a, int i), (a, i))
FAULTY(int, "pthread_create", pthread_create,
       (pthread_t *t, const pthread_attr_t *a, void *(*f)(void *), void *x), (t, a, f, x))
FAULTY(int, "pthread_setschedparam", pthread_setschedparam, (pthread_t t, int p, const sched_param *s), (t, p, s))
FAULTY(int, "pthread_sigmask", pthread_sigmask, (int h, const sigset_t *s, sigset_t *o), (h, s, o))
#if __SIZEOF_POINTER__ == 4
FAULTY_VA("fcntl", fcntl64, int, int)
FAULTY(FILE *, "fopen", fopen64, (const char *p, const char *m), (p, m))
FAULTY(int, "statvfs", statvfs64, (const char *p, struct statvfs64 *s), (p, s))
FAULTY(int, "getrlimit", getrlimit64, (__rlimit_resource_t r, rlimit64 *l), (r, l))
#endif
FAULTY(int, "tq_open", tq_open, (const char *p, int f), (p, f))
FAULTY(int, "tq_read", tq_read, (int fd, void *b, int n), (fd, b, n))
FAULTY(int, "tq_sched_setscheduler", tq_sched_setscheduler, (int p, int y, int r), (p, y, r))
FAULTY(int, "close_range", close_range, (unsigned a, unsigned b, int f), (a, b, f))

// The matchers' tables for long patterns: the allocation fails as under
// memory pressure. Resolved without a static's guard: the first malloc of
// a program can come before any initialiser has run.
static void *(*real_malloc)(std::size_t);
extern "C" void *malloc(std::size_t n)
{
	auto real = __atomic_load_n(&real_malloc, __ATOMIC_ACQUIRE);
	if (!real) {
		real = next<void *(*)(std::size_t)>("malloc");
		__atomic_store_n(&real_malloc, real, __ATOMIC_RELEASE);
	}
	if (hit("malloc", __builtin_return_address(0)))
		return nullptr;
	return real(n);
}
