#include "harness.h"

namespace syslib_test {
namespace {

// Reports live in shared memory, so that a forked child's reach the test.
struct shared_reports {
	std::atomic<int> count;
	struct {
		tqrt_channel channel;
		int level;
		char text[320];
	} at[128];
};
shared_reports *shared;

} // namespace

void observe(const tqrt_record *rec, void *)
{
	if (int i = shared->count.fetch_add(1); i < static_cast<int>(std::size(shared->at))) {
		shared->at[i].channel = rec->channel, shared->at[i].level = rec->level;
		std::snprintf(shared->at[i].text, sizeof shared->at[i].text, "%s", rec->text ? rec->text : "");
	}
	errno = EDOM;  // as a device's runtime may: the library keeps the failing call's
}

namespace {

class descriptor_listener : public testing::EmptyTestEventListener {
	std::vector<std::string> before_;
	void OnTestStart(const testing::TestInfo &) override { before_ = open_descriptors(); }
	void OnTestEnd(const testing::TestInfo &) override
	{
		for (const std::string &fd : open_descriptors())
			if (std::find(before_.begin(), before_.end(), fd) == before_.end())
				ADD_FAILURE() << "the test left descriptor " << fd << " open";
	}
};

} // namespace

std::vector<std::string> reported()
{
	std::vector<std::string> all;
	static const char *names[] = {"err", "log ", "flash "};
	for (int i = 0; i < std::min<int>(shared->count, std::size(shared->at)); ++i)
		all.push_back(names[shared->at[i].channel] +
			      (shared->at[i].channel == TQRT_ERR ? "" : std::to_string(shared->at[i].level)) + ": " +
			      shared->at[i].text);
	return all;
}

void clear_reports() { shared->count = 0; }

std::vector<std::string> open_descriptors()
{
	std::vector<std::string> fds;
	int saved = errno;
	for (int fd = 0; fd < 1024; ++fd) {
		if (fcntl(fd, F_GETFD) < 0)
			continue;
		char link[64], target[PATH_MAX] = "?";
		std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
		ssize_t n = readlink(link, target, sizeof target - 1);
		target[n > 0 ? n : 1] = '\0';
		const std::string t = target;
		if (t.find("socket:") != 0 && t.find("/tq_sys") == t.npos && t.find("/kstate") == t.npos)
			fds.push_back(std::to_string(fd) + " " + t);
	}
	errno = saved;
	return fds;
}

} // namespace syslib_test

int main(int argc, char **argv)
{
	using namespace syslib_test;
	bool private_ns = enter_sandbox();
	shared = static_cast<shared_reports *>(
		mmap(nullptr, sizeof(shared_reports), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
	if (shared == MAP_FAILED)
		return 2;
	setenv("TQRT_FLASH_LOG", (scratch_dir() + "/flash.log").c_str(), 1);
	tqrt_set_quiet(1);
	tqrt_set_observer(observe, nullptr);
	std::fprintf(stderr, "[syslib tests] %s\n",
		     private_ns ? "private mount namespace" : "no sandbox: fixed-path tests skip");
	testing::InitGoogleTest(&argc, argv);
	testing::UnitTest::GetInstance()->listeners().Append(new descriptor_listener);
	// A library call that ends the test process itself (an exit meant for
	// a forked parent) must not pass for a finished run.
	static pid_t main_pid = getpid();
	static bool finished = false;
	std::atexit([] {
		if (getpid() == main_pid && !finished)
			_exit(3);
	});
	int rc = RUN_ALL_TESTS();
	finished = true;
	return rc;
}
