// Opening, guarding and closing the control device /dev/tq_sys.
#include "control_device.h"

#include "report.h"
#include "tq_syslib.h"

#include <fcntl.h>
#include <unistd.h>

namespace syslib {

// Written by tq_syslib_init and tq_syslib_exit only; a daemon initialises
// from one thread before any thread issues kernel commands.
int tq_sysdev_fd = -1;
static int initialised;

bool kernel_ready(int line) noexcept
{
	if (initialised)
		return true;
	report_err(line, "syslib not initialized\n");
	return false;
}

} // namespace syslib

using namespace syslib;

extern "C" int tq_sys_ready(void) noexcept
{
	return access("/tmp/pm_cli_ready", F_OK) == 0 ? 1 : 0;
}

extern "C" int tq_syslib_init(void) noexcept
{
	if (initialised)
		return 0;
	// A descriptor left open by an earlier attempt whose close-on-exec
	// step failed is closed here rather than leaked.
	if (tq_sysdev_fd >= 0)
		close(tq_sysdev_fd);

	tq_sysdev_fd = open("/dev/tq_sys", O_RDWR);
	if (tq_sysdev_fd < 0) {
		TQ_ERR("open device %s failed\n", "/dev/tq_sys");
		return -1;
	}
	// Non-blocking mode is wanted but not required: its result is not
	// looked at.
	int flags = fcntl(tq_sysdev_fd, F_GETFL, 0);
	fcntl(tq_sysdev_fd, F_SETFL, flags | O_NONBLOCK);

	if (fcntl(tq_sysdev_fd, F_SETFD, FD_CLOEXEC) < 0) {
		TQ_ERR("tq_sysdev_fd: set flag close-on-exec failed.\n");
		return -1;
	}
	initialised = 1;
	return 0;
}

// Afterwards the library is back in its load state: no descriptor and the
// flag clear, so no command reaches a closed (or reused) descriptor number
// and a later tq_syslib_init opens the device again.
extern "C" int tq_syslib_exit(void) noexcept
{
	if (tq_sysdev_fd == -1)
		return 0;
	close(tq_sysdev_fd);
	tq_sysdev_fd = -1;
	initialised = 0;
	return 0;
}
