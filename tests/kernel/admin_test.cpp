// Watchdogs, fake administrator uid, clock and port test.
#include "checks.h"
#include "sandbox.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using namespace syslib_test;

namespace {

using admin_test = kmod_test;

int fake_uid_4242() { return tq_syslib_set_fake_admin_uid(4242); }

const struct {
	const char *name;
	int (*call)();
	uint32_t cmd;
	uint32_t word;
} word_rows[] = {
	{"fake uid", fake_uid_4242, 0x7001, 4242},
	{"swdog enable", tq_syslib_swdog_enable, 0x1000, 0},
	{"swdog disable", tq_syslib_swdog_disable, 0x1000, 1},
	{"swdog set", tq_syslib_swdog_set, 0x1000, 2},
};

} // namespace

TEST_F(admin_test, word_commands_send_one_word_and_fail_only_on_exactly_minus_one)
{
	for (const auto &row : word_rows) {
		tqsys_module_clear_requests();
		ASSERT_EQ(row.call(), 0) << row.name;
		tqsys_request r = only_request();
		EXPECT_EQ(r.device, TQSYS_DEV_CONTROL) << row.name;
		EXPECT_EQ(r.cmd, row.cmd) << row.name;
		EXPECT_EQ(r.len, 4u) << row.name;
		EXPECT_EQ(word_at(r.bytes, 0), row.word) << row.name;

		inject(row.cmd, -1);
		EXPECT_EQ(row.call(), -1) << row.name;
		expect_one_report(reports, TQRT_ERR, 0, "sys ioctl %d failed",
				  "sys ioctl " + std::to_string(row.cmd) + " failed");
		reports.clear();
		for (int rc : {-2, 1}) {
			inject(row.cmd, rc);
			EXPECT_EQ(row.call(), 0) << row.name << " rc " << rc;
		}
		EXPECT_EQ(reports.size(), 0u) << row.name;
	}
}

TEST_F(admin_test, guard_stops_the_control_commands_but_not_the_board)
{
	tq_syslib_exit();
	for (const auto &row : word_rows)
		EXPECT_EQ(row.call(), -1) << row.name;
	expect_guarded(reports, 4);

	reports.clear();
	EXPECT_EQ(tq_syslib_hwdog_activate(), 0);
	EXPECT_EQ(requests().size(), 1u);
	EXPECT_EQ(reports.size(), 0u);
}

TEST_F(admin_test, hwdog_goes_to_the_board_and_fails_on_any_nonzero_result)
{
	const struct {
		int (*call)();
		uint32_t cmd;
		const char *text;
	} rows[] = {{tq_syslib_hwdog_activate, 0x5004, "hwdog ioctl 5004 failed"},
		    {tq_syslib_hwdog_deactivate, 0x5005, "hwdog ioctl 5005 failed"}};
	for (const auto &row : rows) {
		tqsys_module_clear_requests();
		ASSERT_EQ(row.call(), 0);
		tqsys_request req = only_request();
		EXPECT_EQ(req.device, TQSYS_DEV_BOARD);
		EXPECT_EQ(req.cmd, row.cmd);
		EXPECT_EQ(req.arg, 0u);
		for (int rc : {1, -1}) {
			reports.clear();
			inject(row.cmd, rc, 0, nullptr, 0, TQSYS_DEV_BOARD);
			EXPECT_EQ(row.call(), -1) << row.text << " rc " << rc;
			expect_one_report(reports, TQRT_ERR, 0, "hwdog ioctl %x failed", row.text);
		}
	}
	reports.clear();
	tqsys_module_set_absent(TQSYS_DEV_BOARD, 1);
	EXPECT_EQ(tq_syslib_hwdog_deactivate(), -1);
	EXPECT_EQ(reports.only().text, "open device /dev/board0 failed.\n");
}

TEST_F(admin_test, settimeofday_reports_a_refused_time_without_changing_the_clock)
{
	// Both are refused before any clock is touched: microseconds out of
	// range, and a time together with a zone.
	timeval bad{0, 2000000}, now{};
	gettimeofday(&now, nullptr);
	struct timezone zone{};
	EXPECT_EQ(tq_syslib_settimeofday(&bad, nullptr), -1);
	EXPECT_EQ(tq_syslib_settimeofday(&now, &zone), -1);
	auto all = reports.all();
	ASSERT_EQ(all.size(), 2u);
	for (const report &r : all) {
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
	~listener() { close(fd); }
};

} // namespace

TEST(port_test, a_listening_port_and_its_digit_substrings_are_in_use)
{
	if (system("command -v netstat >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "netstat is not installed";
	listener l;
	ASSERT_GT(l.port, 0);
	EXPECT_EQ(tq_syslib_check_port_valid(l.port), -1);
	// The last digits of the port stand inside its number in the listing.
	int tail = l.port % 1000;
	EXPECT_EQ(tq_syslib_check_port_valid(tail ? tail : l.port % 100 + 1), -1);

}

TEST(port_test, without_netstat_nothing_is_in_use)
{
	listener l;
	ASSERT_GT(l.port, 0);
	std::string dir = scratch_dir() + "/no_netstat";
	ASSERT_EQ(run_shell("mkdir -p " + dir + " && ln -sf \"$(command -v sh)\" " + dir +
			    "/sh && ln -sf \"$(command -v grep)\" " + dir + "/grep"),
		  0);
	std::string saved = getenv("PATH") ? getenv("PATH") : "";
	setenv("PATH", dir.c_str(), 1);
	int rc = tq_syslib_check_port_valid(l.port);
	setenv("PATH", saved.c_str(), 1);
	EXPECT_EQ(rc, 0);
}
