// The runtime stand-in: formatting with "%m", reports, I/O and lookup.
#include "reports.h"
#include "sandbox.h"
#include "tq_runtime.h"

#include <cstdio>
#include <fcntl.h>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace syslib_test;

namespace {

std::string fmt_runtime(const char *fmt, ...)
{
	char buf[256];
	va_list ap;
	va_start(ap, fmt);
	tq_vsnprintf(buf, sizeof buf, fmt, ap);
	va_end(ap);
	return buf;
}

} // namespace

TEST(runtime_format, mac_conversion_prints_six_bytes)
{
	const unsigned char mac[6] = {0x00, 0x1b, 0xA0, 0xff, 0x02, 0x7e};
	EXPECT_EQ(fmt_runtime("client %m (%d)", mac, 3), "client 00:1b:a0:ff:02:7e (3)");
	EXPECT_EQ(fmt_runtime("%m%m", mac, mac), "00:1b:a0:ff:02:7e00:1b:a0:ff:02:7e");
}

TEST(runtime_format, other_conversions_match_printf)
{
	char want[256];
	// Each row formats the same values through both.
	std::snprintf(want, sizeof want, "%d|%5u|%-4x|%08X|%s|%.2s|%c|%%|%lld|%lu|%.3f|%*d|%-*.*s|",
		      -42, 7u, 0xabu, 0xbeefu, "str", "abcdef", 'z', -5LL, 123456789UL, 3.14159,
		      6, 12, 5, 2, "xyz");
	EXPECT_EQ(fmt_runtime("%d|%5u|%-4x|%08X|%s|%.2s|%c|%%|%lld|%lu|%.3f|%*d|%-*.*s|", -42,
			      7u, 0xabu, 0xbeefu, "str", "abcdef", 'z', -5LL, 123456789UL,
			      3.14159, 6, 12, 5, 2, "xyz"),
		  want);
	EXPECT_EQ(fmt_runtime("hwdog ioctl %x failed", 0x5004), "hwdog ioctl 5004 failed");
}

TEST(runtime_format, snprintf_never_writes_past_size_and_returns_full_length)
{
	char buf[8];
	std::memset(buf, 'X', sizeof buf);
	EXPECT_EQ(tq_snprintf(buf, 5, "netstat -an|grep %d", 8080), 21);
	EXPECT_STREQ(buf, "nets");
	EXPECT_EQ(buf[5], 'X');
	EXPECT_EQ(tq_snprintf(buf, 0, "abc"), 3);
	EXPECT_EQ(buf[0], 'n');
}

TEST(runtime_reports, observer_sees_format_text_channel_level_and_line)
{
	report_capture cap;
	__tq_err(" ", 42, "open device %s failed\n", "/dev/x");
	tq_log(4, "sys filter del ioctl failed");
	auto all = cap.all();
	ASSERT_EQ(all.size(), 2u);
	EXPECT_EQ(all[0].channel, TQRT_ERR);
	EXPECT_EQ(all[0].line, 42);
	EXPECT_EQ(all[0].fmt, "open device %s failed\n");
	EXPECT_EQ(all[0].text, "open device /dev/x failed\n");
	EXPECT_EQ(all[1].channel, TQRT_LOG);
	EXPECT_EQ(all[1].level, 4);
}

TEST(runtime_reports, flash_log_appends_a_line_per_record)
{
	std::string path = tqrt_flash_log_path();
	unlink(path.c_str());
	tq_log_flash(5, "first\n");
	tq_log_flash(5, "second %d", 2);
	FILE *f = std::fopen(path.c_str(), "r");
	ASSERT_NE(f, nullptr);
	char line[256];
	ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
	EXPECT_NE(std::string(line).find("<5> first\n"), std::string::npos) << line;
	ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
	EXPECT_NE(std::string(line).find("<5> second 2\n"), std::string::npos) << line;
	std::fclose(f);
}

TEST(runtime_io, open_read_close_and_failures)
{
	std::string path = scratch_dir() + "/io.txt";
	ASSERT_TRUE(write_file(path, "417\n"));
	int fd = tq_open(path.c_str(), 0);
	ASSERT_GE(fd, 0);
	char buf[16] = {};
	EXPECT_EQ(tq_read(fd, buf, 15), 4);
	EXPECT_STREQ(buf, "417\n");
	EXPECT_EQ(tq_read(fd, buf, 15), 0);
	EXPECT_EQ(tq_close(fd), 0);
	EXPECT_LT(tq_open((scratch_dir() + "/missing").c_str(), 0), 0);
}

TEST(runtime_process, finds_a_process_by_kernel_name_and_by_argv0)
{
	// A child with a known kernel name (under qemu-user this process's own
	// name is the emulator's, so it is no good as the example).
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
		_exit(99);
	}
	int pid = 0;
	bool seen = false;
	for (int i = 0; i < 100 && !seen; ++i) {
		seen = tq_process_exist("sleep", &pid) == 0;
		if (!seen)
			usleep(10000);
	}
	EXPECT_TRUE(seen);
	EXPECT_GT(pid, 0);
	kill(child, SIGKILL);
	waitpid(child, nullptr, 0);

	// The full program name, longer than the kernel keeps, via argv[0].
	EXPECT_EQ(tq_process_exist("frame_runtime_test", &pid), 0);
	EXPECT_EQ(pid, getpid());
	EXPECT_NE(tq_process_exist("no-such-process-name-xyz", &pid), 0);
}

TEST(runtime_sched, reset_to_time_sharing_succeeds)
{
	EXPECT_EQ(tq_sched_setscheduler(0, 0, 0), 0);
}

TEST(runtime_sleep, hook_replaces_the_real_sleep)
{
	struct seen {
		int calls = 0, s = -1, us = -1;
	} got;
	tqrt_set_sleep([](int s, int us, void *ctx) {
		auto *g = static_cast<seen *>(ctx);
		++g->calls;
		g->s = s;
		g->us = us;
	}, &got);
	tq_usleep(0, 100000);
	tq_sleep(3);
	tqrt_set_sleep(nullptr, nullptr);
	EXPECT_EQ(got.calls, 2);
	EXPECT_EQ(got.s, 3);
	EXPECT_EQ(got.us, 0);
}
