// The module stand-in as a daemon developer meets it: whose state it is,
// what signals, crashes and forks leave of it, and every way in.
#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>

using namespace syslib_test;
using std::string;

namespace {

string problem()
{
	const char *p = tqsys_module_problem();
	return p ? p : "";
}

// The state file of a directory in use: its only "state." entry.
string state_file(const string &dir)
{
	for (const auto &e : std::filesystem::directory_iterator(dir))
		if (e.path().filename().string().starts_with("state."))
			return e.path().string();
	return "";
}

// Filters 0 to 63 (keys 7 times their ids) added, then deleted from the
// last, until stopped: between two commands the table is always whole.
[[noreturn]] void add_filters()
{
	for (;;) {
		for (uint32_t id = 0; id < 64; ++id) {
			tq_sys_filter_t f{id, id * 7, {}};
			std::memset(f.rule, int(id), sizeof f.rule);
			tq_syslib_filter_add(&f);
		}
		for (uint32_t id = 64; id-- > 0;)
			tq_syslib_filter_del(id);
	}
}

// The table is whole: filters 0 to count-1, each as it was added.
bool table_whole()
{
	tq_sys_filter_t rows[TQSYS_FILTER_MAX];
	uint32_t count = TQSYS_FILTER_MAX;
	if (tq_syslib_filter_get_list(rows, &count) != 0)
		return false;
	for (uint32_t i = 0; i < count; ++i)
		if (rows[i].id != i || rows[i].key != i * 7 || rows[i].rule[55] != uint8_t(i))
			return false;
	return true;
}

} // namespace

TEST(module_trust, a_state_others_could_reach_is_refused_and_nothing_is_written_through_it)
{
	REQUIRE_SANDBOX();  // as root, to give files away
	const string base = scratch_dir() + "/trust/", victim = base + "victim";
	mkdir(base.c_str(), 0700);
	ASSERT_EQ(tqsys_module_use_state_dir((base + "own").c_str()), 0);
	const string file = state_file(base + "own"), name = file.substr(file.rfind('/'));
	// The directory 0700 and the file 0600, named for this byte order and word size.
	struct stat d, f;
	ASSERT_TRUE(stat((base + "own").c_str(), &d) == 0 && stat(file.c_str(), &f) == 0);
	EXPECT_EQ((std::tuple{d.st_mode & 0777, f.st_mode & 0777}), (std::tuple{0700u, 0600u}));
	EXPECT_EQ(name, string("/state.") + (htonl(1) == 1 ? "be" : "le") + std::to_string(sizeof(void *) * 8));
	// Another user can neither open it nor lock it.
	pid_t other = fork();
	if (other == 0)
		_exit(setuid(4321) == 0 && open(file.c_str(), O_RDONLY) < 0 && errno == EACCES ? 0 : 1);
	int status = -1;
	EXPECT_EQ((waitpid(other, &status, 0), status), 0);

	ASSERT_TRUE(write_file(victim, "keep"));
	const std::function<void(const string &)> made[] = {
		[](const string &s) { mkdir(s.c_str(), 0700), chown(s.c_str(), 4321, 4321); },
		[](const string &s) { mkdir(s.c_str(), 0700), chmod(s.c_str(), 0770); },
		[&](const string &s) { symlink((base + "own").c_str(), s.c_str()); },
		[&](const string &s) { mkdir(s.c_str(), 0700), symlink(victim.c_str(), (s + name).c_str()); },
		[&](const string &s) { mkdir(s.c_str(), 0700), write_file(s + name, ""), chmod((s + name).c_str(), 0644); },
		[&](const string &s) { mkdir(s.c_str(), 0700), write_file(s + name, "x"), chmod((s + name).c_str(), 0600); },
	};
	const char *why[] = {"belongs to uid 4321", "mode 770", "a symbolic link", "a symbolic link", "mode 644",
			     "another version or size"};
	for (int i = 0; i < 6; ++i) {
		const string dir = base + std::to_string(i);
		made[i](dir);
		EXPECT_EQ(tqsys_module_use_state_dir(dir.c_str()), -1) << why[i];
		EXPECT_NE(problem().find(why[i]), string::npos) << problem();
		EXPECT_EQ((std::pair{open("/dev/tq_sys", O_RDWR), errno != 0}), (std::pair{-1, true}));
	}
	EXPECT_EQ(read_file(victim), "keep");
}

using module_test = kmod_test;

TEST_F(module_test, a_command_waits_for_the_lock_through_signals_and_never_runs_without_it)
{
	const string file = state_file(tqsys_module_state_dir());
	int held[2];
	ASSERT_EQ(pipe(held), 0);
	pid_t holder = fork();
	if (holder == 0) {  // another process of the user, in a command for 200 ms
		int fd = open(file.c_str(), O_RDWR);
		flock(fd, LOCK_EX), write(held[1], "x", 1), usleep(200000);
		_exit(0);
	}
	char c;
	ASSERT_EQ(read(held[0], &c, 1), 1);
	struct sigaction quiet{}, old;
	quiet.sa_handler = [](int) {};  // and no SA_RESTART
	sigaction(SIGALRM, &quiet, &old);
	itimerval every{{0, 20000}, {0, 20000}}, off{};
	setitimer(ITIMER_REAL, &every, nullptr);
	auto start = std::chrono::steady_clock::now();
	tq_sys_filter_t f{1, 7, {}};
	EXPECT_EQ(tq_syslib_filter_add(&f), 0);
	auto waited = std::chrono::steady_clock::now() - start;
	setitimer(ITIMER_REAL, &off, nullptr);
	sigaction(SIGALRM, &old, nullptr);
	EXPECT_GT(waited, std::chrono::milliseconds(150));
	waitpid(holder, nullptr, 0);
	close(held[0]), close(held[1]);
}

