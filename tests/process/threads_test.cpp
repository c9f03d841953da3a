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
	int policy = -1;
	sched_param param{};
};

void *record_scheduling(void *arg)
{
	auto *s = static_cast<seen *>(arg);
	pthread_getschedparam(pthread_self(), &s->policy, &s->param);
	s->self = pthread_self();
	s->ran = true;
	return nullptr;
}

std::pair<int, int> scheduling_of(pthread_t t)
{
	int policy;
	sched_param p{};
	pthread_getschedparam(t, &policy, &p);
	return {policy, p.sched_priority};
}

// Runs `body` on a fresh thread, so that this program's own scheduling
// and mask stay as they were; returns what `body` returned.
template <class F>
auto on_fresh_thread(F body)
{
	return std::async(std::launch::async, body).get();
}

bool realtime_allowed()
{
	return on_fresh_thread([] {
		sched_param p{};
		p.sched_priority = 1;
		return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
	});
}

bool blocked(int signo)
{
	sigset_t now;
	pthread_sigmask(SIG_BLOCK, nullptr, &now);
	return sigismember(&now, signo) == 1;
}

constexpr char no_realtime[] =
	"this machine refuses real-time policies (no CAP_SYS_NICE or no real-time budget)";

} // namespace

TEST(threads_test, created_threads_run_under_the_policy_asked_for)
{
	struct row {
		int policy, priority, inherit;
		std::pair<int, int> want;
		bool realtime;
	};
	const row rows[] = {
		{SCHED_OTHER, 50, 0, {SCHED_OTHER, 0}, false},  // 50 is replaced by 0
		// Inheriting: the creator's time-sharing wins over the FIFO asked for.
		{SCHED_FIFO, 10, 1, {SCHED_OTHER, 0}, false},
		{SCHED_FIFO, 10, 0, {SCHED_FIFO, 10}, true},
		{SCHED_RR, 5, 0, {SCHED_RR, 5}, true},
	};
	const bool rt = realtime_allowed();
	for (const row &r : rows) {
		if (r.realtime && !rt)
			continue;
		report_capture reports;
		seen s;
		pthread_t tid{};
		ASSERT_EQ(tq_pthread_create(&tid, record_scheduling, &s, r.policy, r.priority,
					    r.inherit),
			  0);
		pthread_join(tid, nullptr);
		EXPECT_TRUE(pthread_equal(tid, s.self));
		EXPECT_EQ((std::pair{s.policy, s.param.sched_priority}), r.want)
			<< r.policy << "/" << r.inherit;
		EXPECT_EQ(reports.size(), 0u);
	}
	if (!rt)
		GTEST_SKIP() << "real-time rows: " << no_realtime;
}

TEST(threads_test, null_id_pointer_still_creates_the_thread)
{
	seen s;
	ASSERT_EQ(tq_pthread_create(nullptr, record_scheduling, &s, SCHED_OTHER, 0, 0), 0);
	while (!s.ran)
		std::this_thread::yield();
	pthread_join(s.self, nullptr);
}

TEST(threads_test, refusals_leave_the_id_and_start_nothing)
{
	struct row {
		int policy, priority, rc;
		bool reported;
	};
	const row rows[] = {
		{3, 1, EINVAL, false}, {-1, 1, EINVAL, false},
		// Out of the real-time range 1 to 99: the attribute call refuses,
		// without any right being needed.
		{SCHED_FIFO, 0, EINVAL, true}, {SCHED_RR, 100, EINVAL, true},
	};
	for (const row &r : rows) {
		report_capture reports;
		seen s;
		pthread_t tid = pthread_self();
		EXPECT_EQ(tq_pthread_create(&tid, record_scheduling, &s, r.policy, r.priority, 0),
			  r.rc);
		EXPECT_TRUE(pthread_equal(tid, pthread_self()));
		EXPECT_FALSE(s.ran);
		ASSERT_EQ(reports.size(), r.reported ? 1u : 0u) << r.policy;
		if (r.reported) {
			EXPECT_EQ(reports.only().channel, TQRT_ERR);
			EXPECT_EQ(reports.only().fmt, "TQ_CHECK_RC failed, rc = %d");
			EXPECT_EQ(reports.only().text, "TQ_CHECK_RC failed, rc = 22");
		}
	}
}

TEST(threads_test, setschedparam_accepts_time_sharing_and_round_robin_only)
{
	if (!realtime_allowed())
		GTEST_SKIP() << no_realtime;
	report_capture reports;
	on_fresh_thread([] {
		pthread_t self = pthread_self();
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_FIFO, 10), EINVAL);
		EXPECT_EQ(tq_pthread_setschedparam(self, 5, 10), EINVAL);
		EXPECT_EQ(scheduling_of(self), (std::pair{SCHED_OTHER, 0}));
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_RR, 7), 0);
		EXPECT_EQ(scheduling_of(self), (std::pair{SCHED_RR, 7}));
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_RR, 0), EINVAL);
		EXPECT_EQ(tq_pthread_setschedparam(self, SCHED_OTHER, 50), 0);
		EXPECT_EQ(scheduling_of(self), (std::pair{SCHED_OTHER, 0}));
	});
	EXPECT_EQ(reports.size(), 0u) << "only creation reports";
}

TEST(threads_test, one_signal_changes_and_the_rest_of_the_mask_stays)
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
		// Not a signal: the set stays empty and nothing changes.
		for (int signo : {0, -1, 1000}) {
			EXPECT_EQ(tq_signal_mask(0, signo), 0);
			EXPECT_EQ(tq_signal_mask(1, signo), 0);
		}
		EXPECT_TRUE(blocked(SIGUSR1) && blocked(SIGTERM) && !blocked(SIGALRM) &&
			    !blocked(SIGHUP));
	});
}

TEST(threads_test, block_all_then_unblock_all_leaves_nothing_blocked)
{
	on_fresh_thread([] {
		tq_signal_mask(1, SIGUSR1);
		EXPECT_EQ(tq_signal_maskall(1), 0);
		// The top real-time signals are kept by qemu-user for itself.
		for (int signo : {SIGHUP, SIGALRM, SIGTERM, SIGUSR2, SIGCHLD, SIGRTMIN + 2})
			EXPECT_TRUE(blocked(signo)) << signo;
		EXPECT_EQ(tq_signal_maskall(0), 0);
		for (int s = 1; s < NSIG; ++s)
			EXPECT_FALSE(blocked(s)) << s;
	});
}

TEST(threads_test, masks_change_only_the_calling_thread)
{
	on_fresh_thread([] { return tq_signal_maskall(1); });
	on_fresh_thread([] { return tq_signal_mask(1, SIGUSR1); });
	EXPECT_FALSE(blocked(SIGUSR1));
	EXPECT_FALSE(blocked(SIGTERM));
}
