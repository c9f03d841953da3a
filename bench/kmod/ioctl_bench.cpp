// What the module stand-in costs: an unrelated ioctl of a preloaded program
// (on a pipe) through the stand-in against the C library's own, and a
// kernel command through the library against a raw ioctl of the same
// request on the same descriptor. Each makes no more system calls than
// the other side, and its instructions in user space stay within a bound.
#include "frame/control_device.h"
#include "tq_syslib.h"
#include "tqsys_module.h"
#include "verdict.h"

#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	char dir[] = "/tmp/kmod_bench.XXXXXX";
	int p[2], queued = 0;
	void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
	auto plain_ioctl = reinterpret_cast<int (*)(int, unsigned long, ...)>(libc ? dlsym(libc, "ioctl") : nullptr);
	if (!mkdtemp(dir) || tqsys_module_use_state_dir(dir) != 0 || tq_syslib_init() != 0 || pipe(p) != 0 ||
	    !plain_ioctl || plain_ioctl == &ioctl)
		return 2;
	auto unrelated = [&] { ioctl(p[0], FIONREAD, &queued); };
	auto plain = [&] { plain_ioctl(p[0], FIONREAD, &queued); };
	// The filter count: a 68-byte request of operation 2.
	auto count = [] {
		uint32_t n;
		tq_syslib_filter_get_cnt(&n);
	};
	auto raw = [] {
		unsigned char request[68] = {2};
		ioctl(syslib::tq_sysdev_fd, 0x3001, request);
	};
	verdict::sides = {{"unrelated", unrelated}, {"plain", plain}, {"count", count}, {"raw", raw}};
	verdict::run_side_if_asked(argc, argv);

	verdict::calls_at_most("unrelated ioctl through the stand-in / the C library's, system calls", unrelated, plain);
	verdict::instructions_at_most("unrelated ioctl through the stand-in / the C library's, instructions", 3, 1000,
				      "unrelated", "plain");
	verdict::calls_at_most("tq_syslib_filter_get_cnt / a raw ioctl of its request, system calls", count, raw);
	verdict::instructions_at_most("tq_syslib_filter_get_cnt / a raw ioctl of its request, instructions", 1.1, 1000,
				      "count", "raw");
	tq_syslib_exit();
	std::system((std::string("rm -rf ") + dir).c_str());
	return verdict::finish();
}
