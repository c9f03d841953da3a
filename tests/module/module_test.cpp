// The module stand-in as a daemon developer meets it: whose state it is,
// what full disks, signal handlers, stopped, killed and forking processes
// and a removed state leave of it, and every way in.
#include "harness.h"

#include <sys/ioctl.h>

using namespace syslib_test;
using std::string;

namespace {

string problem() { return tqsys_module_problem() ? tqsys_module_problem() : ""; }

// Named for the byte order and word size of the processes that use it.
string state_file(const string &dir)
{
	return dir + "/state." + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? "be" : "le") + std::to_string(sizeof(void *) * 8);
}

// Filters 0 to 63 (keys 7 times their ids) added, then deleted from the
// last: between two commands the table is always whole.
bool cycle_filters()
{
	bool ok = true;
	for (uint32_t id = 0; id < 128; ++id) {
		tq_sys_filter_t f{id % 64, id % 64 * 7, {}};
		std::memset(f.rule, int(id), sizeof f.rule);
		ok &= (id < 64 ? tq_syslib_filter_add(&f) : tq_syslib_filter_del(127 - id)) == 0;
	}
	return ok;
}

// The table is whole: filters 0 to count-1, each as it was added.
bool table_whole()
{
	tq_sys_filter_t rows[TQSYS_FILTER_MAX];
	uint32_t count = TQSYS_FILTER_MAX;
	bool ok = tq_syslib_filter_get_list(rows, &count) == 0;
	for (uint32_t i = 0; i < count; ++i)
		ok &= rows[i].id == i && rows[i].key == i * 7 && rows[i].rule[55] == uint8_t(i);
	return ok;
}

