// The statistics calls over a made-up /proc: the line reader, the figures
// of one process, the survey of all of them, system memory, file-system
// space and processor load.
#include "harness.h"
#include "stats/readline.h"

#include <algorithm>
#include <dirent.h>
#include <sstream>
#include <sys/mount.h>
#include <unistd.h>

using namespace syslib_test;
using lines = std::vector<std::string>;
using files = std::vector<std::pair<std::string, std::string>>;

namespace {

const uint32_t page_kb = static_cast<uint32_t>(getpagesize()) / 1024;

// The words of a result, separated by blanks.
template <class... T> std::string str(const T &...v)
{
	std::ostringstream s;
	((s << v << ' '), ...);
	return s.str().substr(0, s.str().size() - 1);
}

// A tmpfs of `kib` KiB over /tmp holding `used_kib` KiB (the caller unmounts it).
bool mount_tmp(uint64_t kib, unsigned used_kib)
{
	return mount("tmpfs", "/tmp", "tmpfs", 0, ("size=" + std::to_string(kib) + "k").c_str()) == 0 &&
	       write_file("/tmp/data", std::string(used_kib * 1024u, 'x'));
}

// Two samples: the aggregate line (user nice system idle iowait irq softirq)
// and a cpu0 line the sampler must not take; no counters: an unparsable line.
files load(const std::vector<uint64_t> &first, const std::vector<uint64_t> &second)
{
	files f;
	for (const auto &sample : {first, second}) {
		std::string s = sample.empty() ? "garbage" : "cpu ";
		for (uint64_t c : sample)
			s += " " + std::to_string(c);
		f.emplace_back(f.empty() ? "stat" : "stat2", s + (sample.empty() ? "" : " 0 0 0") + "\ncpu0 1 2 3 4 5 6 7 0 0 0\n");
	}
	return f;
}

// Processes 100, 101... of these names, of 3, 7, 1, 9, 5, 2, 8, 4, 6, then 1 pages, and more files.
files procs(const std::vector<std::string> &names, files f = {})
{
	for (size_t i = 0; i < names.size(); ++i)
		f.insert(f.end(), {{std::to_string(100 + i) + "/statm", str(100, i < 9 ? "371952846"[i] - '0' : 1, 1, 2, 0, 0, 0, 3) + "\n"},
				   {std::to_string(100 + i) + "/status", "Name:\t" + names[i] + "\nVmData:\t8 kB\nVmStk:\t4 kB\n"}});
	return f;
}

// The survey with this watch file: rc, count, then pid, pages and flag of the
// first 8 records (when sorted), and " dirty" unless the unused records are all zero.
std::function<std::string(const fake_dir &)> survey(const char *watch)
{
	return [watch](const fake_dir &) {
		watch ? (void)write_file("/f/etc/tq_mem_proc_list", watch) : (void)std::remove("/f/etc/tq_mem_proc_list");
		auto list = std::make_unique<tq_mem_proc_info_list_t>();
		std::memset(list.get(), 0x6b, sizeof *list);
		const int rc = tq_mem_get_proc_info_list(list.get()), count = std::clamp(list->count, 0, 128);
		std::string s = str(rc, list->count);
		for (const auto &r : std::vector(list->records, list->records + (rc ? 0 : std::min(count, 8))))
			s += " " + str(r.pid, r.rss_kb / page_kb, int(r.watch_flag));
		const char *rest = reinterpret_cast<const char *>(list->records + count);
		return s + (std::all_of(rest, reinterpret_cast<const char *>(list.get() + 1), [](char c) { return !c; }) ? "" : " dirty");
	};
}

// Lines read with a buffer of 8 bytes (7 of the file per fill) between guard
// bytes, from the file "f", or without it through a pipe, which cannot seek back.
std::string read_lines(const fake_dir &)
{
	int fd = tq_open("/proc/f", 0), p[2];
	if (fd < 0 && pipe(p) == 0 && write(p[1], "abc\ndefghij\n", 12) == 12)
		close(p[1]), fd = p[0];
	char area[24], *cursor = nullptr, *buf = area + 8, *line;
	std::memset(area, '#', sizeof area);
	std::string got;
	for (int n = 0; n < 20 && (line = syslib::tq_mem_readline(fd, buf, 8, &cursor)); ++n)
		got += (line >= buf && line < buf + 8 ? line : "(outside)") + std::string("|");
	close(fd);
	return got + (cursor || std::string(area, 8) + std::string(area + 16, 8) != std::string(16, '#') ? "broken" : "");
}

} // namespace

