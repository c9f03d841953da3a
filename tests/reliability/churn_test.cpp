// The process survey while processes come and go under changing names:
// every call succeeds or fails as documented, and every list it returns
// is whole, sorted and one record per name.
#include "tq_syslib.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double run_seconds()
{
	const char *s = std::getenv("SYSLIB_RELIABILITY_SECONDS");
	double v = s ? std::atof(s) : 0;
	return v > 0 ? v : 2.0;
}

// Forks short-lived children named churn_0 .. churn_15 in turn and reaps
// them; writes how many it made to `report` when told to stop.
[[noreturn]] void churn(int report)
{
	static volatile sig_atomic_t stop = 0;
	signal(SIGTERM, [](int) { stop = 1; });
	long made = 0;
	while (!stop) {
		pid_t p = fork();
		if (p == 0) {
			char name[16];
			std::snprintf(name, sizeof name, "churn_%ld", made % 16);
			prctl(PR_SET_NAME, name);
			// Some grow a little, so their size moves while the survey runs.
			if (made % 3 == 0) {
				static char pad[256 * 1024];
				std::memset(pad, 1, sizeof pad);
			}
			usleep(2000);
			_exit(0);
		}
		if (p > 0) {
			++made;
			while (waitpid(-1, nullptr, WNOHANG) > 0) {
			}
		}
		usleep(500);
	}
	while (waitpid(-1, nullptr, 0) > 0) {
	}
	ssize_t w = write(report, &made, sizeof made);
	(void)w;
	_exit(0);
}

bool all_zero(const void *p, size_t n)
{
	const auto *b = static_cast<const unsigned char *>(p);
	for (size_t i = 0; i < n; ++i)
		if (b[i])
			return false;
	return true;
}

} // namespace

TEST(survey_churn, every_list_is_whole_sorted_and_unique_while_processes_come_and_go)
{
	int pipefd[2];
	ASSERT_EQ(pipe(pipefd), 0);
	pid_t churner = fork();
	ASSERT_GE(churner, 0);
	if (churner == 0) {
		close(pipefd[0]);
		churn(pipefd[1]);
	}
	close(pipefd[1]);

	static tq_mem_proc_info_list_t list;
	long surveys = 0, full = 0, records = 0;
	auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(run_seconds());
	while (std::chrono::steady_clock::now() < end) {
		std::memset(&list, 0x5a, sizeof list);
		int rc = tq_mem_get_proc_info_list(&list);
		++surveys;
		ASSERT_TRUE(rc == 0 || rc == -1) << rc;
		if (rc == -1) {
			// Only a full list fails, and then it holds 128 records.
			ASSERT_EQ(list.count, 128);
			++full;
			continue;
		}
		ASSERT_GE(list.count, 1);
		ASSERT_LE(list.count, 128);
		std::set<std::string> names;
		for (int i = 0; i < list.count; ++i) {
			const tq_mem_proc_info_t &r = list.records[i];
			ASSERT_GT(r.pid, 0) << i;
			ASSERT_NE(std::memchr(r.name, '\0', sizeof r.name), nullptr) << "unterminated name";
			ASSERT_TRUE(r.watch_flag == 1 || r.watch_flag == 2) << r.name;
			ASSERT_EQ(r.private_kb, r.rss_kb - r.shared_kb) << r.name;
			ASSERT_TRUE(names.insert(r.name).second) << "twice: " << r.name;
			if (i > 0) {
				ASSERT_GE(list.records[i - 1].rss_kb, r.rss_kb) << "not sorted at " << i;
			}
		}
		records += list.count;
		ASSERT_TRUE(all_zero(&list.records[list.count],
				     sizeof(tq_mem_proc_info_t) * (128 - list.count)))
			<< "records after count are not zero";
	}
	kill(churner, SIGTERM);
	long made = 0;
	ASSERT_EQ(read(pipefd[0], &made, sizeof made), static_cast<ssize_t>(sizeof made));
	close(pipefd[0]);
	waitpid(churner, nullptr, 0);
	EXPECT_GT(made, 10) << "the churn did not run";
	std::printf("[figures] churn surveys=%ld full=%ld records=%ld processes=%ld seconds=%.1f\n",
		    surveys, full, records, made, run_seconds());
}
