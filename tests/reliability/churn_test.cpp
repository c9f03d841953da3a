// The process survey while processes come and go under changing names:
// every list it returns is whole, sorted by size and one record per name,
// and a process that ends before its entry is tested gives no report.
#include "harness.h"

#include <set>

using syslib_test::reported;

// readdir in front of the C library's: kills and reaps `victim` as soon as
// it has listed it.
static pid_t victim;
template <class E> static E *listed(E *entry)
{
	if (entry && victim && std::atoi(entry->d_name) == victim)
		kill(victim, SIGKILL), waitpid(victim, nullptr, 0), victim = 0;
	return entry;
}
extern "C" dirent *readdir(DIR *d)
{
	static auto real = reinterpret_cast<dirent *(*)(DIR *)>(dlsym(RTLD_NEXT, "readdir"));
	return listed(real(d));
}
#if __SIZEOF_POINTER__ == 4
extern "C" dirent64 *readdir64(DIR *d)
{
	static auto real = reinterpret_cast<dirent64 *(*)(DIR *)>(dlsym(RTLD_NEXT, "readdir64"));
	return listed(real(d));
}
#endif

TEST(churn, a_process_gone_since_readdir_listed_it_is_passed_over_without_a_report)
{
	static tq_mem_proc_info_list_t list;
	if ((victim = fork()) == 0)
		_exit(pause());
	const std::string gone = "/proc/" + std::to_string(victim) + "/";  // others may end too, on a busy machine
	syslib_test::clear_reports();
	EXPECT_EQ(tq_mem_get_proc_info_list(&list), 0);
	EXPECT_EQ(victim, 0) << "never listed";
	for (const std::string &r : reported())
		EXPECT_EQ(r.find(gone), r.npos) << r;
}

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
	syslib_test::clear_reports();
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
	// Only a process that ends between its test and its files is reported,
	// by the record fill or the line reader: rarely.
	const std::vector<std::string> reports = reported();
	for (const std::string &r : reports)
		EXPECT_TRUE(r.starts_with("log 3: Error open /proc/") || r == "log 3: error in readline!\n" ||
			    r.starts_with("err: tq_mem_readline: lseek failed!")) << r;
	EXPECT_LE(reports.size(), size_t(surveys / 20));
	std::printf("[figures] churn surveys=%ld full=%ld churn_records=%ld reports=%zu seconds=%.1f\n", surveys,
		    full, churning, reports.size(), seconds);
}
