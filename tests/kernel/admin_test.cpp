// Watchdogs, fake administrator uid, clock and port test.
#include "kmod.h"
#include "sandbox.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using namespace syslib_test;

namespace {

using admin_test = kmod_test;

struct word_row {
	const char *name;
	int (*call)();
	uint32_t cmd;
	uint32_t word;
};

int fake_uid_4242() { return tq_syslib_set_fake_admin_uid(4242); }

const word_row word_rows[] = {
	{"fake uid", fake_uid_4242, 0x7001, 4242},
	{"swdog enable", tq_syslib_swdog_enable, 0x1000, 0},
	{"swdog disable", tq_syslib_swdog_disable, 0x1000, 1},
	{"swdog set", tq_syslib_swdog_set, 0x1000, 2},
};

int open_fds()
{
	int n = 0;
	if (DIR *d = opendir("/proc/self/fd")) {
		while (readdir(d))
			++n;
		closedir(d);
	}
	return n;
}

std::string netstat_output()
{
	std::string out;
	if (FILE *p = popen("netstat -an 2>/dev/null", "r")) {
		char buf[512];
		while (fgets(buf, sizeof buf, p))
			out += buf;
		pclose(p);
	}
	return out;
}

} // namespace

TEST_F(admin_test, word_commands_send_one_word_with_their_number)
{
	for (const word_row &row : word_rows) {
		tqsys_module_clear_requests();
		ASSERT_EQ(row.call(), 0) << row.name;
		tqsys_request r = only_request();
		EXPECT_EQ(r.device, TQSYS_DEV_CONTROL) << row.name;
		EXPECT_EQ(r.cmd, row.cmd) << row.name;
		EXPECT_EQ(r.len, 4u) << row.name;
		EXPECT_EQ(word_at(r.bytes, 0), row.word) << row.name;
	}
	tqsys_status st{};
	ASSERT_EQ(tqsys_module_status(&st), 0);
	EXPECT_EQ(st.admin_uid, 4242u);
	EXPECT_EQ(st.swdog_enabled, 0u) << "enabled, then disabled";
	EXPECT_EQ(st.swdog_sets, 1u);
	EXPECT_EQ(reports.size(), 0u);
}

TEST_F(admin_test, word_commands_fail_only_on_exactly_minus_one)
{
	for (const word_row &row : word_rows) {
		reports.clear();
		inject(row.cmd, -1);
		EXPECT_EQ(row.call(), -1) << row.name;
		report r = reports.only();
		EXPECT_EQ(r.channel, TQRT_ERR);
		EXPECT_EQ(r.fmt, "sys ioctl %d failed");
		EXPECT_EQ(r.text, "sys ioctl " + std::to_string(row.cmd) + " failed");
		for (int rc : {-2, -1000, 1, 0x7fffffff}) {
			reports.clear();
			inject(row.cmd, rc);
			EXPECT_EQ(row.call(), 0) << row.name << " rc " << rc;
			EXPECT_EQ(reports.size(), 0u) << row.name << " rc " << rc;
		}
	}
}

TEST_F(admin_test, guard_stops_the_control_commands_but_not_the_others)
{
	tq_syslib_exit();
	for (const word_row &row : word_rows)
		EXPECT_EQ(row.call(), -1) << row.name;
	auto all = reports.all();
	ASSERT_EQ(all.size(), 4u);
	for (const report &r : all)
		EXPECT_EQ(r.fmt, "syslib not initialized\n");
	EXPECT_TRUE(requests().empty());

	reports.clear();
	EXPECT_EQ(tq_syslib_hwdog_activate(), 0);
	EXPECT_EQ(requests().size(), 1u);
	EXPECT_EQ(reports.size(), 0u);
}