TEST_F(module_test, a_process_killed_in_a_command_leaves_whole_tables_others_keep_using)
{
	for (int round = 0; round < 20; ++round) {
		ASSERT_EQ(tqsys_module_reset(), 0);
		pid_t adder = fork();
		if (adder == 0)
			add_filters();
		usleep(300 + round * 397 % 3000);
		kill(adder, SIGKILL);
		waitpid(adder, nullptr, 0);
		ASSERT_TRUE(table_whole()) << round;
	}
}

TEST_F(module_test, forks_amid_other_threads_commands_dup_and_every_entry_point_behave_as_with_a_device)
{
	std::atomic<bool> stop{false};
	std::thread busy([&] {
		for (uint32_t n; !stop;)
			tq_syslib_filter_get_cnt(&n);
	});
	for (int i = 0; i < 20; ++i) {
		pid_t child = fork();
		if (child == 0)
			alarm(5), _exit(tq_syslib_filter_del(12345) == -1 && table_whole() ? 0 : 1);
		int status = -1;
		EXPECT_EQ((waitpid(child, &status, 0), status), 0) << "fork " << i;
	}
	stop = true;
	busy.join();

	// Every name an open, ioctl or fcntl can take; a device answers 0x9002.
	for (const char *name : {"open", "open64", "__open_2", "__open64_2", "openat", "openat64", "__openat_2",
				 "__openat64_2"}) {
		void *entry = dlsym(RTLD_DEFAULT, name);
		int fd = !entry ? -1 : std::strstr(name, "openat")
			? reinterpret_cast<int (*)(int, const char *, int)>(entry)(AT_FDCWD, "/dev/tq_sys", O_RDWR)
			: reinterpret_cast<int (*)(const char *, int)>(entry)("/dev/tq_sys", O_RDWR);
		EXPECT_EQ(tqsys_module_device_of(fd), TQSYS_DEV_CONTROL) << name;
		close(fd);
	}
	const int dev = open("/dev/tq_sys", O_RDWR), copies[] = {dup(dev), fcntl(dev, F_DUPFD_CLOEXEC, 50),
								    dup2(dev, 60)};
	for (const char *name : {"ioctl", "__ioctl_time64", "fcntl", "fcntl64", "__fcntl_time64"}) {
		void *entry = dlsym(RTLD_DEFAULT, name);
		EXPECT_EQ(!entry ? 0 : std::strstr(name, "ioctl")
			? reinterpret_cast<int (*)(int, unsigned long, void *)>(entry)(dev, 0x9002, 0)
			: reinterpret_cast<int (*)(int, int, long)>(entry)(dev, F_GETFL, 0) - O_RDWR, 0) << name;
	}
	for (int fd : copies)
		EXPECT_EQ((std::pair{tqsys_module_device_of(fd), ioctl(fd, 0x9002, nullptr)}),
			  (std::pair{int{TQSYS_DEV_CONTROL}, 0})) << fd;
	// Nothing reads, writes or maps the state through a device.
	char bytes[16] = {};
	EXPECT_EQ((std::tuple{read(dev, bytes, 16), pwrite(dev, bytes, 16, 0),
			      mmap(nullptr, 4096, PROT_READ, MAP_SHARED, dev, 0)}),
		  (std::tuple{-1, -1, MAP_FAILED}));
	for (int fd : copies)
		close(fd);
	// A number that was a device and is a pipe now is a pipe.
	close(dev);
	int p[2], queued = -1;
	ASSERT_TRUE(pipe(p) == 0 && (p[0] == dev || p[1] == dev) && write(p[1], "ab", 2) == 2);
	EXPECT_EQ((std::pair{ioctl(p[0], FIONREAD, &queued), queued}), (std::pair{0, 2}));
	close(p[0]), close(p[1]);
	EXPECT_TRUE(table_whole());
}

TEST_F(module_test, an_injected_reply_stays_within_the_commands_request)
{
	unsigned char area[TQSYS_REQUEST_MAX];
	std::memset(area, 0xee, sizeof area);
	const int dev = open("/dev/tq_sys", O_RDWR);
	for (uint32_t cmd : {0x3001u, 0x9002u}) {
		inject(cmd, 0, 0, std::vector<unsigned char>(TQSYS_REQUEST_MAX, 0x11).data(), TQSYS_REQUEST_MAX);
		EXPECT_EQ(ioctl(dev, cmd, area), 0);
	}
	close(dev);
	// 68 bytes for the list request, none for a command without an argument
	EXPECT_EQ(std::count(area, area + sizeof area, 0x11), 68);
	EXPECT_EQ(area[68], 0xee);
	// A state file cut short by hand fails the commands, not the process.
	const string file = state_file(tqsys_module_state_dir());
	ASSERT_EQ(truncate(file.c_str(), 64), 0);
	EXPECT_EQ(tq_syslib_filter_del(1), -1);
	EXPECT_NE(problem().find("has shrunk"), string::npos) << problem();
	std::remove(file.c_str());
}

TEST_F(module_test, records_seeded_from_the_shell_reach_the_daemons)
{
	ASSERT_TRUE(tqsys_module_set_kernel_trace("boot done\n") == 0 && tqsys_module_set_reboot_info(3, "cut") == 0);
	tqsys_kernel_trace trace{};
	tqsys_reboot_info reboot{};
	EXPECT_EQ((std::tuple{tq_syslib_get_kernel_trace(&trace), string(trace.text), tq_syslib_get_reboot_info(&reboot),
			      reboot.reason, reboot.count, reboot.magic_done, string(reboot.note)}),
		  (std::tuple{0, "boot done\n", 0, 3u, 1u, 1u, "cut"}));
}
