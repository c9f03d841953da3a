// Threads under a chosen scheduling policy, and per-thread signal masks.
// Results are POSIX error numbers, not -1.
#include "../frame/report.h"
#include "tq_syslib.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sched.h>

namespace syslib {
namespace {

constexpr bool known_policy(int policy) noexcept
{
	return policy == SCHED_OTHER || policy == SCHED_FIFO || policy == SCHED_RR;
}

sched_param priority_param(int policy, int priority) noexcept
{
	sched_param param{};
	// The time-sharing policy has only priority 0.
	param.sched_priority = policy == SCHED_OTHER ? 0 : priority;
	return param;
}

// Destroys the attribute object on every path out of the creation.
class thread_attr {
public:
	thread_attr() noexcept { (void)pthread_attr_init(&attr_); }
	~thread_attr() { (void)pthread_attr_destroy(&attr_); }
	thread_attr(const thread_attr &) = delete;
	thread_attr &operator=(const thread_attr &) = delete;
	pthread_attr_t *get() noexcept { return &attr_; }

private:
	pthread_attr_t attr_;
};

int change_mask(int block, const sigset_t &set) noexcept
{
	return pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_pthread_create(pthread_t *tid, void *(*entry)(void *), void *arg,
				 int policy, int priority, int inherit) noexcept
{
	if (!known_policy(policy))
		return EINVAL;
	const sched_param param = priority_param(policy, priority);
	thread_attr attr;
	pthread_t created;
	int rc = pthread_attr_setschedpolicy(attr.get(), policy);
	if (rc == 0)
		rc = pthread_attr_setschedparam(attr.get(), &param);
	if (rc == 0)
		rc = pthread_attr_setinheritsched(attr.get(), inherit ? PTHREAD_INHERIT_SCHED
								     : PTHREAD_EXPLICIT_SCHED);
	if (rc == 0)
		rc = pthread_create(&created, attr.get(), entry, arg);
	if (rc != 0) {
		TQ_ERR("TQ_CHECK_RC failed, rc = %d", rc);
		return rc;
	}
	if (tid)
		*tid = created;
	return 0;
}

extern "C" int tq_pthread_setschedparam(pthread_t tid, int policy, int priority) noexcept
{
	// FIFO is refused here even though creation accepts it.
	if (policy != SCHED_OTHER && policy != SCHED_RR)
		return EINVAL;
	const sched_param param = priority_param(policy, priority);
	return pthread_setschedparam(tid, policy, &param);
}

extern "C" int tq_signal_maskall(int block) noexcept
{
	sigset_t set;
	sigemptyset(&set);
	sigfillset(&set);
	return change_mask(block, set);
}

extern "C" int tq_signal_mask(int block, int signo) noexcept
{
	sigset_t set;
	sigemptyset(&set);
	// An invalid number leaves the set empty, so nothing changes.
	(void)sigaddset(&set, signo);
	return change_mask(block, set);
}