TEST_F(admin_test, hwdog_goes_to_the_board_and_fails_on_any_nonzero_result)
{
	int fds = open_fds();
	ASSERT_EQ(tq_syslib_hwdog_activate(), 0);
	ASSERT_EQ(tq_syslib_hwdog_deactivate(), 0);
	auto all = requests();
	ASSERT_EQ(all.size(), 2u);
	EXPECT_EQ(all[0].cmd, 0x5004u);
	EXPECT_EQ(all[1].cmd, 0x5005u);
	for (const tqsys_request &r : all) {
		EXPECT_EQ(r.device, TQSYS_DEV_BOARD);
		EXPECT_EQ(r.arg, 0u);
	}
	tqsys_status st{};
	ASSERT_EQ(tqsys_module_status(&st), 0);
	EXPECT_EQ(st.hwdog_changes, 2u);

	const struct {
		int (*call)();
		uint32_t cmd;
		const char *text;
	} rows[] = {{tq_syslib_hwdog_activate, 0x5004, "hwdog ioctl 5004 failed"},
		    {tq_syslib_hwdog_deactivate, 0x5005, "hwdog ioctl 5005 failed"}};
	for (const auto &row : rows) {
		for (int rc : {1, -1}) {
			reports.clear();
			inject(row.cmd, rc, 0, nullptr, 0, TQSYS_DEV_BOARD);
			EXPECT_EQ(row.call(), -1) << row.text << " rc " << rc;
			report r = reports.only();
			EXPECT_EQ(r.channel, TQRT_ERR);
			EXPECT_EQ(r.fmt, "hwdog ioctl %x failed");
			EXPECT_EQ(r.text, row.text);
		}
	}
	EXPECT_EQ(open_fds(), fds) << "the board is closed on every path";

	reports.clear();
	tqsys_module_set_absent(TQSYS_DEV_BOARD, 1);
	EXPECT_EQ(tq_syslib_hwdog_deactivate(), -1);
	EXPECT_EQ(reports.only().text, "open device /dev/board0 failed.\n");
}

TEST_F(admin_test, settimeofday_reports_a_refused_time_without_changing_the_clock)
{
	// Each is refused before any clock is touched: microseconds out of
	// range, and a time together with a zone.
	timeval bad{0, 2000000};
	timeval now{};
	gettimeofday(&now, nullptr);
	struct timezone zone{};
	const std::pair<const timeval *, const struct timezone *> calls[] = {{&bad, nullptr}, {&now, &zone}};
	for (const auto &c : calls) {
		reports.clear();
		EXPECT_EQ(tq_syslib_settimeofday(c.first, c.second), -1);
		report r = reports.only();
		EXPECT_EQ(r.channel, TQRT_ERR);
		EXPECT_EQ(r.fmt, "syslib settimeofday failed.\n");
	}
}

namespace {

// A TCP socket listening on an ephemeral loopback port; 0 when none.
struct listener {
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	int port = 0;
	listener()
	{
		sockaddr_in a{};
		a.sin_family = AF_INET;
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t len = sizeof a;
		if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
		    listen(fd, 1) == 0 && getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
			port = ntohs(a.sin_port);
	}
	~listener()
	{
		if (fd >= 0)
			close(fd);
	}
};

class port_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (system("command -v netstat >/dev/null 2>&1") != 0)
			GTEST_SKIP() << "netstat is not installed";
	}
};

} // namespace

TEST_F(port_test, a_listening_port_is_in_use_and_so_are_its_digit_substrings)
{
	listener l;
	ASSERT_GT(l.port, 0);
	EXPECT_EQ(tq_syslib_check_port_valid(l.port), -1);
	// The last digits of the port stand inside its number in the listing.
	int tail = l.port % 1000;
	EXPECT_EQ(tq_syslib_check_port_valid(tail ? tail : l.port % 100 + 1), -1);
}

TEST_F(port_test, a_number_found_nowhere_in_the_listing_is_free)
{
	std::string listing = netstat_output();
	int free_port = 0;
	for (int p : {47193, 52861, 38567, 61729, 43917, 59283, 36491, 50729}) {
		if (listing.find(std::to_string(p)) == std::string::npos) {
			free_port = p;
			break;
		}
	}
	ASSERT_NE(free_port, 0) << "every candidate occurs in netstat's output";
	EXPECT_EQ(tq_syslib_check_port_valid(free_port), 0);
}

TEST_F(port_test, without_netstat_nothing_is_in_use)
{
	listener l;
	ASSERT_GT(l.port, 0);
	std::string dir = scratch_dir() + "/no_netstat";
	ASSERT_EQ(run_shell("mkdir -p " + dir + " && ln -sf \"$(command -v sh)\" " + dir +
			    "/sh && ln -sf \"$(command -v grep)\" " + dir + "/grep"),
		  0);
	const char *old = getenv("PATH");
	std::string saved = old ? old : "";
	setenv("PATH", dir.c_str(), 1);
	int rc = tq_syslib_check_port_valid(l.port);
	setenv("PATH", saved.c_str(), 1);
	EXPECT_EQ(rc, 0);
}
