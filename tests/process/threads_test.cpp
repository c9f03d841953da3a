// Threads under a scheduling policy, and signal masks of the calling
// thread only.
#include "reports.h"

#include "tq_syslib.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <sched.h>
#include <thread>

using namespace syslib_test;

namespace {

// What a created thread saw of its own scheduling.
struct seen {
	std::atomic<bool> ran{false};
	pthread_t self{};
	std::pair<int, int> sched{-1, -1};
};

std::pair<int, int> scheduling_of(pthread_t t)
{
	int policy = -1;
	sched_param p{};
	pthread_getschedparam(t, &policy, &p);
	return {policy, p.sched_priority};
}

void *record_scheduling(void *arg)
{
	auto *s = static_cast<seen *>(arg);
	s->sched = scheduling_of(pthread_self());
	s->self = pthread_self();
	s->ran = true;
	return nullptr;
}

// Runs `body` on a fresh thread, so that this program's own scheduling
// and mask stay as they were.
template <class F>
auto on_fresh_thread(F body)
{
	return std::async(std::launch::async, body).get();
}

bool realtime_allowed()
{
	return on_fresh_thread([] {
		sched_param p{1};
		return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
	});
}

bool blocked(int signo)
{
	sigset_t now;
	pthread_sigmask(SIG_BLOCK, nullptr, &now);
	return sigismember(&now, signo) == 1;
}

constexpr char no_realtime[] = "the machine refuses real-time policies (no CAP_SYS_NICE)";

} // namespace

TEST(threads_test, creation_under_a_policy_or_refused)
{
	struct row {
		int policy, priority, inherit, rc;
		std::pair<int, int> want;  // what the thread sees; unused when refused
		bool realtime, reported;
	};
	const row rows[] = {
		{SCHED_OTHER, 50, 0, 0, {SCHED_OTHER, 0}, false, false},  // 50 is replaced by 0
		// Inheriting: the creator's time-sharing wins over the FIFO asked for.
		{SCHED_FIFO, 10, 1, 0, {SCHED_OTHER, 0}, false, false},
		{SCHED_FIFO, 10, 0, 0, {SCHED_FIFO, 10}, true, false},
		{SCHED_RR, 5, 0, 0, {SCHED_RR, 5}, true, false},
		{3, 1, 0, EINVAL, {}, false, false},
		{-1, 1, 0, EINVAL, {}, false, false},
		// Out of the real-time range 1 to 99: the attribute call refuses,
		// without any right being needed.
		{SCHED_FIFO, 0, 0, EINVAL, {}, false, true},
		{SCHED_RR, 100, 0, EINVAL, {}, false, true},
	};
	const bool rt = realtime_allowed();
	for (const row &r : rows) {
		if (r.realtime && !rt)
			continue;
		SCOPED_TRACE(std::to_string(r.policy) + "/" + std::to_string(r.priority));
		report_capture reports;
		seen s;
		pthread_t tid = pthread_self();
		ASSERT_EQ(tq_pthread_create(&tid, record_scheduling, &s, r.policy, r.priority,
					    r.inherit),
			  r.rc);
		if (r.rc == 0) {
			pthread_join(tid, nullptr);
			EXPECT_TRUE(pthread_equal(tid, s.self));
			EXPECT_EQ(s.sched, r.want);
		} else {
			EXPECT_TRUE(pthread_equal(tid, pthread_self())) << "the id is left alone";
			EXPECT_FALSE(s.ran);
		}
		ASSERT_EQ(reports.size(), r.reported ? 1u : 0u);
		if (r.reported) {
			EXPECT_EQ(reports.only().channel, TQRT_ERR);
			EXPECT_EQ(reports.only().fmt, "TQ_CHECK_RC failed, rc = %d");
			EXPECT_EQ(reports.only().text, "TQ_CHECK_RC failed, rc = 22");
		}
	}
	// No place for the id: the thread is created all the same.
	seen s;
	ASSERT_EQ(tq_pthread_create(nullptr, record_scheduling, &s, SCHED_OTHER, 0, 0), 0);
	while (!s.ran)
		std::this_thread::yield();
	pthread_join(s.self, nullptr);
	if (!rt)
		GTEST_SKIP() << "real-time rows: " << no_realtime;
}

TEST(threads_test, setschedparam_accepts_time_sharing_and_round_robin_only)
{
	const bool rt = realtime_allowed();
	report_capture reports;
	on_fresh_thread([rt] {
		pthread_t self = pthread_self();
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_FIFO, 10), EINVAL);
		EXPECT_EQ(tq_pthread_setschedparam(self, 5, 10), EINVAL);
		EXPECT_EQ(scheduling_of(self), (std::pair{SCHED_OTHER, 0}));
		if (!rt)
			return;
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_RR, 7), 0);
		EXPECT_EQ(scheduling_of(self), (std::pair{SCHED_RR, 7}));
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_RR, 0), EINVAL);
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_OTHER, 50), 0);
		EXPECT_EQ(scheduling_of(self), (std::pair{SCHED_OTHER, 0}));
	});
	EXPECT_EQ(reports.size(), 0u) << "only creation reports";
	if (!rt)
		GTEST_SKIP() << "round robin: " << no_realtime;
}

TEST(threads_test, masks_change_only_the_calling_thread)
{
	on_fresh_thread([] {
		EXPECT_EQ(tq_signal_mask(1, SIGUSR1), 0);
		EXPECT_EQ(tq_signal_mask(1, SIGALRM), 0);
		EXPECT_EQ(tq_signal_mask(0, SIGALRM), 0);
		// Not a signal: the set stays empty and nothing changes.
		for (int signo : {0, -1, 1000}) {
			EXPECT_EQ(tq_signal_mask(0, signo), 0);
			EXPECT_EQ(tq_signal_mask(1, signo), 0);
		}
		EXPECT_TRUE(blocked(SIGUSR1) && !blocked(SIGALRM) && !blocked(SIGHUP));

		EXPECT_EQ(tq_signal_maskall(1), 0);
		// The top real-time signals are kept by qemu-user for itself.
		for (int signo : {SIGHUP, SIGALRM, SIGCHLD, SIGRTMIN + 2})
			EXPECT_TRUE(blocked(signo)) << signo;
		EXPECT_EQ(tq_signal_maskall(0), 0);
		for (int s = 1; s < NSIG; ++s)
			EXPECT_FALSE(blocked(s)) << s;
		tq_signal_maskall(1);
	});
	EXPECT_FALSE(blocked(SIGUSR1) || blocked(SIGTERM));
}