double seconds_of(const std::function<void()> &f)
{
	const auto start = std::chrono::steady_clock::now();
	return f(), std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(module_trust, states_others_could_reach_and_odd_files_are_refused_and_the_default_is_private)
{
	REQUIRE_SANDBOX();  // as root, to give files away
	alarm(30);          // an odd file that hangs the stand-in fails the test
	const string base = scratch_dir() + "/trust/", victim = base + "victim", uid = std::to_string(geteuid());
	mkdir(base.c_str(), 0700);
	ASSERT_EQ(tqsys_module_use_state_dir((base + "own").c_str()), 0);
	const string file = state_file(base + "own"), name = file.substr(file.rfind('/'));
	// The directory 0700 and the file 0600, which another user cannot open.
	pid_t other = fork();
	if (other == 0)
		_exit(setuid(4321) == 0 && open(file.c_str(), O_RDONLY) < 0 && errno == EACCES ? 0 : 1);
	struct stat d, f;
	int status = -1;
	ASSERT_TRUE(stat((base + "own").c_str(), &d) == 0 && stat(file.c_str(), &f) == 0);
	EXPECT_EQ((std::tuple{d.st_mode & 0777, f.st_mode & 0777, (waitpid(other, &status, 0), status)}),
		  (std::tuple{0700u, 0600u, 0}));

	ASSERT_TRUE(write_file(victim, "keep"));
	auto made = [](const string &s, int mode = 0700) { return mkdir(s.c_str(), 0700) | chmod(s.c_str(), mode); };
	const std::pair<std::function<void(const string &)>, string> rows[] = {
		{[&](const string &s) { symlink((base + "own").c_str(), s.c_str()), lchown(s.c_str(), 4321, 4321); },
		 "belongs to uid 4321, not to uid " + uid + ": set TQSYS_STATE_DIR"},
		{[&](const string &s) { made(s, 0770); }, "mode 770"},
		{[&](const string &s) { symlink((base + "own").c_str(), s.c_str()); }, "a symbolic link"},
		{[&](const string &s) { made(s), symlink(victim.c_str(), (s + name).c_str()); }, "a symbolic link"},
		{[&](const string &s) { made(s), write_file(s + name, ""), chmod((s + name).c_str(), 0644); }, "mode 644"},
		{[&](const string &s) { made(s), write_file(s + name, "x"), chmod((s + name).c_str(), 0600); },
		 "another version or size"},
		{[&](const string &s) { made(s), mkfifo((s + name).c_str(), 0600); }, name + " is not a regular file"},
		{[&](const string &s) { made(s), mkfifo((s + "/tq_sys").c_str(), 0600); }, "tq_sys is not an empty regular"},
		{[&](const string &s) { made(s), write_file(s + "/board0", "x"); }, "board0 is not an empty regular file"},
		{[&](const string &s) { made(s), write_file(s + "/notes", ""); }, "holds other files (notes)"},
		{[&](const string &) {}, "relative path"},
	};
	for (size_t i = 0; i < std::size(rows); ++i) {
		const string dir = i + 1 == std::size(rows) ? "rel" : base + std::to_string(i);
		rows[i].first(dir);
		EXPECT_EQ((std::tuple{tqsys_module_use_state_dir(dir.c_str()), problem().find(rows[i].second) != string::npos,
				      open("/dev/tq_sys", O_RDWR)}), (std::tuple{-1, true, -1})) << problem();
	}
	EXPECT_EQ(read_file(victim), "keep");

	// $XDG_RUNTIME_DIR/tqsys, else /dev/shm/tqsys-UID, refused when another user took it first.
	unsetenv("TQSYS_STATE_DIR");
	setenv("XDG_RUNTIME_DIR", (base + "run").c_str(), 1);
	made(base + "run");
	EXPECT_EQ((std::pair{tqsys_module_use_state_dir(nullptr), string(tqsys_module_state_dir())}),
		  (std::pair{0, base + "run/tqsys"}));
	unsetenv("XDG_RUNTIME_DIR");
	made("/dev/shm/tqsys-" + uid), chown(("/dev/shm/tqsys-" + uid).c_str(), 4321, 0);
	EXPECT_EQ((std::tuple{tqsys_module_use_state_dir(nullptr), string(tqsys_module_state_dir()),
			      problem().find("belongs to uid 4321, not to uid " + uid + ": set TQSYS_STATE_DIR") != string::npos}),
		  (std::tuple{-1, "/dev/shm/tqsys-" + uid, true}));
	alarm(0);
}

TEST(module_space, a_full_file_system_fails_the_making_never_a_later_command)
{
	REQUIRE_SANDBOX();  // to mount a small file system
	const string full = scratch_dir() + "/full", dir = full + "/state";
	ASSERT_EQ(tqsys_module_use_state_dir((scratch_dir() + "/sized").c_str()), 0);
	const long size = long(std::filesystem::file_size(state_file(scratch_dir() + "/sized")));
	mkdir(full.c_str(), 0700);
	for (long room : {size / 2, size + 65536}) {
		ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, ("size=" + std::to_string(room)).c_str()), 0);
		if (room < size) {  // the cause named, and nothing but the two nodes left
			EXPECT_EQ((std::tuple{tqsys_module_use_state_dir(dir.c_str()), errno,
					      problem().find(std::strerror(ENOSPC)) != string::npos,
					      std::distance(std::filesystem::directory_iterator(dir), {})}),
				  (std::tuple{-1, ENOSPC, true, 2L}));
		} else {  // made, then the file system filled up: every slot is written
			ASSERT_EQ(tqsys_module_use_state_dir(dir.c_str()), 0);
			write_file(full + "/filler", string(size_t(size), 'x'));
			for (int i = 0; i < 40; ++i)
				EXPECT_EQ(tqsys_module_set_kernel_trace("full\n"), 0);
		}
		umount2(full.c_str(), MNT_DETACH);
	}
}

using module_test = kmod_test;

