// The library from eight threads at once, after one init: each thread's
// answers are those of a single-threaded run, for the stateless families
// against fixed files and for kernel commands on the thread's own filter.
#include "harness.h"

#include <future>

using namespace syslib_test;

namespace {

// The answers as text. The braces evaluate in order, so that each figure
// is read after its call.
std::string answers(uint32_t thread)
{
	uint32_t h = 1, p = 7, t = 7, total = 0, free_kb = 0;
	int x = 0, y = 0;
	tq_mem_proc_info_t i{};
	tq_mem_system_info_t m{};
	tq_monitor_cfg_t c{};
	tq_sys_filter_t f{thread, thread + 500000, {}}, got{0, thread + 500000, {}};
	sigset_t s;
	pthread_t th;
	const long long v[] = {tq_mem_get_proc_heap(4242, &h), h, i.pid = 4242, tq_mem_get_proc_info(&i), i.rss_kb,
		i.stack_kb, tq_mem_get_system_memory(&m), m.free_kb, m.available_kb, tq_sys_get_cpu_total_utilize(&p, &t),
		p, t, tq_mem_get_fs_info("/dev/shm", &total, &free_kb), total, tq_findingstring("hostapd-wlan0", "wl?n", 0),
		tq_matchingstring("DOT1X_AUTHD", "dot1x_*d", 0), tq_multimatching("snmpd", "ntp*,snmp?,x*", 0, 0, 1),
		tq_read_pid_file("/tmp/d.pid"), tq_read_pid_file("/tmp/bad.pid"), tq_monitor_read_config(&c, sizeof c),
		tq_monitor_get_group_status(1, &x, &y), x, y, tq_signal_mask(1, SIGUSR2),
		pthread_sigmask(SIG_BLOCK, nullptr, &s), sigismember(&s, SIGUSR2), tq_signal_mask(0, SIGUSR2),
		tq_pthread_create(&th, [](void *a) { return a; }, nullptr, 0, 0, 0), pthread_join(th, nullptr),
		tq_syslib_filter_add(&f), tq_syslib_swdog_set(), tq_syslib_filter_get(&got), got.id,
		tq_syslib_filter_del(thread), tq_syslib_filter_get(&got)};
	std::string out = i.name + std::string(reinterpret_cast<char *>(&c), sizeof c);
	for (long long n : v)
		out.append(" ").append(std::to_string(n));
	return out;
}

} // namespace

using concurrency = kmod_test;

TEST_F(concurrency, eight_threads_give_the_answers_of_one)
{
	REQUIRE_SANDBOX();
	fake_dir proc("/proc");
	ASSERT_TRUE(proc.ok());
	proc.put("4242/statm", "100 50 1 2 0 0 0 3\n"), proc.put("4242/status", "Name:\tfixedd\nVmStk:\t4 kB\n");
	proc.put("meminfo", "MemTotal: 254196 kB\nMemFree: 81232 kB\nBuffers: 6120 kB\nCached: 61004 kB\n");
	proc.put("stat", "cpu  4705 150 1120 16250 520 30 70 0 0 0\n");
	ASSERT_TRUE(write_file("/tmp/d.pid", "417\n") && write_file("/etc/monitor.conf", std::string(600, 'Z')) &&
		    write_file("/tmp/bad.pid", " 12\n") && write_file("/etc/monitor_status.conf", "5 7\n1 2\n"));
	tqrt_set_sleep([](int, int, void *) {}, nullptr);
	std::vector<std::string> expected;
	for (uint32_t t = 1; t <= 8; ++t)
		expected.push_back(answers(t));
	EXPECT_EQ(expected[0].substr(0, 6), "fixedd") << "the fixed files were not read";
	const char *env = std::getenv("SYSLIB_RELIABILITY_SECONDS");  // stretched by the report
	const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(env ? std::atof(env) : 1.5);
	std::atomic<long> rounds{0};
	std::vector<std::future<std::string>> threads;
	for (uint32_t t = 1; t <= 8; ++t)
		threads.push_back(std::async(std::launch::async, [&, t] {
			std::string wrong;
			for (; std::chrono::steady_clock::now() < end; ++rounds)
				if (std::string got = answers(t); got != expected[t - 1])
					wrong = got + "\ninstead of " + expected[t - 1];
			return wrong;
		}));
	for (auto &t : threads)
		EXPECT_EQ(t.get(), "");
	tqrt_set_sleep(nullptr, nullptr);
	EXPECT_GT(rounds, 8);
	std::printf("[figures] threads=8 rounds=%ld\n", rounds.load());
}
