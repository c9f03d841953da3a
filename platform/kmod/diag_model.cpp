// The kernel diagnostic records: kernel trace, reboot record with its
// magic-done mark, and the black box. The crash test is only noted.
#include "models.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace tqsys {
namespace {

void append_trace(tqsys_kernel_trace &t, const char *text, size_t len)
{
	if (t.length >= sizeof t.text)
		t.length = 0;  // a damaged state file starts empty
	size_t room = sizeof t.text - 1 - t.length;
	len = std::min(len, room);
	std::memcpy(t.text + t.length, text, len);
	t.length += static_cast<uint32_t>(len);
	t.text[t.length] = '\0';
}

template <class Record>
int fill(void *arg, const Record &r)
{
	if (!arg)
		return refuse(EFAULT);
	std::memcpy(arg, &r, sizeof r);
	return 0;
}

} // namespace

int serve_diag(kstate &st, unsigned long cmd, void *arg)
{
	diag_state &d = st.diag;
	switch (cmd) {
	case 0x9001: return fill(arg, d.trace);
	case 0x9002: d.trace = {}; return 0;
	case 0x9003: return fill(arg, d.reboot);
	case 0x9004: d.reboot = {}; return 0;
	case 0x9005: {
		if (!arg)
			return refuse(EFAULT);
		tqsys_reboot_info in;
		std::memcpy(&in, arg, sizeof in);
		in.count = d.reboot.count + 1;
		in.magic_done = 1;
		in.note[sizeof in.note - 1] = '\0';
		d.reboot = in;
		return 0;
	}
	case 0x9006: d.reboot.magic_done = 0; return 0;
	case 0x90F0: {
		tqsys_bbox_info info{};
		info.magic = TQSYS_BBOX_MAGIC;
		info.length = std::min<uint32_t>(d.bbox.length, TQSYS_BBOX_DATA_MAX);
		info.capacity = TQSYS_BBOX_DATA_MAX;
		info.updating = d.bbox_updating;
		info.updates = d.bbox_updates;
		info.crash_tests = d.crash_tests;
		return fill(arg, info);
	}
	case 0x90F1: return fill(arg, d.bbox);
	case 0x90F2: d.bbox_updating = 1; ++d.bbox_updates; return 0;
	case 0x90F3: d.bbox_updating = 0; return 0;
	case 0x90F4: return fill(arg, d.bbox_updating);
	case 0x90FF:
		++d.crash_tests;
		append_trace(d.trace, TQSYS_CRASH_TRACE_LINE, sizeof TQSYS_CRASH_TRACE_LINE - 1);
		return 0;
	default: return refuse(ENOTTY);
	}
}

} // namespace tqsys

extern "C" int tqsys_module_set_kernel_trace(const char *text)
{
	return tqsys::with_state([text](tqsys::kstate &st) {
		st.diag.trace = {};
		if (text)
			tqsys::append_trace(st.diag.trace, text, std::strlen(text));
		return 0;
	});
}

extern "C" int tqsys_module_set_bbox_data(const void *data, uint32_t len)
{
	return tqsys::with_state([data, len](tqsys::kstate &st) {
		st.diag.bbox = {};
		uint32_t n = data ? std::min<uint32_t>(len, TQSYS_BBOX_DATA_MAX) : 0;
		if (n)
			std::memcpy(st.diag.bbox.data, data, n);
		st.diag.bbox.length = n;
		return 0;
	});
}

extern "C" int tqsys_module_set_reboot_info(uint32_t reason, const char *note)
{
	return tqsys::with_state([reason, note](tqsys::kstate &st) {
		tqsys_reboot_info &r = st.diag.reboot;
		const uint32_t stored = r.count;
		r = {};
		r.reason = reason;
		r.count = stored + 1;
		r.magic_done = 1;
		r.time_s = static_cast<uint32_t>(std::time(nullptr));
		if (note)
			std::strncpy(r.note, note, sizeof r.note - 1);
		return 0;
	});
}
