// The software watchdog and the fake administrator uid: one word each,
// kept so that tests and tools can see what a daemon asked for.
#include "models.h"

#include <cerrno>

namespace tqsys {

int serve_admin(kstate &st, unsigned long cmd, void *arg)
{
	if (!arg)
		return refuse(EFAULT);
	uint32_t word = get_word(arg, 0);
	if (cmd == 0x7001) {
		st.admin.uid_set = 1;
		st.admin.uid = word;
		return 0;
	}
	switch (word) {
	case TQSYS_SWDOG_ENABLE:
		st.admin.swdog_enabled = 1;
		return 0;
	case TQSYS_SWDOG_DISABLE:
		st.admin.swdog_enabled = 0;
		return 0;
	case TQSYS_SWDOG_SET:
		++st.admin.swdog_sets;
		return 0;
	default:
		return refuse(EINVAL);
	}
}

} // namespace tqsys

extern "C" int tqsys_module_status(struct tqsys_status *out)
{
	if (!out) {
		errno = EINVAL;
		return -1;
	}
	return tqsys::with_state([out](tqsys::kstate &st) {
		*out = {};
		out->swdog_enabled = st.admin.swdog_enabled;
		out->swdog_sets = st.admin.swdog_sets;
		out->admin_uid_set = st.admin.uid_set;
		out->admin_uid = st.admin.uid;
		out->hwdog_active = st.board.hwdog_active;
		out->hwdog_changes = st.board.hwdog_changes;
		out->clients = st.clients.count;
		out->mlme_messages = st.clients.mlme_messages;
		out->crash_tests = st.diag.crash_tests;
		out->bbox_updating = st.diag.bbox_updating;
		out->cm_status = st.cm.status;
		return 0;
	});
}
