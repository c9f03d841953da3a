// Every exported function once, each call wrapped with the checks unit
// asserts miss: the same descriptors before and after (the control device
// aside), no heap block of the library's outside the matchers, and every
// block of theirs freed.
#include "calls.h"
#include "heap_probe.h"
#include "kmod.h"
#include "sandbox.h"

#include <fcntl.h>
#include <fstream>
#include <regex>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace syslib_test;

namespace {

std::set<int> open_fds()
{
	std::set<int> fds;
	for (int fd = 0; fd < 1024; ++fd)
		if (fcntl(fd, F_GETFD) >= 0)
			fds.insert(fd);
	return fds;
}

std::set<std::string> header_functions()
{
	std::ifstream in(SYSLIB_PUBLIC_HEADER);
	std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	std::set<std::string> names;
	std::regex decl("TQ_API int ([a-z_0-9]+)\\(");
	for (std::sregex_iterator it(text.begin(), text.end(), decl), end; it != end; ++it)
		names.insert((*it)[1]);
	return names;
}

class every_call : public kmod_test {
protected:
	void SetUp() override
	{
		init_in_setup = false;
		kmod_test::SetUp();
	}
};

} // namespace

TEST_F(every_call, covers_every_function_of_the_header)
{
	fixed_world world;
	std::set<std::string> covered = {"tq_daemonize"};  // checked below, in a child
	for (const call &c : all_calls(world))
		covered.insert(c.name);
	for (const std::string &name : header_functions())
		EXPECT_TRUE(covered.count(name)) << name << " has no call in the table";
}

TEST_F(every_call, keeps_descriptors_and_takes_no_heap_outside_the_matchers)
{
	REQUIRE_SANDBOX();
	fixed_world world;
	ASSERT_TRUE(world.ok());
	tqrt_set_sleep([](int, int, void *) {}, nullptr);  // the CPU sampler's second
	int checked = 0;
	for (const call &c : all_calls(world)) {
		std::set<int> before = open_fds();
		heap_probe_reset();
		std::string outcome = c.run();
		heap_counts heap = heap_probe_counts();
		std::set<int> after = open_fds();
		for (int fd : after) {
			if (!before.count(fd)) {
				EXPECT_EQ(tqsys_module_device_of(fd), TQSYS_DEV_CONTROL)
					<< c.name << " left descriptor " << fd << " open";
			}
		}
		for (int fd : before) {
			if (!after.count(fd) && std::string(c.name) != "tq_syslib_exit")
				ADD_FAILURE() << c.name << " closed descriptor " << fd;
		}
		if (heap_probe_available()) {
			EXPECT_EQ(heap.taken, heap.given) << c.name << ": a heap block not freed";
			if (c.fam != family::match) {
				EXPECT_EQ(heap.taken, 0) << c.name << " took heap memory";
			}
		}
		++checked;
	}
	tqrt_set_sleep(nullptr, nullptr);
	std::printf("[figures] calls_checked=%d heap_probe=%s\n", checked,
		    heap_probe_available() ? "on" : "off (sanitizer)");
}

TEST(daemonize_call, leaves_only_dev_null_on_0_to_2)
{
	for (int keep : {0, 1}) {
		int pipefd[2];
		ASSERT_EQ(pipe(pipefd), 0);
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0) {
			close(pipefd[0]);
			std::set<int> before = open_fds();
			heap_probe_reset();
			int r = tq_daemonize(1, keep);
			// Here in the detached daemon; the forked parent has exited.
			heap_counts heap = heap_probe_counts();
			std::set<int> after = open_fds();
			char null_link[64] = {};
			ssize_t n = readlink("/proc/self/fd/0", null_link, sizeof null_link - 1);
			(void)n;
			char verdict = (r == 0 && after == before && heap.taken == 0 &&
					(keep || std::string(null_link) == "/dev/null"))
					       ? 'y' : 'n';
			ssize_t w = write(pipefd[1], &verdict, 1);
			(void)w;
			_exit(0);
		}
		close(pipefd[1]);
		char verdict = 0;
		ASSERT_EQ(read(pipefd[0], &verdict, 1), 1) << "the daemon reported nothing";
		close(pipefd[0]);
		waitpid(pid, nullptr, 0);
		EXPECT_EQ(verdict, 'y') << "keep_stdio " << keep;
	}
}

TEST(heap_probe, sees_the_matchers_blocks_and_their_release)
{
	if (!heap_probe_available())
		GTEST_SKIP() << "a sanitizer owns the allocator";
	// Long enough that no stack scratch can hold it: the heap is used.
	std::string text(20000, 'a'), pattern = "*" + std::string(9000, 'a') + "*b*";
	heap_probe_reset();
	EXPECT_EQ(tq_matchingstring(text.c_str(), pattern.c_str(), 1), 0);
	heap_counts heap = heap_probe_counts();
	EXPECT_GT(heap.taken, 0);
	EXPECT_EQ(heap.taken, heap.given);
}
