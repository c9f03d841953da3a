#include "leak_check.h"

#include "heap_probe.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace syslib_test {
namespace {

std::vector<int> open_fds()
{
	struct rlimit rl;
	int top = 1024;
	if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 4096)
		top = static_cast<int>(rl.rlim_cur);
	std::vector<int> fds;
	int saved = errno;
	for (int fd = 0; fd < top; ++fd)
		if (fcntl(fd, F_GETFD) >= 0)
			fds.push_back(fd);
	errno = saved;
	return fds;
}

std::string target_of(int fd)
{
	char link[64], target[PATH_MAX];
	std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, target, sizeof target - 1);
	if (n < 0)
		return "?";
	target[n] = '\0';
	return target;
}

// Descriptors that may outlive a test: the control device (and the
// module stand-in's own view of its state), and the runtime's syslog
// socket, which syslog(3) keeps open on purpose.
bool may_stay(int fd)
{
	struct stat sb;
	if (fstat(fd, &sb) == 0 && S_ISSOCK(sb.st_mode))
		return true;
	std::string t = target_of(fd);
	return t.size() >= 7 && t.compare(t.size() - 7, 7, "/tq_sys") == 0;
}

class leak_listener : public testing::EmptyTestEventListener {
public:
	explicit leak_listener(bool heap_allowed) : heap_allowed_(heap_allowed) {}

	void OnTestStart(const testing::TestInfo &) override
	{
		before_ = open_fds();
		heap_probe_reset();
	}

	void OnTestEnd(const testing::TestInfo &info) override
	{
		std::string name = std::string(info.test_suite_name()) + "." + info.name();
		for (int fd : open_fds()) {
			bool known = false;
			for (int b : before_)
				known |= b == fd;
			if (!known && !may_stay(fd))
				fail(name, "left descriptor " + std::to_string(fd) + " open (" +
						   target_of(fd) + ")");
		}
		heap_counts h = heap_probe_counts();
		if (h.taken != h.given)
			fail(name, "library heap blocks: " + std::to_string(h.taken) + " taken, " +
					   std::to_string(h.given) + " freed");
		else if (h.taken && !heap_allowed_)
			fail(name, "the library took " + std::to_string(h.taken) +
					   " heap blocks outside the wildcard matchers");
	}

	static int failures;

private:
	void fail(const std::string &test, const std::string &what)
	{
		++failures;
		std::fprintf(stderr, "[ LEAK     ] %s: %s\n", test.c_str(), what.c_str());
	}

	bool heap_allowed_;
	std::vector<int> before_;
};

int leak_listener::failures = 0;

} // namespace

void install_leak_check()
{
	if (std::getenv("SYSLIB_TEST_NO_LEAK_CHECK"))
		return;
	// Only programs that exercise the wildcard matchers may see library
	// heap blocks at all (and must see each one freed).
	const char *prog = program_invocation_short_name;
	bool heap_allowed = std::strstr(prog, "match") || std::strstr(prog, "reliab") ||
			    std::strstr(prog, "tool");
	testing::UnitTest::GetInstance()->listeners().Append(new leak_listener(heap_allowed));
}

int leak_check_failures() { return leak_listener::failures; }

} // namespace syslib_test
