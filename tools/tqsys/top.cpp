// tqsys top: the machine once per sample of the CPU sampler (one second).
// On a terminal it redraws in place with bars and leaves on q or Ctrl-C,
// giving the terminal back as it found it; otherwise it prints one plain
// snapshot per sample.
#include "commands.h"

#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace tqsys {
namespace {

volatile sig_atomic_t stop;

std::string bar(uint64_t part, uint64_t whole, size_t width = 30)
{
	const size_t filled = whole ? static_cast<size_t>(std::min<uint64_t>(part, whole) * width / whole) : 0;
	std::string out(width + 2, '.');
	out.front() = '[', out.back() = ']';
	out.replace(1, filled, filled, '#');
	return out;
}

std::string frame(size_t rows)
{
	uint32_t percent = 0, thousandths = 0;
	std::string out = "tqsys top: every second; q or Ctrl-C leaves\n\n";
	if (tq_sys_get_cpu_total_utilize(&percent, &thousandths) == 0)
		out += "cpu     " + percent_text(percent, thousandths) + " % " + bar(percent, 100) + "\n";
	table t({{""}, {"", table::right}});
	std::string notes;
	json mem;
	if (memory_summary(t, notes, mem)) {
		const uint32_t total = mem["figures"][0]["kb"], free = mem["figures"][1]["kb"];
		out += "memory  " + used_share(total, free) + " not free " + bar(total - std::min(free, total), total) +
		       "\n" + t.render("  ") + notes;
	}
	out += "\nlargest processes (KiB), one row per name; PROCS: processes of that name\n";
	survey s = take_survey();
	table p({{"PID", table::right}, {"NAME"}, {"PROCS", table::right}, {"RSS", table::right}, {"WATCH"}});
	for (const process_row &r : std::span(s.rows).first(std::min(rows, s.rows.size())))
		p.add({std::to_string(r.info.pid), printable(r.name), std::to_string(r.processes),
		       std::to_string(r.info.rss_kb), r.info.watch_flag == 1 ? "yes" : "no"});
	return out + p.render("  ");
}

} // namespace

int cmd_top(const args &a)
{
	long left = a.iterations.empty() ? -1 : static_cast<long>(parse_number(a.iterations, 1, 1000000, "top: --iterations"));
	const bool tty = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
	struct sigaction leave{};
	leave.sa_handler = [](int) { stop = 1; };  // no SA_RESTART: a read ends at once
	sigaction(SIGINT, &leave, nullptr);
	sigaction(SIGTERM, &leave, nullptr);
	termios saved{};
	if (tty) {
		tcgetattr(STDIN_FILENO, &saved);
		termios keys = saved;
		keys.c_lflag &= ~tcflag_t(ICANON | ECHO);
		keys.c_cc[VMIN] = 0, keys.c_cc[VTIME] = 0;
		tcsetattr(STDIN_FILENO, TCSAFLUSH, &keys);
		std::fputs("\033[?25l", stdout);  // no cursor while drawing
	}
	for (; !stop && left != 0; left -= left > 0) {
		winsize w{};
		const size_t rows = tty && ioctl(STDOUT_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_row > 20 ? w.ws_row - 16 : 10;
		const std::string text = frame(rows);
		std::fputs(tty ? ("\033[H\033[2J" + text).c_str() : (text + "\n").c_str(), stdout);
		std::fflush(stdout);
		for (char key; tty && read(STDIN_FILENO, &key, 1) == 1;)
			if (key == 'q' || key == 'Q')
				stop = 1;
	}
	if (tty) {
		tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
		std::fputs("\033[?25h\n", stdout);
	}
	return exit_ok;
}

} // namespace tqsys
