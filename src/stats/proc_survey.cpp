// The census of every process in /proc: one record per name, flagged as
// watched or not, largest resident set first.
#include "../frame/owned.h"
#include "tq_syslib.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace syslib {
namespace {

constexpr char watch_list_path[] = "/f/etc/tq_mem_proc_list";
constexpr int watch_capacity = 128;
constexpr int watch_slot_size = 128;

// The core daemons of the device, watched when the watch-list file names none.
constexpr std::array<const char *, 26> default_watch{
	"apmgrd",   "hostapd",  "eapold",   "radiusd",  "dot1xd",   "stamgrd", "roamd",
	"rfmgrd",   "scand",    "dhcpd",    "dhcpcd",   "dnsmasq",  "snmpd",   "ntpd",
	"syslogd",  "klogd",    "httpd",    "sshd",     "telnetd",  "monitord", "watchdogd",
	"cfgmgrd",  "clid",     "upgraded", "ledd",     "eventd",
};

struct watch_list {
	int count = 0;
	char names[watch_capacity][watch_slot_size];
};

void load_watch_list(watch_list &watch) noexcept
{
	watch.count = 0;
	file_stream file(std::fopen(watch_list_path, "r"));
	if (!file)
		return;
	while (watch.count < watch_capacity) {
		char *slot = watch.names[watch.count];
		std::memset(slot, 0, watch_slot_size);
		if (std::fscanf(file.get(), "%79s", slot) != 1)
			return;
		++watch.count;
	}
}

// Names are compared within the record's field: a name that fills all of
// it without a terminator must not send the comparison past the record.
bool same_name(const char *a, const char *b) noexcept
{
	return a[0] == b[0] && std::strncmp(a, b, sizeof tq_mem_proc_info_t::name) == 0;
}

uint8_t classify(const watch_list &watch, const char *name) noexcept
{
	if (watch.count > 0) {
		for (int i = 0; i < watch.count; ++i)
			if (same_name(watch.names[i], name))
				return 1;
		return 2;
	}
	for (const char *known : default_watch)
		if (same_name(known, name))
			return 1;
	return 2;
}

// A hash of a name within the record's field, so that most records of
// other names are passed over without comparing their names.
uint32_t name_hash(const char (&name)[128]) noexcept
{
	uint32_t h = 2166136261u;
	for (std::size_t i = 0; i < sizeof name && name[i]; ++i)
		h = (h ^ static_cast<unsigned char>(name[i])) * 16777619u;
	return h;
}

// One record per name, the first met kept; false when the list is full.
// hashes[i] is the hash of record i's name.
bool add_record(tq_mem_proc_info_list_t &list, uint32_t *hashes, const tq_mem_proc_info_t &record) noexcept
{
	const uint32_t h = name_hash(record.name);
	for (int i = 0; i < list.count; ++i)
		if (hashes[i] == h && same_name(list.records[i].name, record.name))
			return true;
	if (list.count == TQ_MEM_PROC_LIST_MAX)
		return false;
	std::memcpy(&list.records[list.count], &record, sizeof record);
	hashes[list.count++] = h;
	return true;
}

// Positive when `first` belongs after `second`: the larger resident set
// first, the difference taken as a signed 32-bit word.
int32_t by_rss_descending(const tq_mem_proc_info_t &first, const tq_mem_proc_info_t &second) noexcept
{
	return static_cast<int32_t>(second.rss_kb - first.rss_kb);
}

// Sorts the records where they stand, without the heap that qsort takes
// for a long list: a stable insertion sort of one-byte indexes (records of
// one size keep the order readdir gave, as a merge sort keeps it), then
// each record moved once along the cycles of the order. Both loops are
// bounded by the count whatever the comparison answers.
void sort_records(tq_mem_proc_info_list_t &list) noexcept
{
	static_assert(TQ_MEM_PROC_LIST_MAX <= 256, "indexes are bytes");
	const int n = list.count;
	uint8_t order[TQ_MEM_PROC_LIST_MAX];
	for (int i = 0; i < n; ++i) {
		const uint8_t next = static_cast<uint8_t>(i);
		int j = i;
		for (; j > 0 && by_rss_descending(list.records[order[j - 1]], list.records[next]) > 0; --j)
			order[j] = order[j - 1];
		order[j] = next;
	}
	// Place i takes record order[i]; a place done points at itself.
	for (int i = 0; i < n; ++i) {
		if (order[i] == i)
			continue;
		const tq_mem_proc_info_t held = list.records[i];
		int j = i;
		while (order[j] != i) {
			const int from = order[j];
			list.records[j] = list.records[from];
			order[j] = static_cast<uint8_t>(j);
			j = from;
		}
		list.records[j] = held;
		order[j] = static_cast<uint8_t>(j);
	}
}

} // namespace
} // namespace syslib

using namespace syslib;

extern "C" int tq_mem_get_proc_info_list(tq_mem_proc_info_list_t *list) noexcept
{
	if (!list)
		return -1;
	list->count = 0;
	std::memset(list->records, 0, sizeof list->records);

	directory proc(opendir("/proc"));
	if (!proc)
		return -1;
	watch_list watch;
	load_watch_list(watch);

	tq_mem_proc_info_t scratch{};
	uint32_t hashes[TQ_MEM_PROC_LIST_MAX];
	// "/proc/" and the longest entry name a directory can give.
	char path[sizeof "/proc/" + sizeof(dirent::d_name)];
	while (const dirent *entry = readdir(proc.get())) {
		if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0])))
			continue;
		// Only folders are processes, whatever readdir says of the entry:
		// a link to one counts, as stat follows it, and a process that ended
		// since readdir fails here and is passed over without a report.
		std::snprintf(path, sizeof path, "/proc/%s", entry->d_name);
		struct stat st;
		if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode))
			continue;
		int pid = std::atoi(entry->d_name);
		if (pid == 0)
			continue;
		scratch.pid = pid;
		// A process that ended since the stat leaves the scratch record
		// half filled, with an earlier process's name: it is left out.
		if (tq_mem_get_proc_info(&scratch) != 0)
			continue;
		scratch.watch_flag = classify(watch, scratch.name);
		if (!add_record(*list, hashes, scratch))
			return -1;
	}
	sort_records(*list);
	return 0;
}
