// Threads under a scheduling policy, and signal masks of the calling
// thread only.
#include "reports.h"

#include "tq_syslib.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <thread>

using namespace syslib_test;

namespace {

// What a created thread saw of its own scheduling.
struct seen {
	std::atomic<bool> ran{false};
	pthread_t self{};
	int policy = -1;
	int priority = -1;
};

void *record_scheduling(void *arg)
{
	auto *s = static_cast<seen *>(arg);
	sched_param param{};
	pthread_getschedparam(pthread_self(), &s->policy, &param);
	s->priority = param.sched_priority;
	s->self = pthread_self();
	s->ran = true;
	return nullptr;
}

// Whether this machine lets a thread be created under a real-time policy.
bool realtime_allowed()
{
	pthread_attr_t attr;
	pthread_attr_init(&attr);
	sched_param param{};
	param.sched_priority = 1;
	pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
	pthread_attr_setschedparam(&attr, &param);
	pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
	pthread_t t;
	int rc = pthread_create(&t, &attr, [](void *) -> void * { return nullptr; }, nullptr);
	pthread_attr_destroy(&attr);
	if (rc == 0)
		pthread_join(t, nullptr);
	return rc == 0;
}

#define REQUIRE_REALTIME()                                                              \
	do {                                                                            \
		if (!realtime_allowed())                                                \
			GTEST_SKIP() << "this machine refuses real-time policies (no "  \
					"CAP_SYS_NICE or no real-time budget in the cgroup)"; \
	} while (0)

// Runs `body` on a fresh thread, so that the test program's own mask
// stays as it was.
void on_fresh_thread(const std::function<void()> &body)
{
	std::thread t(body);
	t.join();
}

bool blocked(int signo)
{
	sigset_t now;
	pthread_sigmask(SIG_BLOCK, nullptr, &now);
	return sigismember(&now, signo) == 1;
}

sigset_t current_mask()
{
	sigset_t now;
	pthread_sigmask(SIG_BLOCK, nullptr, &now);
	return now;
}

bool same_mask(const sigset_t &a, const sigset_t &b)
{
	for (int s = 1; s < NSIG; ++s)
		if (sigismember(&a, s) != sigismember(&b, s))
			return false;
	return true;
}

} // namespace

TEST(threads_test, created_threads_run_under_the_policy_asked_for)
{
	struct row {
		int policy, priority, inherit;
		int want_policy, want_priority;
		bool realtime;
	};
	const row rows[] = {
		{SCHED_OTHER, 50, 0, SCHED_OTHER, 0, false},  // 50 is replaced by 0
		{SCHED_OTHER, 0, 1, SCHED_OTHER, 0, false},
		// Inheriting: the creator's time-sharing wins over the FIFO asked for.
		{SCHED_FIFO, 10, 1, SCHED_OTHER, 0, false},
		{SCHED_FIFO, 10, 0, SCHED_FIFO, 10, true},
		{SCHED_RR, 5, 0, SCHED_RR, 5, true},
	};
	bool rt = realtime_allowed();
	for (const row &r : rows) {
		if (r.realtime && !rt)
			continue;  // reported by realtime_policy_is_refused_without_budget
		report_capture reports;
		seen s;
		pthread_t tid{};
		ASSERT_EQ(tq_pthread_create(&tid, record_scheduling, &s, r.policy, r.priority,
					    r.inherit),
			  0)
			<< r.policy;
		pthread_join(tid, nullptr);
		EXPECT_TRUE(s.ran);
		EXPECT_TRUE(pthread_equal(tid, s.self));
		EXPECT_EQ(s.policy, r.want_policy) << r.policy << "/" << r.inherit;
		EXPECT_EQ(s.priority, r.want_priority) << r.policy << "/" << r.inherit;
		EXPECT_EQ(reports.size(), 0u);
	}
	if (!rt)
		GTEST_SKIP() << "real-time rows skipped: this machine refuses real-time policies";
}

TEST(threads_test, null_id_pointer_still_creates_the_thread)
{
	seen s;
	ASSERT_EQ(tq_pthread_create(nullptr, record_scheduling, &s, SCHED_OTHER, 0, 0), 0);
	while (!s.ran)
		std::this_thread::yield();
	pthread_join(s.self, nullptr);
}

TEST(threads_test, unknown_policy_is_refused_before_any_thread_call)
{
	report_capture reports;
	seen s;
	pthread_t tid = pthread_self();
	for (int policy : {3, -1, 7}) {
		EXPECT_EQ(tq_pthread_create(&tid, record_scheduling, &s, policy, 1, 0), EINVAL);
		EXPECT_TRUE(pthread_equal(tid, pthread_self()));
	}
	EXPECT_FALSE(s.ran);
	EXPECT_EQ(reports.size(), 0u);
}

