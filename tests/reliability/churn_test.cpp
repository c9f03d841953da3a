// The process survey while processes come and go under changing names:
// every list it returns is whole, sorted by size and one record per name.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <memory>
#include <set>
#include <sys/prctl.h>
#include <sys/wait.h>

TEST(churn, every_list_is_whole_sorted_and_unique_while_processes_come_and_go)
{
	const char *env = std::getenv("SYSLIB_RELIABILITY_SECONDS");  // stretched by the report
	const double seconds = env ? std::atof(env) : 2.0;
	const pid_t churner = fork();
	ASSERT_GE(churner, 0);
	// Short-lived children named churn_0 .. churn_15, which reap
	// themselves; every third grows, so that sizes move while the survey runs.
	if (churner == 0)
		signal(SIGCHLD, SIG_IGN);
	for (long made = 0; churner == 0; ++made, usleep(500))
		if (fork() == 0) {
			prctl(PR_SET_NAME, ("churn_" + std::to_string(made % 16)).c_str());
			std::vector<char> pad(made % 3 ? 0 : 256 * 1024, 1);
			_exit(usleep(2000));
		}
	std::shared_ptr<void> reap(nullptr, [=](void *) { kill(churner, SIGKILL), waitpid(churner, nullptr, 0); });
	static tq_mem_proc_info_list_t list;
	long surveys = 0, full = 0, churning = 0;
	for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
	     std::chrono::steady_clock::now() < end; ++surveys) {
		std::memset(&list, 0x5a, sizeof list);
		const int rc = tq_mem_get_proc_info_list(&list), max = TQ_MEM_PROC_LIST_MAX;
		full += rc == -1;  // only a full list fails
		ASSERT_TRUE((rc == 0 && list.count >= 1 && list.count <= max) || (rc == -1 && list.count == max))
			<< rc << " " << list.count;
		std::set<std::string> names;
		for (int i = 0; i < list.count; ++i) {
			const tq_mem_proc_info_t &r = list.records[i];
			ASSERT_TRUE(r.pid > 0 && std::memchr(r.name, '\0', sizeof r.name) &&
				    (r.watch_flag == 1 || r.watch_flag == 2) && r.private_kb == r.rss_kb - r.shared_kb)
				<< "a torn record at " << i;
			ASSERT_TRUE(names.insert(r.name).second) << "twice: " << r.name;
			ASSERT_TRUE(i == 0 || list.records[i - 1].rss_kb >= r.rss_kb) << "not sorted at " << i;
			churning += std::strncmp(r.name, "churn_", 6) == 0;
		}
	}
	EXPECT_GT(churning, 0) << "the churn did not run";
	std::printf("[figures] churn surveys=%ld full=%ld churn_records=%ld seconds=%.1f\n", surveys, full,
		    churning, seconds);
}
