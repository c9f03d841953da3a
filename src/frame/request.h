// Requests handed to the kernel module: a byte area with typed access at
// fixed offsets, in the processor's order or big-endian where the wire
// says so. Offsets are template arguments, so an access past the area
// does not compile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace syslib {

template <std::size_t N>
class request_area {
public:
	static constexpr std::size_t size = N;

	// Zeroed at birth: bytes a command does not set carry no stale stack.
	request_area() noexcept : bytes_{} {}

	void *data() noexcept { return bytes_.data(); }
	const void *data() const noexcept { return bytes_.data(); }
	const std::byte *at(std::size_t off) const noexcept { return bytes_.data() + off; }

	template <std::size_t Off>
	void put_u32(uint32_t v) noexcept
	{
		static_assert(Off + 4 <= N);
		std::memcpy(bytes_.data() + Off, &v, 4);
	}
	template <std::size_t Off>
	uint32_t get_u32() const noexcept
	{
		static_assert(Off + 4 <= N);
		uint32_t v;
		std::memcpy(&v, bytes_.data() + Off, 4);
		return v;
	}

	template <std::size_t Off>
	void put_be32(uint32_t v) noexcept
	{
		static_assert(Off + 4 <= N);
		for (std::size_t i = 0; i < 4; ++i)
			bytes_[Off + i] = static_cast<std::byte>(v >> (24 - 8 * i));
	}
	template <std::size_t Off>
	uint32_t get_be32() const noexcept
	{
		static_assert(Off + 4 <= N);
		uint32_t v = 0;
		for (std::size_t i = 0; i < 4; ++i)
			v = (v << 8) | static_cast<uint32_t>(bytes_[Off + i]);
		return v;
	}

	// The address of caller memory the module writes to. On the device a
	// pointer is one 32-bit word; a 64-bit host keeps the high word eight
	// bytes further on, where the device has zero.
	template <std::size_t Off>
	void put_address(const void *p) noexcept
	{
		auto a = reinterpret_cast<std::uintptr_t>(p);
		put_u32<Off>(static_cast<uint32_t>(a));
#if UINTPTR_MAX > UINT32_MAX
		put_u32<Off + 8>(static_cast<uint32_t>(a >> 32));
#endif
	}

	template <std::size_t Off, std::size_t Len>
	void put_bytes(const void *src) noexcept
	{
		static_assert(Off + Len <= N);
		std::memcpy(bytes_.data() + Off, src, Len);
	}
	template <std::size_t Off, std::size_t Len>
	void get_bytes(void *dst) const noexcept
	{
		static_assert(Off + Len <= N);
		std::memcpy(dst, bytes_.data() + Off, Len);
	}

	// Copies caller bytes of a length known only at run time; refuses,
	// without writing, what would not fit.
	bool put_span(std::size_t off, const void *src, std::size_t len) noexcept
	{
		if (off > N || len > N - off)
			return false;
		if (len)
			std::memcpy(bytes_.data() + off, src, len);
		return true;
	}

private:
	alignas(8) std::array<std::byte, N> bytes_;
};

} // namespace syslib
