// The board driver's hardware watchdog: on or off, nothing to refresh.
#include "models.h"

#include <cerrno>

namespace tqsys {

int serve_board(kstate &st, unsigned long cmd, void *)
{
	switch (cmd) {
	case 0x5004:
		st.board.hwdog_active = 1;
		break;
	case 0x5005:
		st.board.hwdog_active = 0;
		break;
	default:
		return refuse(ENOTTY);
	}
	++st.board.hwdog_changes;
	return 0;
}

} // namespace tqsys