TEST_F(module_test, a_signal_handlers_command_inside_a_command_completes_as_if_run_after_it)
{
	static std::atomic<int> ran{0}, failed{0};
	struct sigaction act{}, old;
	act.sa_handler = [](int) {
		tq_sys_filter_t f{900, 900, {}};
		uint32_t n = 0;
		failed += tq_syslib_filter_add(&f) != 0 || tq_syslib_filter_get_cnt(&n) != 0 || tq_syslib_filter_del(900) != 0;
		++ran;
	};
	sigaction(SIGPROF, &act, &old);
	itimerval every{{0, 300}, {0, 300}}, off{};
	setitimer(ITIMER_PROF, &every, nullptr);
	alarm(60);  // a handler that waits for the command it interrupted fails the test
	for (int round = 0; round < 10 || ran < 50; ++round)
		EXPECT_TRUE(cycle_filters()) << round;
	alarm(0);
	setitimer(ITIMER_PROF, &off, nullptr);
	sigaction(SIGPROF, &old, nullptr);
	EXPECT_EQ((std::pair{failed.load(), table_whole()}), (std::pair{0, true}));
}

TEST_F(module_test, a_stopped_or_killed_process_holds_nobody_up_and_leaves_whole_tables)
{
	alarm(60);  // a command that waits for the stopped process fails the test
	for (int round = 0; round < 20; ++round) {
		pid_t adder = fork();
		if (adder == 0)
			for (;;)
				cycle_filters();
		usleep(300 + round * 397 % 3000);
		kill(adder, SIGSTOP), waitpid(adder, nullptr, WUNTRACED);
		tq_sys_filter_t mark{5000, 5000, {}};
		EXPECT_LT(seconds_of([&] { EXPECT_EQ(tq_syslib_filter_add(&mark), 0); }), 0.5) << round;
		kill(adder, SIGCONT), usleep(5000);  // it finishes its command on the new tables, never the old
		EXPECT_EQ((std::pair{tq_syslib_filter_get(&mark), tq_syslib_filter_del(5000)}), (std::pair{0, 0})) << round;
		ASSERT_TRUE((kill(adder, SIGKILL), waitpid(adder, nullptr, 0), table_whole())) << round;
	}
	// Every slot held, as by many stopped processes: a descriptor gives up
	// after a second, one with O_NONBLOCK at once.
	pid_t holder = fork();
	if (holder == 0) {
		struct flock all{};
		all.l_type = F_WRLCK, all.l_len = 64;
		// Stays stopped, also when a group's orphaning sends SIGHUP and SIGCONT.
		signal(SIGHUP, SIG_IGN);
		while (fcntl(open(state_file(tqsys_module_state_dir()).c_str(), O_RDWR), F_SETLK, &all) == 0)
			raise(SIGSTOP);
		_exit(1);
	}
	int status = -1;
	ASSERT_EQ((waitpid(holder, &status, WUNTRACED), WIFSTOPPED(status)), true);
	for (double least : {0.9, 0.0}) {
		int rc = 0, fd = open("/dev/tq_sys", least ? O_RDWR : O_RDWR | O_NONBLOCK);
		const double waited = seconds_of([&] { rc = ioctl(fd, 0x9002, nullptr); });
		EXPECT_EQ((std::tuple{rc, errno, waited >= least && waited < least + 0.5, close(fd)}),
			  (std::tuple{-1, EAGAIN, true, 0})) << waited;
	}
	kill(holder, SIGKILL), waitpid(holder, nullptr, 0), alarm(0);
}

TEST_F(module_test, a_state_removed_while_daemons_run_is_made_anew_for_every_process)
{
	std::filesystem::remove_all(tqsys_module_state_dir());
	tq_sys_filter_t f{1, 7, {}}, g{2, 14, {}};
	pid_t other = fork();  // another daemon that opened the device before, as this one did
	if (other == 0)
		_exit(tq_syslib_filter_add(&g) == 0 ? 0 : 1);
	int status = -1;
	uint32_t n = 0;
	EXPECT_EQ((std::tuple{(waitpid(other, &status, 0), status), tq_syslib_filter_add(&f), tq_syslib_filter_get_cnt(&n),
			      n}), (std::tuple{0, 0, 0, 2u}));
}

