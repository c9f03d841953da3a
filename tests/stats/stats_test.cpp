// The statistics calls over a made-up /proc: the line reader, the figures
// of one process, the survey of all of them, system memory, file-system
// space and processor load.
#include "harness.h"
#include "stats/readline.h"

using namespace syslib_test;
using std::string;
using files = std::vector<std::pair<string, string>>;

namespace {

const uint32_t page_kb = static_cast<uint32_t>(getpagesize()) / 1024;

// The words of a result, separated by blanks.
template <class... T> string str(const T &...v)
{
	std::ostringstream s;
	((s << v << ' '), ...);
	return s.str().substr(0, s.str().size() - 1);
}

// Lines read with a buffer of 8 bytes (7 of the file per fill) and a guard
// byte after it, from the file "f", or without it through a pipe, which
// cannot seek back.
string read_lines()
{
	int fd = tq_open("/proc/f", 0), p[2];
	if (fd < 0 && pipe(p) == 0 && write(p[1], "abc\ndefghij\n", 12) == 12)
		close(p[1]), fd = p[0];
	char buf[] = "#########", *cursor = nullptr, *line;
	string got;
	for (int n = 0; n < 20 && (line = syslib::tq_mem_readline(fd, buf, 8, &cursor)); ++n)
		got += line + string("|");
	close(fd);
	return got + (cursor || buf[8] != '#' ? "broken" : "");
}

// rss rc and figure, heap rc and figure (pages, a part shows as a fraction),
// fill rc, then the record of pid 1 (pages, data, stack), whether reserved
// and flag are untouched, the name.
string process()
{
	tq_mem_proc_info_t i;
	std::memset(&i, 0x5a, sizeof i);
	i.pid = 1;
	uint32_t rss = 9, heap = 9;
	const int a = tq_mem_get_proc_rss(1, &rss), b = tq_mem_get_proc_heap(1, &heap);
	const int c = tq_mem_get_proc_info(&i);
	const string head = str(a, rss / double(page_kb), b, heap / double(page_kb), c);
	return c ? head : str(head, i.rss_kb / page_kb, i.shared_kb / page_kb, i.private_kb / page_kb,
			      i.text_kb / page_kb, i.heap_kb / page_kb, i.data_kb, i.stack_kb,
			      i.reserved == 0x5a5a5a5au && i.watch_flag == 0x5a, string(i.name, strnlen(i.name, 128)));
}

// Processes 100, 101... of these names, of 3, 7, 1, 9, 5, 2, 8, 4, 6, then
// 1 pages, after the files given.
files procs(const std::vector<string> &names, files f = {})
{
	for (size_t i = 0; i < names.size(); ++i) {
		const string pid = std::to_string(100 + i), pages(1, i < 9 ? "371952846"[i] : '1');
		f.push_back({pid + "/statm", "100 " + pages + " 1 2 0 0 0 3\n"});
		f.push_back({pid + "/status", "Name:\t" + names[i] + "\nVmData:\t8 kB\nVmStk:\t4 kB\n"});
	}
	return f;
}

// The survey with this watch file: rc, count, then pid, pages and flag of
// the first 8 records, and " dirty" unless the unused records are all zero.
std::function<string()> survey(const char *watch)
{
	return [watch] {
		std::remove("/f/etc/tq_mem_proc_list");
		if (watch)
			write_file("/f/etc/tq_mem_proc_list", watch);
		auto list = std::make_unique<tq_mem_proc_info_list_t>();
		std::memset(list.get(), 0x6b, sizeof *list);
		const int rc = tq_mem_get_proc_info_list(list.get()), count = std::clamp(list->count, 0, 128);
		string s = str(rc, list->count);
		for (const auto &r : std::vector(list->records, list->records + std::min(rc ? 0 : count, 8)))
			s.append(" ").append(str(r.pid, r.rss_kb / page_kb, int(r.watch_flag)));
		const auto *rest = reinterpret_cast<const char *>(list->records + count);
		const auto *end = reinterpret_cast<const char *>(list.get() + 1);
		return s + (std::all_of(rest, end, [](char c) { return !c; }) ? "" : " dirty");
	};
}

// The count, and whether the record kept of processes of one name is the
// first of them that readdir gives.
string first_kept()
{
	std::vector<string> order;
	DIR *d = opendir("/proc");
	for (const dirent *e; (e = readdir(d));)
		if (std::isdigit(e->d_name[0]))
			order.push_back(e->d_name);
	closedir(d);
	auto list = std::make_unique<tq_mem_proc_info_list_t>();
	tq_mem_get_proc_info_list(list.get());
	return str(list->count, std::to_string(list->records[0].pid) == order.at(0) ? "first" : "later");
}

// Free memory's rc and figure, then the summary's rc and words.
string memory()
{
	uint32_t f = 9;
	tq_mem_system_info_t m = {7, 7, 7, 7, 7, 7};
	const int a = tq_mem_get_free_mem(&f), b = tq_mem_get_system_memory(&m);
	return str(a, f, b, m.total_kb, m.free_kb, m.buffers_kb, m.cached_kb, m.tmpfs_used_kb, m.available_kb);
}

// fs_info's rc, total and free, tmpfs_used's rc and figure; then how many
// calls of 12 refuse their arguments with -1 (only fs_info reports); then
// fs_info's rc, total and free on file systems of 4 TiB (2^32 KiB) and of
// 16 TiB (more blocks than a 32-bit word counts).
string fs()
{
	uint32_t t = 0, f = 0, u = 0, big[2][2] = {};
	tq_mem_proc_info_t pid0{};
	const int a = tq_mem_get_fs_info("/tmp", &t, &f), b = syslib::tq_mem_get_tmpfs_used(&u);
	mkdir("/tmp/big", 0700);
	int c = 0;
	for (int i : {0, 1}) {
		c |= mount("tmpfs", "/tmp/big", "tmpfs", 0, i ? "size=16t" : "size=4t") ?:
			tq_mem_get_fs_info("/tmp/big", big[i], big[i] + 1);
		umount2("/tmp/big", MNT_DETACH);
	}
	const int refused[] = {  // braces keep the order
		tq_mem_get_fs_info(nullptr, &t, &f), tq_mem_get_fs_info("/", nullptr, &f),
		tq_mem_get_fs_info("/", &t, nullptr), tq_mem_get_fs_info("/no/such", &t, &f),
		tq_mem_get_proc_rss(0, &t), tq_mem_get_proc_heap(-1, &f), tq_mem_get_proc_rss(1, nullptr),
		tq_mem_get_proc_heap(1, nullptr), tq_mem_get_free_mem(nullptr), tq_mem_get_proc_info(&pid0),
		tq_mem_get_proc_info(nullptr), tq_mem_get_proc_info_list(nullptr)};
	return str(a, t, f, b, u, std::count(std::begin(refused), std::end(refused), -1), c, big[0][0], big[0][1],
		   big[1][0], big[1][1]);
}

// Percent, thousandths, seconds slept; the sleep between the samples puts
// stat2 in place of stat.
string cpu()
{
	static int slept;
	slept = 0;
	tqrt_set_sleep([](int s, int, void *) {
		slept += s, std::remove("/proc/stat"), std::rename("/proc/stat2", "/proc/stat");
	}, nullptr);
	uint32_t percent = 7, thousandths = 7;
	const int rc = tq_sys_get_cpu_total_utilize(&percent, &thousandths);
	tqrt_set_sleep(nullptr, nullptr);
	return str(rc, percent, thousandths, slept);
}

// The aggregate lines (user nice system idle iowait irq softirq) of the two
// samples, the first before a cpu0 line the sampler must not take; "x":
// unparsable.
files load(const string &first, const string &second)
{
	return {{"stat", "cpu " + first + " 0 0 0\ncpu0 1 2 3 4 5 6 7 0 0 0\n"},
		{"stat2", "cpu " + second + "\n"}};
}

// "n0" to "n127", and a watch text of 130 names: 100 bytes, then these.
string watch130(100, 'w');
const std::vector<string> n128 = [] {
	std::vector<string> names;
	for (int i = 0; i < 128; ++i) {
		names.push_back("n"), names.back() += std::to_string(i);
		watch130.append(" ").append(names.back());
	}
	return names;
}();
// The largest page count a 32-bit word of KiB holds whole, and as the
// heap and rss calls' figures show it.
const string big_pages = str((4294967295u * page_kb) / page_kb),
	     big_heap = str((4294967295u * page_kb) / double(page_kb));
const string statm = "100 40 10 5 0 20 0 7" + string(1100, ' ') + "\n", invalid = "err: invalid parameter!\n",
	     gone = "log 6: open file /proc/1/statm failed, maybe the process (pid:1) has exit.\n",
	     cpu_err = "err: ERROR: get system cpu information failed because can not open file "
		       ":/proc/stat!\n";

// The files of a made-up /proc (the missing ones absent), the call made on
// it, its words (a glob) and its reports. Figures of pages are in pages.
const struct {
	files in;
	std::function<string()> call;
	string want;
	std::vector<string> reports = {};
} rows[] = {
	{{{"f", "abc\ndefgh\nij\nklmnop\nq"}}, read_lines, "abc|defgh|ij|klmnop|q|"},
	{{{"f", string("ab\0cd\nefgh\n", 11)}}, read_lines, "ab|fgh||"},  // a NUL ends the fill
	{{{"f", "abcdefghij\nk\n"}}, read_lines, "abcdefg|hij|k||"},      // longer than the buffer
	{{}, read_lines, "abc|", {"err: tq_mem_readline: lseek failed!(" + string(strerror(ESPIPE)) + ")\n"}},
	// statm is longer than the reader's buffer; status names another after VmStk
	{{{"1/statm", statm},
	  {"1/status", "Name:\tfixd\nUmask:\t0022\nVmData:\t 1234 kB\nVmStk:\t 132 kB\nName:\tx\n"}},
	 process, "0 40 0 7 0 40 10 30 5 7 1234 132 1 fixd"},
	{{{"1/statm", "9"}, {"1/status", "Name:\tmy proc\n"}}, process, "0 0 0 0 0 0 0 0 0 0 0 0 1 my"},
	// figures past 32 bits saturate as on a 32-bit target, pages then wrap
	{{{"1/statm", "1 2 3 4294967296 0 0 0 4294967296\n"},
	  {"1/status", "VmData:\t15032416856 kB\nVmStk:\t4294967296 kB\n"}},
	 process, "0 2 0 " + big_heap + " 0 2 3 " + big_pages + " " + big_pages + " " + big_pages +
	 " 4294967295 4294967295 1 "},
	{{{"1/statm", statm},  // the name is cut; VmStk crosses the buffer's end
	  {"1/status", "Name:\t" + string(200, 'n') + "\n" + string(1015, '#') + "\nVmStk:\t5 kB\n"}},
	 process, "0 40 0 7 0 40 10 30 5 7 0 5 1 " + string(128, 'n')},
	{{{"1/statm", statm}}, process, "0 40 0 7 -1", {"log 3: Error open /proc/1/status\n"}},
	{{{"1/statm", ""}, {"1/status", ""}}, process, "-3 0 -1 0 -1",
	 {"log 3: Error read file /proc/1/statm\n", "log 3: Error read file /proc/1/statm\n",
	  "log 3: error in readline!\n"}},
	{{{"1/status", ""}}, process, "-2 0 -1 0 -1", {gone, gone, "log 3: Error open /proc/1/statm\n"}},
	// watch flags from the file, or else (none in it) the built-in daemons;
	// the file gives 128 names of at most 79 bytes
	{procs({"ntpd", "Hostapd", "other", ""}), survey(" \n\t \n"), "0 4 103 9 2 101 7 2 100 3 1 102 1 2"},
	{procs({"ntpd", "other", "b", ""}), survey("\tother\n"), "0 4 103 9 2 101 7 1 100 3 2 102 1 2"},
	{procs({string(79, 'w'), string(21, 'w'), string(100, 'w'), "n125", "n126"}),
	 survey(watch130.c_str()), "0 5 103 9 1 101 7 1 104 5 2 100 3 1 102 1 2"},
	// entries that are no process and a failing fill (folder 7) add nothing;
	// of two processes of one name one is kept (which one: the order of readdir)
	{procs({"a", "", "b"}, {{"1/statm", "1 20\n"}, {"1/status", "Name:\tone\n"}, {"401", ""},
				{"net/x", ""}, {"0/x", ""}, {"7/x", ""}}),
	 survey(nullptr), "0 4 1 20 2 101 7 2 100 3 2 102 1 2", {"log 3: Error open /proc/7/statm\n"}},
	{procs({"twin", "twin"}), first_kept, "1 first"},
	// a link to a process folder counts, as stat follows it; one to nothing does not
	{procs({"a"}, {{"x/statm", "1 20\n"}, {"x/status", "Name:\tln\n"}, {"42@", "x"}, {"43@", "none"}}),
	 survey(nullptr), "0 2 42 20 2 100 3 2"},
	{procs(n128), survey(nullptr), "0 128 103 9 2 106 8 2 101 7 2 108 6 2 104 5 2 107 4 2 100 3 2 105 2 2"},
	{procs(n128, {{"99/statm", "1 1\n"}, {"99/status", "Name:\tlast\n"}}), survey(nullptr), "-1 128"},
	// free memory from the first MemFree, wherever it stands; the summary
	// from the words by line position; available wraps in 32 bits
	{{{"meminfo", "MemTotal: 1000 kB\nMemFree: 200 kB\nBuffers: 30 kB\nCached: 400 kB\nMemFree: 3 kB\n"}},
	 memory, "0 200 0 1000 200 30 400 600 0"},
	{{{"meminfo", "A: 1 kB\nB: 200 kB\nC: 3 kB\nD: 4294967295 kB\nE: 5 kB\n" + string(1100, '#') +
			      " MemFree: 31 kB\n"}}, memory, "0 31 0 1 200 3 4294967295 600 4294966895"},
	{{{"meminfo", "MemTotal: 4294967296 kB\nMemFree: 8589934593 kB\nBuffers: 1 kB\nCached: 2 kB\n"}}, memory,
	 "0 4294967295 0 4294967295 4294967295 1 2 600 4294966697"},  // saturated, as on a 32-bit target
	{{{"meminfo", "MemTotal: 1000 kB\nMemFree:\nBuffers: 30 kB\nCached: 4000 kB\n"}}, memory,
	 "0 0 0 1000 7 30 4000 600 3407"},
	{{{"meminfo", "T: 1 kB\nF: 2 kB\nB: 3 kB\n"}}, memory, "0 0 -1 1 2 3 7 7 7",
	 {"err: no memory cach info!\n"}},
	{{}, memory, "-1 9 -1 7 7 7 7 7 7",
	 {"log 3: Error open /proc/meminfo", "err: error in open memory file1\n"}},
	// /tmp is a tmpfs of 8 GiB, more bytes than a word holds, with 600 KiB
	// used; 4 TiB and more give the largest word
	{{}, fs, "0 8388608 8388008 0 600 12 0 4294967295 4294967295 4294967295 4294967295",
	 {invalid, invalid, invalid, "err: Get fs(/no/such) status failed!\n"}},
	{load("100 10 50 1000 7 3 2", "120 15 60 1363 7 4 3"), cpu, "0 9 250 1"},  // busy 37 of 400
	{load("8589934576 10 50 8589934576 7 3 2", "8589934613 10 50 8589934939 7 3 2"), cpu, "0 9 250 1"},
	{load("0 0 0 0 0 0 0", "995 0 0 5 0 0 0"), cpu, "0 99 500 1"},
	{load("0 0 0 10 0 0 0", "1001 0 0 9 0 0 0"), cpu, "0 100 0 1"},  // idle fell: 100.1 % clamped
	{load("1 2 3 4 5 6 7", "1 2 3 4 5 6 7"), cpu, "0 0 0 1"},
	{load("x", "30 0 0 70 5000 0 0"), cpu, "0 30 0 1"},
	{load("x", "2 0 0 1 0 0 0"), cpu, "0 66 666 1"},
	{{}, cpu, "-1 7 7 0", {cpu_err}},
	{{{"stat", "cpu 1 2 3 4 5 6 7\n"}}, cpu, "-1 7 7 1", {cpu_err}},
};

} // namespace

TEST(stats, calls_on_made_up_proc_files)
{
	REQUIRE_SANDBOX();
	for (const auto &r : rows) {
		fake_dir proc;
		for (const auto &[name, text] : r.in)  // "NAME@": a link to the text
			name.ends_with('@') ? (void)symlink(text.c_str(), (proc.dir + "/" + name.substr(0, name.size() - 1)).c_str())
					    : proc.put(name, text);
		ASSERT_TRUE(proc.ok() && mount("tmpfs", "/tmp", "tmpfs", 0, "size=8g") == 0 &&
			    write_file("/tmp/data", string(600 << 10, 'x')));
		clear_reports();
		const string got = r.call();
		umount2("/tmp", MNT_DETACH);
		EXPECT_EQ(fnmatch(r.want.c_str(), got.c_str(), 0) ? got : r.want, r.want);
		EXPECT_EQ(reported(), r.reports) << r.want;
	}
}