TEST(threads_test, failed_attribute_call_is_reported_and_returned)
{
	// Real-time priorities run from 1 to 99; the attribute call refuses
	// these without any right being needed.
	for (auto [policy, priority] : {std::pair{SCHED_FIFO, 0}, {SCHED_RR, 100}}) {
		report_capture reports;
		seen s;
		pthread_t tid = pthread_self();
		EXPECT_EQ(tq_pthread_create(&tid, record_scheduling, &s, policy, priority, 0),
			  EINVAL);
		EXPECT_TRUE(pthread_equal(tid, pthread_self()));
		EXPECT_FALSE(s.ran);
		report r = reports.only();
		EXPECT_EQ(r.channel, TQRT_ERR);
		EXPECT_EQ(r.fmt, "TQ_CHECK_RC failed, rc = %d");
		EXPECT_EQ(r.text, "TQ_CHECK_RC failed, rc = 22");
	}
}

TEST(threads_test, realtime_policy_is_refused_without_budget)
{
	if (realtime_allowed())
		GTEST_SKIP() << "this machine allows real-time policies";
	report_capture reports;
	seen s;
	int rc = tq_pthread_create(nullptr, record_scheduling, &s, SCHED_FIFO, 10, 0);
	EXPECT_NE(rc, 0);
	EXPECT_EQ(reports.only().text, "TQ_CHECK_RC failed, rc = " + std::to_string(rc));
}

TEST(threads_test, setschedparam_accepts_time_sharing_and_round_robin_only)
{
	REQUIRE_REALTIME();
	report_capture reports;
	auto current = [] {
		int policy;
		sched_param p{};
		pthread_getschedparam(pthread_self(), &policy, &p);
		return std::pair{policy, p.sched_priority};
	};
	on_fresh_thread([&] {
		pthread_t self = pthread_self();
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_FIFO, 10), EINVAL);
		EXPECT_EQ(tq_pthread_setschedparam(self, 5, 10), EINVAL);
		EXPECT_EQ(current(), (std::pair{SCHED_OTHER, 0}));
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_RR, 7), 0);
		EXPECT_EQ(current(), (std::pair{SCHED_RR, 7}));
		// A failure of the thread library comes back unreported.
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_RR, 0), EINVAL);
		EXPECT_EQ(current(), (std::pair{SCHED_RR, 7}));
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_OTHER, 50), 0);
		EXPECT_EQ(current(), (std::pair{SCHED_OTHER, 0}));
	});
	EXPECT_EQ(reports.size(), 0u);
}

TEST(threads_test, unblocking_one_signal_leaves_the_rest_of_the_mask)
{
	on_fresh_thread([] {
		sigset_t set;
		sigemptyset(&set);
		sigaddset(&set, SIGALRM);
		sigaddset(&set, SIGUSR1);
		pthread_sigmask(SIG_BLOCK, &set, nullptr);
		EXPECT_EQ(tq_signal_mask(0, SIGALRM), 0);
		EXPECT_FALSE(blocked(SIGALRM));
		EXPECT_TRUE(blocked(SIGUSR1));
		EXPECT_EQ(tq_signal_mask(1, SIGTERM), 0);
		EXPECT_TRUE(blocked(SIGTERM));
		EXPECT_TRUE(blocked(SIGUSR1));
	});
}

TEST(threads_test, invalid_signal_number_changes_nothing)
{
	on_fresh_thread([] {
		tq_signal_mask(1, SIGUSR2);
		sigset_t before = current_mask();
		for (int signo : {0, -1, NSIG + 1, 1000}) {
			EXPECT_EQ(tq_signal_mask(1, signo), 0) << signo;
			EXPECT_EQ(tq_signal_mask(0, signo), 0) << signo;
		}
		EXPECT_TRUE(same_mask(current_mask(), before));
	});
}

TEST(threads_test, block_all_then_unblock_all_leaves_nothing_blocked)
{
	on_fresh_thread([] {
		tq_signal_mask(1, SIGUSR1);
		EXPECT_EQ(tq_signal_maskall(1), 0);
		for (int signo : {SIGHUP, SIGINT, SIGALRM, SIGTERM, SIGUSR2, SIGCHLD, SIGRTMIN + 2})
			EXPECT_TRUE(blocked(signo)) << signo;
		EXPECT_EQ(tq_signal_maskall(0), 0);
		for (int s = 1; s < NSIG; ++s)
			EXPECT_FALSE(blocked(s)) << s;
	});
}

TEST(threads_test, masks_change_only_the_calling_thread)
{
	sigset_t before = current_mask();
	on_fresh_thread([] {
		EXPECT_EQ(tq_signal_maskall(1), 0);
		EXPECT_TRUE(blocked(SIGTERM));
	});
	on_fresh_thread([] { EXPECT_EQ(tq_signal_mask(1, SIGUSR1), 0); });
	EXPECT_TRUE(same_mask(current_mask(), before));
}
