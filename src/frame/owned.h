// Owners for descriptors, streams and directories: whatever a call opens
// is released on every path out of it.
#pragma once

#include <cstdio>
#include <dirent.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

#include "tq_runtime.h"

namespace syslib {

template <class T, auto Release>
class owned {
public:
	owned() = default;
	explicit owned(T v) noexcept : v_(v) {}
	owned(owned &&o) noexcept : v_(std::exchange(o.v_, invalid())) {}
	owned &operator=(owned &&o) noexcept
	{
		if (this != &o)
			reset(std::exchange(o.v_, invalid()));
		return *this;
	}
	owned(const owned &) = delete;
	owned &operator=(const owned &) = delete;
	~owned() { reset(); }

	T get() const noexcept { return v_; }
	bool valid() const noexcept
	{
		if constexpr (std::is_pointer_v<T>)
			return v_ != nullptr;
		else
			return v_ >= 0;
	}
	explicit operator bool() const noexcept { return valid(); }

	// Releases now; the result of the release is not looked at.
	void reset(T v = invalid()) noexcept
	{
		if (valid())
			(void)Release(v_);
		v_ = v;
	}
	T release() noexcept { return std::exchange(v_, invalid()); }

private:
	static constexpr T invalid() noexcept
	{
		if constexpr (std::is_pointer_v<T>)
			return nullptr;
		else
			return -1;
	}
	T v_ = invalid();
};

using runtime_fd = owned<int, &tq_close>;     // opened with tq_open
using libc_fd = owned<int, &::close>;         // opened with open
using file_stream = owned<FILE *, &::fclose>;
using pipe_stream = owned<FILE *, &::pclose>;
using directory = owned<DIR *, &::closedir>;

} // namespace syslib
