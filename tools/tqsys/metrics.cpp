// tqsys metrics: the figures of status in the Prometheus text format, for
// the node exporter's textfile collector, so a fleet is watched by the
// monitoring it already has and the device runs no daemon of ours.
#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace tqsys {
namespace {

// A label value as the format wants it: UTF-8, with \, " and line breaks escaped.
std::string label(const std::string &name, const json &value)
{
	std::string out = name + "=\"";
	for (char c : utf8_text(value.is_string() ? value.get<std::string>() : value.dump()))
		out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
	return out + "\"";
}

json at(const json &doc, const char *key)
{
	return doc.is_object() && doc.contains(key) ? doc[key] : json();
}

std::string exposition(const json &doc)
{
	std::string out;
	// A family and its samples (labels, value); one that has none is left out.
	auto family = [&](const char *name, const char *help, const std::vector<std::pair<std::string, json>> &samples) {
		std::string lines;
		for (const auto &[labels, v] : samples)
			if (!v.is_null())
				lines += std::string("tqsys_") + name + (labels.empty() ? "" : "{" + labels + "}") + " " +
					 v.dump() + "\n";
		if (!lines.empty())
			out += std::string("# HELP tqsys_") + name + " " + help + "\n# TYPE tqsys_" + name + " gauge\n" + lines;
	};
	auto bytes = [](const json &kb) { return kb.is_null() ? kb : json(kb.get<uint64_t>() * 1024); };
	const json mem = doc["memory"], cpu = doc["cpu"];
	std::vector<std::pair<std::string, json>> figures, size, free, rss;
	for (const json &f : at(mem, "figures"))
		figures.push_back({label("label", f["label"]), bytes(f["kb"])});
	family("memory_bytes", "Lines 1 to 4 of /proc/meminfo, each under its own label.", figures);
	family("tmpfs_used_bytes", "Space used on /tmp, a tmpfs.", {{"", bytes(at(mem, "tmpfs_used_kb"))}});
	family("memory_available_bytes", "Free and cached memory less what /tmp holds.",
	       {{"", bytes(at(mem, "available_kb"))}});
	for (const json &f : doc["filesystems"]) {
		size.push_back({label("path", f["path"]), bytes(f["total_kb"])});
		free.push_back({label("path", f["path"]), bytes(f["free_kb"])});
	}
	family("filesystem_size_bytes", "Size of a file system.", size);
	family("filesystem_free_bytes", "Free space of a file system, the superuser's share included.", free);
	family("cpu_busy_ratio", "Share of the last second the processors were busy.",
	       {{"", cpu.is_null() ? cpu : json((cpu["percent"].get<double>() * 1000 + cpu["thousandths"].get<double>()) / 1e5)}});
	family("ready", "1 when /tmp/pm_cli_ready is present.", {{"", int(doc["ready"].get<bool>())}});
	for (const json &p : doc["processes"])
		rss.push_back({label("pid", p["pid"]) + "," + label("name", p["name"]) + "," + label("watched", p["watched"]),
			       bytes(p["rss_kb"])});
	family("process_resident_bytes", "Resident memory of the largest process names of the survey.", rss);
	family("survey_complete", "1 when the survey held every process name.", {{"", int(doc["survey_complete"].get<bool>())}});
	return out;
}

// Written beside its final name, then renamed over it: a scraper sees the
// old file or the new one, never half of one.
int write_file(const args &a, const std::string &path, const std::string &text)
{
	std::string tmp = path + ".XXXXXX";
	const int fd = mkstemp(tmp.data());
	bool ok = fd >= 0 && fchmod(fd, 0644) == 0;
	for (size_t done = 0; ok && done < text.size();) {
		const ssize_t n = write(fd, text.data() + done, text.size() - done);
		ok = n > 0 || (n < 0 && errno == EINTR);
		done += n > 0 ? static_cast<size_t>(n) : 0;
	}
	ok = ok && fsync(fd) == 0;
	ok = (fd < 0 || close(fd) == 0) && ok && rename(tmp.c_str(), path.c_str()) == 0;
	if (ok)
		return exit_ok;
	const int err = errno;
	if (fd >= 0)
		unlink(tmp.c_str());
	std::fprintf(stderr, "tqsys: %s: cannot write %s: %s\n", a.command.c_str(), printable(path).c_str(), std::strerror(err));
	return exit_no;
}

} // namespace

int cmd_metrics(const args &a)
{
	const json doc = status_report({"/", "/tmp"}, nullptr);
	const std::string text = exposition(doc);
	int rc = exit_ok;
	if (a.words.empty())
		std::cout << text;
	else
		rc = write_file(a, a.words[0], text);
	for (const json &p : doc["problems"])
		std::fprintf(stderr, "tqsys: metrics: %s\n", printable(p.get<std::string>()).c_str()), rc = std::max<int>(rc, exit_failed);
	return rc;
}

} // namespace tqsys