TEST_F(module_test, forks_amid_other_threads_commands_dup_and_every_entry_point_behave_as_with_a_device)
{
	std::atomic<bool> stop{false};
	std::thread busy([&] { for (uint32_t n; !stop;) tq_syslib_filter_get_cnt(&n); });
	for (int i = 0, status = -1; i < 20; ++i) {
		pid_t child = fork();
		if (child == 0)
			alarm(5), _exit(tq_syslib_filter_del(12345) == -1 && table_whole() ? 0 : 1);
		EXPECT_EQ((waitpid(child, &status, 0), status), 0) << "fork " << i;
	}
	stop = true, busy.join();

	// Every name an open, ioctl or fcntl can take; a device answers 0x9002.
	for (const char *name : {"open", "open64", "__open_2", "__open64_2", "openat", "openat64", "__openat_2",
				 "__openat64_2"}) {
		void *entry = dlsym(RTLD_DEFAULT, name);
		int fd = !entry ? -1 : std::strstr(name, "openat")
			? reinterpret_cast<int (*)(int, const char *, int)>(entry)(AT_FDCWD, "/dev/tq_sys", O_RDWR)
			: reinterpret_cast<int (*)(const char *, int)>(entry)("/dev/tq_sys", O_RDWR);
		EXPECT_EQ((std::pair{tqsys_module_device_of(fd), close(fd)}), (std::pair{int{TQSYS_DEV_CONTROL}, 0})) << name;
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
		EXPECT_EQ((std::tuple{tqsys_module_device_of(fd), ioctl(fd, 0x9002, nullptr), close(fd)}),
			  (std::tuple{int{TQSYS_DEV_CONTROL}, 0, 0})) << fd;
	// Nothing reads, writes or maps the state through a device; a number that was a
	// device and is a pipe now is a pipe.
	char bytes[16] = {};
	EXPECT_EQ((std::tuple{read(dev, bytes, 16), pwrite(dev, bytes, 16, 0),
			      mmap(nullptr, 4096, PROT_READ, MAP_SHARED, dev, 0), close(dev)}),
		  (std::tuple{-1, -1, MAP_FAILED, 0}));
	int p[2], queued = -1;
	ASSERT_TRUE(pipe(p) == 0 && (p[0] == dev || p[1] == dev) && write(p[1], "ab", 2) == 2);
	EXPECT_EQ((std::tuple{ioctl(p[0], FIONREAD, &queued), queued, table_whole()}), (std::tuple{0, 2, true}));
	close(p[0]), close(p[1]);
}

TEST_F(module_test, injected_replies_stay_within_the_request_and_seeded_records_reach_the_daemons)
{
	std::vector<unsigned char> area(TQSYS_REQUEST_MAX, 0xee), reply(TQSYS_REQUEST_MAX, 0x11);
	const int dev = open("/dev/tq_sys", O_RDWR);
	for (uint32_t cmd : {0x3001u, 0x9002u}) {
		inject(cmd, 0, 0, reply.data(), TQSYS_REQUEST_MAX);
		EXPECT_EQ(ioctl(dev, cmd, area.data()), 0);
	}
	close(dev);
	// 68 bytes for the list request, none for a command without an argument
	EXPECT_EQ((std::tuple{std::count(area.begin(), area.end(), 0x11), area[68]}), (std::tuple{68, uint8_t(0xee)}));

	ASSERT_TRUE(tqsys_module_set_kernel_trace("boot done\n") == 0 && tqsys_module_set_reboot_info(3, "cut") == 0);
	tqsys_kernel_trace trace{};
	tqsys_reboot_info reboot{};
	EXPECT_EQ((std::tuple{tq_syslib_get_kernel_trace(&trace), string(trace.text), tq_syslib_get_reboot_info(&reboot),
			      reboot.reason, reboot.count, reboot.magic_done, string(reboot.note)}),
		  (std::tuple{0, "boot done\n", 0, 3u, 1u, 1u, "cut"}));
	// A state file cut short by hand fails the commands, not the process.
	const string file = state_file(tqsys_module_state_dir());
	ASSERT_EQ(truncate(file.c_str(), 64), 0);
	EXPECT_EQ((std::pair{tq_syslib_filter_del(1), problem().find("has shrunk") != string::npos}), (std::pair{-1, true}));
	std::remove(file.c_str());
}
