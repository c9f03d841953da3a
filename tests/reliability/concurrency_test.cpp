// The library from many threads at once: the stateless families give the
// answers of a single-threaded run, and the kernel commands after one
// init keep the module's table consistent.
#include "calls.h"
#include "kmod.h"
#include "sandbox.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

using namespace syslib_test;

namespace {

constexpr int thread_count = 8;

// SYSLIB_RELIABILITY_SECONDS stretches the run for the report script.
double run_seconds()
{
	const char *s = std::getenv("SYSLIB_RELIABILITY_SECONDS");
	double v = s ? std::atof(s) : 0;
	return v > 0 ? v : 1.5;
}

bool stateless(family f)
{
	return f == family::stats || f == family::match || f == family::process ||
	       f == family::monitor;
}

} // namespace

TEST(concurrency, stateless_families_agree_with_a_single_thread)
{
	REQUIRE_SANDBOX();
	fixed_world world;
	ASSERT_TRUE(world.ok());
	tqrt_set_sleep([](int, int, void *) {}, nullptr);
	std::vector<call> calls;
	for (call &c : all_calls(world))
		if (stateless(c.fam) && c.repeatable)
			calls.push_back(std::move(c));
	ASSERT_FALSE(calls.empty());

	std::vector<std::string> expected;
	for (const call &c : calls)
		expected.push_back(c.run());

	std::atomic<long> total{0}, mismatches{0};
	std::atomic<bool> stop{false};
	std::vector<std::string> first_mismatch(thread_count);
	std::vector<std::thread> threads;
	for (int t = 0; t < thread_count; ++t) {
		threads.emplace_back([&, t] {
			for (size_t round = 0; !stop.load(); ++round) {
				// Each thread walks the calls from its own offset, so that
				// different calls overlap.
				for (size_t i = 0; i < calls.size(); ++i) {
					size_t k = (i + static_cast<size_t>(t) * 3) % calls.size();
					std::string got = calls[k].run();
					total.fetch_add(1);
					if (got != expected[k] && mismatches.fetch_add(1) == 0)
						first_mismatch[t] = std::string(calls[k].name) + ": " + got +
								    " instead of " + expected[k];
				}
			}
		});
	}
	std::this_thread::sleep_for(std::chrono::duration<double>(run_seconds()));
	stop.store(true);
	for (auto &th : threads)
		th.join();
	tqrt_set_sleep(nullptr, nullptr);
	for (const std::string &m : first_mismatch)
		EXPECT_TRUE(m.empty()) << m;
	EXPECT_EQ(mismatches.load(), 0);
	EXPECT_GT(total.load(), static_cast<long>(calls.size()) * thread_count);
	std::printf("[figures] stateless threads=%d distinct_calls=%zu calls=%ld seconds=%.1f\n",
		    thread_count, calls.size(), total.load(), run_seconds());
}

namespace {
using kernel_concurrency = kmod_test;
}

TEST_F(kernel_concurrency, commands_from_several_threads_after_one_init)
{
	constexpr int workers = 4;
	constexpr uint32_t per_worker = 40;
	std::atomic<long> failures{0}, calls{0};
	std::vector<std::thread> threads;
	for (int t = 0; t < workers; ++t) {
		threads.emplace_back([&, t] {
			for (uint32_t i = 0; i < per_worker; ++i) {
				tq_sys_filter_t f{};
				f.id = static_cast<uint32_t>(t) * 1000 + i;
				f.key = f.id + 500000;
				f.rule[0] = static_cast<uint8_t>(t);
				if (tq_syslib_filter_add(&f) != 0)
					failures.fetch_add(1);
				tq_sys_filter_t probe{};
				probe.key = f.key;
				if (tq_syslib_filter_get(&probe) != 0 || probe.id != f.id)
					failures.fetch_add(1);
				uint32_t n = 0;
				if (tq_syslib_filter_get_cnt(&n) != 0 || n == 0)
					failures.fetch_add(1);
				uint32_t v = 0;
				if (tq_syslib_swdog_set() != 0)
					failures.fetch_add(1);
				tq_syslib_mac_get_val(0x8101, &v, "value");
				calls.fetch_add(5);
			}
			// Delete every other filter of this worker.
			for (uint32_t i = 0; i < per_worker; i += 2) {
				if (tq_syslib_filter_del(static_cast<uint32_t>(t) * 1000 + i) != 0)
					failures.fetch_add(1);
				calls.fetch_add(1);
			}
		});
	}
	for (auto &th : threads)
		th.join();
	EXPECT_EQ(failures.load(), 0);
	uint32_t n = 0;
	ASSERT_EQ(tq_syslib_filter_get_cnt(&n), 0);
	EXPECT_EQ(n, workers * per_worker / 2);
	std::vector<tq_sys_filter_t> all(TQSYS_FILTER_MAX);
	uint32_t cap = TQSYS_FILTER_MAX;
	ASSERT_EQ(tq_syslib_filter_get_list(all.data(), &cap), 0);
	ASSERT_EQ(cap, n);
	std::map<uint32_t, int> seen;
	for (uint32_t i = 0; i < cap; ++i) {
		EXPECT_EQ(all[i].key, all[i].id + 500000) << "a torn record";
		EXPECT_EQ(all[i].id % 2, 1u) << "a deleted filter is listed";
		++seen[all[i].id];
	}
	for (auto &[id, times] : seen)
		EXPECT_EQ(times, 1) << id;
	std::printf("[figures] kernel threads=%d calls=%ld\n", workers, calls.load());
}
