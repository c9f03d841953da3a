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
	// Wrong sizes and short files fail, the latter with a report; no file ("") is all zeros.
	const std::string img(544, 'i'), cut(100, 'i'), u(544, 'u'), conf = "/etc/monitor.conf";
	for (auto [file, size, rc, want] :
	     {std::tuple{img, 543u, -1, u}, {img, 545u, -1, u}, {img, 544u, 0, img},
	      {cut, 544u, -1, cut + u.substr(100)}, {"", 544u, 0, std::string(544, 0)}}) {
		ASSERT_TRUE(file.empty() ? unlink(conf.c_str()) == 0 : write_file(conf, file));
		std::string cfg = u;
		int got = tq_monitor_read_config(reinterpret_cast<tq_monitor_cfg_t *>(cfg.data()), size);
		EXPECT_EQ((std::pair{got, cfg == want}), (std::pair{rc, true})) << size << " " << file.size();
	}
	EXPECT_EQ(reported(), std::vector{"err: failed to read file(" + conf + "), return code: 100"});
	fake_dir dev("/dev");  // with a system log of its own
	int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
	sockaddr_un at{AF_UNIX, "/dev/log"};
	ASSERT_EQ(bind(log, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
	closelog();  // the next message connects to it
	const char *two = "5 7\n1 2\n", *nine = "0 0\n1 1\n2 2\n3 3\n4 4\n5 5\n6 6\n7 7\n8 8\n";
	for (auto [file, index, rc, first, second] :
	     {std::tuple{two, 0u, 0, 5, 7}, {two, 2u, -1, 1, 2}, {"1\n2 3 4\n", 1u, 0, 3, 4},
	      {nine, 7u, 0, 7, 7}, {nine, 8u, -1, -9, -9}}) {
		ASSERT_TRUE(write_file("/etc/monitor_status.conf", file));
		int got[2] = {-9, -9};
		EXPECT_EQ((std::tuple{tq_monitor_get_group_status(index, &got[0], &got[1]), got[0], got[1]}),
			  (std::tuple{rc, first, second})) << file << index;
	}
	// Past the last group: an assertion report (after the one above), here
	// and on the system log, naming the source file alone, with its line.
	const std::string head = "err: ### Assertion (index < TQ_MAX_GROUP_NUM) failed at tq_monitor_cfg.cpp:";
	const std::string r = reported().at(1);
	EXPECT_TRUE(r.starts_with(head) && std::atoi(&r[head.size()]) > 0 && reported().size() == 2) << r;
	std::string logged(512, '\0');
	logged.resize(std::max<ssize_t>(recv(log, logged.data(), logged.size(), 0), 0));
	close(log);
	EXPECT_TRUE(logged.starts_with("<15>") && logged.ends_with(r.substr(9))) << logged;
}