// Each row: the files of a made-up /proc (the missing ones absent), the call
// made on it, its words and its reports. Figures of pages are in pages.
TEST(stats, calls_on_made_up_proc_files)
{
	REQUIRE_SANDBOX();
	// rss rc and figure, heap rc and figure, fill rc, then the record of pid 1
	// and whether the name's field is zero after it and reserved and flag untouched
	auto process = [](const fake_dir &) {
		tq_mem_proc_info_t i;
		std::memset(&i, 0x5a, sizeof i);
		i.pid = 1;
		uint32_t rss = 9, heap = 9;
		const int a = tq_mem_get_proc_rss(1, &rss), b = tq_mem_get_proc_heap(1, &heap), c = tq_mem_get_proc_info(&i);
		const size_t len = strnlen(i.name, 128), zeros = std::count(i.name, i.name + 128, 0);
		return str(a, rss / double(page_kb), b, heap / double(page_kb), c) +
		       (c ? "" : " " + str(i.rss_kb / page_kb, i.shared_kb / page_kb, i.private_kb / page_kb, i.text_kb / page_kb,
					   i.heap_kb / page_kb, i.data_kb, i.stack_kb,
					   len + zeros == 128 && i.reserved == 0x5a5a5a5au && i.watch_flag == 0x5a, std::string(i.name, len)));
	};
	auto free_mem = [](const fake_dir &) { uint32_t f = 9; const int rc = tq_mem_get_free_mem(&f); return str(rc, f); };
	auto summary = [](const fake_dir &) {
		tq_mem_system_info_t m = {7, 7, 7, 7, 7, 7};
		const int rc = tq_mem_get_system_memory(&m);
		return str(rc, m.total_kb, m.free_kb, m.buffers_kb, m.cached_kb, m.tmpfs_used_kb, m.available_kb);
	};
	// fs_info rc, tmpfs_used rc, total, free and used; fragments of 4 KiB, free
	// counts the blocks kept for root, 8 GiB is more bytes than a word holds
	auto fs = [](const fake_dir &) {
		uint32_t t = 0, f = 0, u = 0;
		const int a = tq_mem_get_fs_info("/tmp", &t, &f), b = syslib::tq_mem_get_tmpfs_used(&u);
		return str(a, b, t, f, u);
	};
	auto big_fs = [&](const fake_dir &p) { const bool ok = mount_tmp(8u << 20, 4); const std::string s = fs(p); umount2("/tmp", MNT_DETACH); return str(ok, s); };
	auto bad_args = [](const fake_dir &) {  // nothing written, only fs_info reports
		uint32_t t = 7, f = 7;
		tq_mem_proc_info_t pid0{};
		const int a = tq_mem_get_fs_info(nullptr, &t, &f), b = tq_mem_get_fs_info("/", nullptr, &f),
			  c = tq_mem_get_fs_info("/", &t, nullptr), d = tq_mem_get_fs_info("/no/such", &t, &f),
			  e = tq_mem_get_proc_rss(0, &t) + tq_mem_get_proc_heap(-1, &f) + tq_mem_get_proc_info(&pid0) + tq_mem_get_proc_rss(1, nullptr) +
			      tq_mem_get_proc_heap(1, nullptr) + tq_mem_get_proc_info(nullptr) + tq_mem_get_proc_info_list(nullptr) + tq_mem_get_free_mem(nullptr);
		return str(a, b, c, d, e, t, f);
	};
	auto cpu = [](const fake_dir &) {  // the sleep between the samples puts stat2 in place of stat
		static int slept;
		slept = 0;
		tqrt_set_sleep([](int s, int, void *) { slept += s, std::remove("/proc/stat"), std::rename("/proc/stat2", "/proc/stat"); }, nullptr);
		uint32_t percent = 7, thousandths = 7;
		const int rc = tq_sys_get_cpu_total_utilize(&percent, &thousandths);
		tqrt_set_sleep(nullptr, nullptr);
		return str(rc, percent, thousandths, slept);
	};
	const std::string statm8 = "100 40 10 5 0 20 0 7\n", gone = "log 6: open file /proc/1/statm failed, maybe the process (pid:1) has exit.\n",
			  cpu_err = "err: ERROR: get system cpu information failed because can not open file :/proc/stat!\n";
	const uint64_t w = 0x1fffffff0ull;  // low word 16 short of wrapping
	std::string n130, w100(100, 'w');
	std::vector<std::string> n128;
	for (int i = 0; i < 128; ++i)
		n128.push_back("n" + std::to_string(i)), n130 += n128.back() + "\n";
	n130 += "n128\nn129\n";
	const struct {
		files in;
		std::function<std::string(const fake_dir &)> call;
		std::string want;
		lines reports = {};
	} rows[] = {
		{{{"f", ""}}, read_lines, ""}, {{{"f", "ab\nc\n"}}, read_lines, "ab|c||"},
		{{{"f", "ab\ncde\n"}}, read_lines, "ab|cde|"}, {{{"f", "abc\ndefgh\nij\nklmnop\nq"}}, read_lines, "abc|defgh|ij|klmnop|q|"},
		{{{"f", std::string("ab\0cd\nefgh\n", 11)}}, read_lines, "ab|fgh||"},    // a NUL ends the fill
		{{{"f", "abcdefghij\nk\n"}}, read_lines, "abcdefg|hij|k||"},            // longer than the buffer
		{{}, read_lines, "abc|", {"err: tq_mem_readline: lseek failed!(" + std::string(strerror(ESPIPE)) + ")\n"}},
		{{{"1/statm", statm8}, {"1/status", "Name:\tfixd\nUmask:\t0022\nVmData:\t 1234 kB\nVmStk:\t 132 kB\nName:\tx\nVmStk:\t9 kB\n"}},
		 process, "0 40 0 7 0 40 10 30 5 7 1234 132 1 fixd"},
		{{{"1/statm", "9"}, {"1/status", "Name:\tmy proc\n"}}, process, "0 0 0 0 0 0 0 0 0 0 0 0 1 my"},  // figures missing
		{{{"1/statm", statm8}, {"1/status", "Name:\t" + std::string(200, 'n') + "\n" + std::string(1015, '#') + "\nVmData:\t77 kB\nVmStk:\t5 kB\n"}},
		 process, "0 40 0 7 0 40 10 30 5 7 77 5 1 " + std::string(128, 'n')},  // a line crosses the buffer end
		{{{"1/statm", statm8}}, process, "0 40 0 7 -1", {"log 3: Error open /proc/1/status\n"}},
		{{{"1/statm", ""}, {"1/status", ""}}, process, "-3 0 -1 0 -1",
		 {"log 3: Error read file /proc/1/statm\n", "log 3: Error read file /proc/1/statm\n", "log 3: error in readline!\n"}},
		{{{"1/status", ""}}, process, "-2 0 -1 0 -1", {gone, gone, "log 3: Error open /proc/1/statm\n"}},
		// watch flags from the file, or else the built-in daemons; the list holds 128 names
		{procs({"ntpd", "Hostapd", "other", ""}), survey(nullptr), "0 4 103 9 2 101 7 2 100 3 1 102 1 2"},
		{procs({"syslogd", "other"}), survey(" \n\t \n"), "0 2 101 7 2 100 3 1"},
		{procs({"ntpd", "other"}), survey("other"), "0 2 101 7 1 100 3 2"},
		{procs({"ntpd", "other", "b", ""}), survey("other\tb\n"), "0 4 103 9 2 101 7 1 100 3 2 102 1 1"},
		{procs({std::string(79, 'w'), std::string(21, 'w'), w100}), survey(w100.c_str()), "0 3 101 7 1 100 3 1 102 1 2"},
		{procs({"n0", "n127", "n128"}), survey(n130.c_str()), "0 3 101 7 1 100 3 1 102 1 2"},
		// entries that are no process, and a failing fill (folder 7), add nothing
		{procs({"a", "", "b"}, {{"1/statm", "1 20\n"}, {"1/status", "Name:\tone\n"}, {"401", ""}, {"net/x", ""}, {"0/x", ""}, {"7/x", ""}}),
		 survey(nullptr), "0 4 1 20 2 101 7 2 100 3 2 102 1 2", {"log 3: Error open /proc/7/statm\n"}},
		{procs(n128), survey(nullptr), "0 128 103 9 2 106 8 2 101 7 2 108 6 2 104 5 2 107 4 2 100 3 2 105 2 2"},
		{procs(n128, {{"999/statm", "1 1\n"}, {"999/status", "Name:\tlast\n"}}), survey(nullptr), "-1 128"},
		{{{"meminfo", "MemTotal: 1000 kB\nMemFree: 200 kB\nMemFree: 3 kB\n"}}, free_mem, "0 200"},
		{{{"meminfo", "MemTotal: 1000 kB\nCached: 4 kB\n"}}, free_mem, "0 0"}, {{{"meminfo", "MemFree:\n"}}, free_mem, "0 0"},
		{{{"meminfo", std::string(1100, '#') + "\nx MemFree: 31 kB\n"}}, free_mem, "0 31"},  // mid-line, past the buffer
		{{}, free_mem, "-1 9", {"log 3: Error open /proc/meminfo"}},
		// words by line position; available wraps in 32 bits
		{{{"meminfo", "MemTotal: 1000 kB\nMemFree: 200 kB\nBuffers: 30 kB\nCached: 400 kB\n"}}, summary, "0 1000 200 30 400 600 0"},
		{{{"meminfo", "A: 1 kB\nB: 200 kB\nC: 3 kB\nD: 4294967295 kB\nE: 5 kB\n"}}, summary, "0 1 200 3 4294967295 600 4294966895"},
		{{{"meminfo", "MemTotal: 1000 kB\nMemFree:\nBuffers: 30 kB\nCached: 4000 kB\n"}}, summary, "0 1000 7 30 4000 600 3407"},
		{{{"meminfo", ""}}, summary, "-1 7 7 7 7 7 7", {"err: no memory totle info!\n"}},
		{{{"meminfo", "T: 1 kB\nF: 2 kB\nB: 3 kB\n"}}, summary, "-1 1 2 3 7 7 7", {"err: no memory cach info!\n"}},
		{{}, summary, "-1 7 7 7 7 7 7", {"err: error in open memory file1\n"}},
		{{}, fs, "0 0 4000 3400 600"}, {{}, big_fs, "1 0 0 8388608 8388604 4"},
		{{}, bad_args, "-1 -1 -1 -1 -8 7 7", {"err: invalid parameter!\n", "err: invalid parameter!\n", "err: invalid parameter!\n",
						"err: Get fs(/no/such) status failed!\n"}},
		// percent, thousandths, seconds slept
		{load({100, 10, 50, 1000, 7, 3, 2}, {120, 15, 60, 1363, 7, 4, 3}), cpu, "0 9 250 1"},  // busy 37 of 400
		{load({w, 10, 50, w, 7, 3, 2}, {w + 37, 10, 50, w + 363, 7, 3, 2}), cpu, "0 9 250 1"},
		{load({0, 0, 0, 0, 0, 0, 0}, {995, 0, 0, 5, 0, 0, 0}), cpu, "0 99 500 1"}, {load({}, {0, 0, 50, 0, 0, 0, 0}), cpu, "0 100 0 1"},
		{load({0, 0, 0, 10, 0, 0, 0}, {1001, 0, 0, 9, 0, 0, 0}), cpu, "0 100 0 1"},  // idle fell: 100.1 % clamped
		{load({1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7}), cpu, "0 0 0 1"}, {load({}, {30, 0, 0, 70, 5000, 0, 0}), cpu, "0 30 0 1"},
		{load({}, {10, 0, 0, 30, 0, 0, 0}), cpu, "0 25 0 1"}, {load({}, {2, 0, 0, 1, 0, 0, 0}), cpu, "0 66 666 1"},  // an unparsable sample: zeros
		{{}, cpu, "-1 7 7 0", {cpu_err}}, {{load({1, 2, 3, 4, 5, 6, 7}, {}).at(0)}, cpu, "-1 7 7 1", {cpu_err}},
	};
	for (const auto &r : rows) {
		fake_dir proc;
		for (const auto &[name, text] : r.in)
			proc.put(name, text);
		ASSERT_TRUE(proc.ok() && mount_tmp(4000, 600));  // /tmp holds 600 KiB
		clear_reports();
		const std::string got = r.call(proc);
		umount2("/tmp", MNT_DETACH);
		EXPECT_EQ(got, r.want) << (r.in.empty() ? "" : r.in[0].second);
		EXPECT_EQ(reported(), r.reports) << r.want;
	}
}

// Of two processes of one name, the first met in /proc is kept.
TEST(stats, survey_keeps_the_first_met_of_a_name)
{
	REQUIRE_SANDBOX();
	fake_dir proc;
	ASSERT_TRUE(proc.ok());
	for (const auto &[name, text] : procs({"twin", "twin"}))
		proc.put(name, text);
	std::string first;
	DIR *d = opendir("/proc");
	for (dirent *e; first.empty() && (e = readdir(d));)
		first = e->d_name[0] == '1' ? e->d_name : "";
	closedir(d);
	EXPECT_EQ(survey(nullptr)(proc), first == "100" ? "0 1 100 3 2" : "0 1 101 7 2");
}
