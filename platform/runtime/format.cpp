// printf-style formatting with the "%m" MAC conversion.
//
// Each conversion is cut out of the format, its argument taken from the
// va_list by its length modifier, and handed to vsnprintf on its own, so
// everything but "%m" behaves exactly like the C library's printf.
#include "tq_runtime.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// Bounded output: counts what would be written, stores what fits.
struct sink {
	char *buf;
	size_t cap;   // bytes available including the terminator
	size_t len = 0;

	void put(const char *s, size_t n)
	{
		if (len < cap) {
			size_t room = cap - 1 - len;
			std::memcpy(buf + len, s, n < room ? n : room);
		}
		len += n;
	}
	void finish()
	{
		if (cap)
			buf[len < cap ? len : cap - 1] = '\0';
	}
};

enum class length { none, hh, h, l, ll, j, z, t, L };

// One conversion, formatted straight into the space that is left.
template <class... A>
void emit_raw(sink &out, const char *spec, A... args)
{
	size_t room = out.len < out.cap ? out.cap - out.len : 0;
	int n = std::snprintf(room ? out.buf + out.len : nullptr, room, spec, args...);
	if (n > 0)
		out.len += static_cast<size_t>(n);
}

// Width and precision given as '*' travel as int arguments before the value.
struct stars {
	bool width = false, prec = false;
	int w = 0, p = 0;
};

template <class T>
void emit(sink &out, const char *spec, const stars &st, T value)
{
	if (st.width && st.prec)
		emit_raw(out, spec, st.w, st.p, value);
	else if (st.width)
		emit_raw(out, spec, st.w, value);
	else if (st.prec)
		emit_raw(out, spec, st.p, value);
	else
		emit_raw(out, spec, value);
}

void emit_mac(sink &out, const unsigned char *mac)
{
	char tmp[18];
	if (!mac) {
		out.put("(null)", 6);
		return;
	}
	std::snprintf(tmp, sizeof tmp, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0],
		      mac[1], mac[2], mac[3], mac[4], mac[5]);
	out.put(tmp, 17);
}

} // namespace


extern "C" int tq_vsnprintf(char *buf, int size, const char *fmt, va_list ap)
{
	sink out{buf, size > 0 && buf ? static_cast<size_t>(size) : 0};
	if (!fmt) {
		out.finish();
		return 0;
	}
	va_list args;
	va_copy(args, ap);
	const char *p = fmt;
	while (*p) {
		if (*p != '%') {
			const char *q = std::strchr(p, '%');
			size_t n = q ? static_cast<size_t>(q - p) : std::strlen(p);
			out.put(p, n);
			p += n;
			continue;
		}
		const char *start = p++;
		if (*p == '%') {
			out.put("%", 1);
			++p;
			continue;
		}
		stars st;
		while (*p && std::strchr("-+ #0'", *p))
			++p;
		if (*p == '*') {
			st.width = true;
			st.w = va_arg(args, int);
			++p;
		} else {
			while (*p >= '0' && *p <= '9')
				++p;
		}
		if (*p == '.') {
			++p;
			if (*p == '*') {
				st.prec = true;
				st.p = va_arg(args, int);
				++p;
			} else {
				while (*p >= '0' && *p <= '9')
					++p;
			}
		}
		length len = length::none;
		switch (*p) {
		case 'h': len = p[1] == 'h' ? (++p, length::hh) : length::h; ++p; break;
		case 'l': len = p[1] == 'l' ? (++p, length::ll) : length::l; ++p; break;
		case 'q': len = length::ll; ++p; break;
		case 'j': len = length::j; ++p; break;
		case 'z': len = length::z; ++p; break;
		case 't': len = length::t; ++p; break;
		case 'L': len = length::L; ++p; break;
		default: break;
		}
		char conv = *p;
		if (!conv) {
			out.put(start, static_cast<size_t>(p - start));
			break;
		}
		++p;
		// The conversion on its own, '*' kept so that width and precision
		// reach snprintf as arguments again.
		char spec[64];
		size_t spec_len = static_cast<size_t>(p - start);
		if (spec_len >= sizeof spec) {
			out.put(start, spec_len);
			continue;
		}
		std::memcpy(spec, start, spec_len);
		spec[spec_len] = '\0';

		switch (conv) {
		case 'm':
			emit_mac(out, va_arg(args, const unsigned char *));
			break;
		case 'd': case 'i':
			switch (len) {
			case length::ll: emit(out, spec, st, va_arg(args, long long)); break;
			case length::l: emit(out, spec, st, va_arg(args, long)); break;
			case length::j: emit(out, spec, st, va_arg(args, intmax_t)); break;
			case length::z: case length::t: emit(out, spec, st, va_arg(args, ptrdiff_t)); break;
			default: emit(out, spec, st, va_arg(args, int)); break;
			}
			break;
		case 'u': case 'o': case 'x': case 'X':
			switch (len) {
			case length::ll: emit(out, spec, st, va_arg(args, unsigned long long)); break;
			case length::l: emit(out, spec, st, va_arg(args, unsigned long)); break;
			case length::j: emit(out, spec, st, va_arg(args, uintmax_t)); break;
			case length::z: case length::t: emit(out, spec, st, va_arg(args, size_t)); break;
			default: emit(out, spec, st, va_arg(args, unsigned)); break;
			}
			break;
		case 'c':
			if (len == length::l)
				emit(out, spec, st, va_arg(args, wint_t));
			else
				emit(out, spec, st, va_arg(args, int));
			break;
		case 's':
			if (len == length::l) {
				emit(out, spec, st, va_arg(args, const wchar_t *));
			} else {
				const char *s = va_arg(args, const char *);
				emit(out, spec, st, s ? s : "(null)");
			}
			break;
		case 'p':
			emit(out, spec, st, va_arg(args, void *));
			break;
		case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
			if (len == length::L)
				emit(out, spec, st, va_arg(args, long double));
			else
				emit(out, spec, st, va_arg(args, double));
			break;
		case 'n':
			// Writing through a pointer taken from a log format is refused.
			(void)va_arg(args, void *);
			break;
		default:
			out.put(start, spec_len);
			break;
		}
	}
	va_end(args);
	out.finish();
	return out.len > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(out.len);
}

extern "C" int tq_snprintf(char *buf, int size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = tq_vsnprintf(buf, size, fmt, ap);
	va_end(ap);
	return n;
}

extern "C" int tq_sprintf(char *buf, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	// Like sprintf: the caller vouches for the room.
	int n = tq_vsnprintf(buf, INT32_MAX, fmt, ap);
	va_end(ap);
	return n;
}
