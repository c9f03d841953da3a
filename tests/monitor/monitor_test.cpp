// The monitor configuration image and the group status pairs, read from
// /etc inside the private mount namespace.
#include "harness.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

using namespace syslib_test;

TEST(monitor_test, config_image_or_zeros_and_group_pairs_in_order_whatever_the_line_breaks)
{
	REQUIRE_SANDBOX();
	const std::string image(544, 'i'), cut(100, 'i'), u(544, 'u'), none = "none";
	for (auto [file, size, rc, want] : {std::tuple{image, 543u, -1, u}, {cut, 544u, -1, cut + u.substr(100)}, {image, 545u, -1, u},
					    {image, 544u, 0, image}, {none, 544u, 0, std::string(544, '\0')}}) {
		ASSERT_TRUE(file == none ? unlink("/etc/monitor.conf") == 0 : write_file("/etc/monitor.conf", file));
		clear_reports();
		std::string cfg = u;
		EXPECT_EQ((std::pair{tq_monitor_read_config(reinterpret_cast<tq_monitor_cfg_t *>(cfg.data()), size), cfg == want}),
			  (std::pair{rc, true})) << file.size() << " bytes, size " << size;
		EXPECT_EQ(reported(), std::vector<std::string>(file == cut, "err: failed to read file(/etc/monitor.conf), return code: 100"));
	}
	fake_dir dev("/dev");  // with a system log of its own
	int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
	sockaddr_un at{AF_UNIX, "/dev/log"};
	ASSERT_EQ(bind(log, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
	closelog();  // the next message connects to it
	const char *nine = "0 0\n1 1\n2 2\n3 3\n4 4\n5 5\n6 6\n7 7\n8 8\n";
	for (auto [file, index, rc, first, second] : {std::tuple{"5 7\n1 2\n", 0u, 0, 5, 7}, {"5 7\n1 2\n", 1u, 0, 1, 2}, {"5 7\n1 2\n", 2u, -1, 1, 2},
						      {"1\n2 3 4\n", 1u, 0, 3, 4}, {nine, 7u, 0, 7, 7}, {nine, 8u, -1, -9, -9}, {nine, ~0u, -1, -9, -9}}) {
		ASSERT_TRUE(write_file("/etc/monitor_status.conf", file));
		int got[2] = {-9, -9};
		EXPECT_EQ((std::tuple{tq_monitor_get_group_status(index, &got[0], &got[1]), got[0], got[1]}),
			  (std::tuple{rc, first, second})) << file << index;
	}
	// Past the last group: an assertion report, here and on the system log.
	const std::string head = "err: ### Assertion (index < TQ_MAX_GROUP_NUM) failed at ", r = reported().at(0);
	EXPECT_TRUE(reported() == std::vector<std::string>(2, r) && r.starts_with(head) && std::isalpha(r[head.size()]) && r.find("tq_monitor_cfg.cpp:") != r.npos) << r;
	char msg[512];
	int logged = 0;
	for (ssize_t n; (n = recv(log, msg, sizeof msg, 0)) > 0;)
		logged += std::string(msg, static_cast<size_t>(n)).starts_with("<15>") && std::string(msg, static_cast<size_t>(n)).ends_with(r.substr(9));
	close(log);
	EXPECT_EQ(logged, 2);
}
