// tqsys top: the machine once per sample of the CPU sampler (one second).
// On a terminal it redraws in place, cut to the terminal's size, and
// leaves on q; whatever ends it, the terminal gets its modes and cursor
// back. Otherwise it prints one plain, time-stamped snapshot per sample.
#include "commands.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace tqsys {
namespace {

volatile sig_atomic_t ended;
termios saved, keys;
bool keyed, drawn;  // keys read one by one; drawn in place with escapes

void give_back()
{
	if (keyed)
		tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
	if (drawn)
		(void)!write(STDOUT_FILENO, "\033[?25h\n", 7);
}

void take()
{
	if (keyed)
		tcsetattr(STDIN_FILENO, TCSAFLUSH, &keys);
	if (drawn)
		(void)!write(STDOUT_FILENO, "\033[?25l", 6);
}

void on_stop(int);

void handle(int sig, void (*fn)(int))
{
	struct sigaction act{};
	act.sa_handler = fn;
	// A signal that ends top cuts the sample's wait short (no SA_RESTART);
	// after Ctrl-Z and fg, a frame's write goes on, not failing with EINTR.
	act.sa_flags = fn == on_stop ? SA_RESTART : 0;
	sigaction(sig, &act, nullptr);
}

// Ctrl-Z: the terminal back to the shell, stopped; on fg, taken again (the
// next sample redraws).
void on_stop(int)
{
	const int err = errno;
	give_back();
	handle(SIGTSTP, SIG_DFL);
	sigset_t tstp;
	sigemptyset(&tstp);
	sigaddset(&tstp, SIGTSTP);
	sigprocmask(SIG_UNBLOCK, &tstp, nullptr);
	raise(SIGTSTP);
	handle(SIGTSTP, on_stop);
	take();
	errno = err;
}

// Terminals that take the ANSI sequences used here; any other (dumb, or
// one not known) gets plain snapshots.
bool ansi_terminal()
{
	const std::string_view term = std::getenv("TERM") ? std::getenv("TERM") : "";
	for (std::string_view known : {"xterm", "screen", "tmux", "linux", "vt1", "vt2", "vt3", "vt4", "rxvt", "ansi",
				       "konsole", "gnome", "alacritty", "kitty", "foot", "putty", "st-", "wezterm"})
		if (term.starts_with(known))
			return true;
	return false;
}

std::string bar(uint64_t part, uint64_t whole, size_t width = 30)
{
	const size_t filled = whole ? static_cast<size_t>(std::min<uint64_t>(part, whole) * width / whole) : 0;
	std::string out(width + 2, '.');
	out.front() = '[', out.back() = ']';
	out.replace(1, filled, filled, '#');
	return out;
}

std::string frame(const std::string &title, size_t rows)
{
	uint32_t percent = 0, thousandths = 0;
	std::string out = title + "\n\n";
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

// The first rows - 1 lines, each cut to the columns (UTF-8 characters
// counted once), so the header never scrolls away.
std::string fit(const std::string &text, size_t rows, size_t cols)
{
	std::string out;
	size_t line = 0, col = 0;
	for (char c : text) {
		if (c == '\n' && ++line + 1 >= rows)
			break;
		col = c == '\n' ? 0 : col + ((static_cast<unsigned char>(c) & 0xc0) != 0x80);
		if (col <= cols)
			out += c;
	}
	return out;
}

} // namespace

int cmd_top(const args &a)
{
	long left = a.iterations.empty() ? -1 : static_cast<long>(parse_number(a.iterations, 1, 1000000, "top: --iterations"));
	keyed = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
	drawn = keyed && ansi_terminal();
	for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM})
		handle(sig, [](int s) { ended = s; });
	if (keyed) {
		handle(SIGTSTP, on_stop);
		tcgetattr(STDIN_FILENO, &saved);
		keys = saved;
		keys.c_lflag &= ~tcflag_t(ICANON | ECHO);
		keys.c_cc[VMIN] = 0, keys.c_cc[VTIME] = 0;
		take();
	}
	while (!ended && left != 0) {
		left -= left > 0;
		winsize w{};
		const bool sized = keyed && ioctl(STDOUT_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_row > 0 && w.ws_col > 0;
		const time_t now = time(nullptr);
		char stamp[32];
		strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", localtime(&now));
		const std::string text = frame(std::string("tqsys top  ") + stamp + (keyed ? "  (q leaves)" : ""),
					       sized ? w.ws_row : 10);
		std::fputs(drawn ? ("\033[H\033[2J" + fit(text, w.ws_row, w.ws_col)).c_str() : (text + "\n").c_str(), stdout);
		std::fflush(stdout);
		for (char key; keyed && read(STDIN_FILENO, &key, 1) == 1;)
			if (key == 'q' || key == 'Q')
				left = 0;
	}
	if (keyed)
		give_back();
	// Ended by a signal: as shell tools do, 128 and its number; Ctrl-C is
	// the usual way out of the live view on a terminal, and not a failure.
	return ended && !(ended == SIGINT && keyed && a.iterations.empty()) ? 128 + ended : exit_ok;
}

} // namespace tqsys
