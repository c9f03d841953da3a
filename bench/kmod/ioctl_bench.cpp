// What the module stand-in costs: an unrelated ioctl of a preloaded program
// (on a pipe) through the stand-in against the C library's own, and a
// kernel command through the library against a raw ioctl of the same
// request on the same descriptor.
#include "frame/control_device.h"
#include "tq_syslib.h"
#include "tqsys_module.h"
#include "verdict.h"

#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

int main()
{
	char dir[] = "/tmp/kmod_bench.XXXXXX";
	int p[2], queued = 0;
	void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
	auto plain_ioctl = reinterpret_cast<int (*)(int, unsigned long, ...)>(libc ? dlsym(libc, "ioctl") : nullptr);
	if (!mkdtemp(dir) || tqsys_module_use_state_dir(dir) != 0 || tq_syslib_init() != 0 || pipe(p) != 0 ||
	    !plain_ioctl || plain_ioctl == &ioctl)
		return 2;
	verdict::at_most("unrelated ioctl through the stand-in / the C library's", 1.1, 20000,
			 [&] { ioctl(p[0], FIONREAD, &queued); }, [&] { plain_ioctl(p[0], FIONREAD, &queued); });
	// The filter count: a 68-byte request of operation 2.
	verdict::at_most("tq_syslib_filter_get_cnt / a raw ioctl of its request", 1.05, 3000, [] {
		uint32_t count;
		tq_syslib_filter_get_cnt(&count);
	}, [] {
		unsigned char request[68] = {2};
		ioctl(syslib::tq_sysdev_fd, 0x3001, request);
	});
	tq_syslib_exit();
	std::system((std::string("rm -rf ") + dir).c_str());
	return verdict::finish();
}
