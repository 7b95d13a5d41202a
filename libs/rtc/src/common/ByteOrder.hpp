#pragma once

// Big-endian (network order) integers in byte buffers, for every wire format of librtc.
// Callers check the length before reading or writing; these do no bounds checks.

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace rtc::impl {

namespace byteorder_detail {
template <typename B>
concept Octet = std::is_same_v<B, std::byte> || std::is_same_v<B, std::uint8_t>;

template <typename T, Octet B>
constexpr T read(const B* p, int n) {
    T v = 0;
    for (int i = 0; i < n; ++i) v = static_cast<T>(v << 8 | static_cast<T>(static_cast<std::uint8_t>(p[i])));
    return v;
}

template <Octet B>
constexpr void write(B* p, std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<B>(v & 0xFF);
}

template <Octet B>
void append(std::vector<B>& out, std::uint64_t v, int n) {
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n));
    write(out.data() + at, v, n);
}
} // namespace byteorder_detail

template <byteorder_detail::Octet B>
constexpr std::uint16_t readU16(const B* p) { return byteorder_detail::read<std::uint16_t>(p, 2); }
template <byteorder_detail::Octet B>
constexpr std::uint32_t readU24(const B* p) { return byteorder_detail::read<std::uint32_t>(p, 3); }
template <byteorder_detail::Octet B>
constexpr std::uint32_t readU32(const B* p) { return byteorder_detail::read<std::uint32_t>(p, 4); }
template <byteorder_detail::Octet B>
constexpr std::uint64_t readU64(const B* p) { return byteorder_detail::read<std::uint64_t>(p, 8); }

// At an offset into a span the caller has already checked to be long enough.
template <byteorder_detail::Octet B>
constexpr std::uint16_t readU16(std::span<const B> s, std::size_t at) { return readU16(s.data() + at); }
template <byteorder_detail::Octet B>
constexpr std::uint32_t readU24(std::span<const B> s, std::size_t at) { return readU24(s.data() + at); }
template <byteorder_detail::Octet B>
constexpr std::uint32_t readU32(std::span<const B> s, std::size_t at) { return readU32(s.data() + at); }
template <byteorder_detail::Octet B>
constexpr std::uint64_t readU64(std::span<const B> s, std::size_t at) { return readU64(s.data() + at); }

template <byteorder_detail::Octet B>
constexpr void writeU16(B* p, std::uint16_t v) { byteorder_detail::write(p, v, 2); }
template <byteorder_detail::Octet B>
constexpr void writeU24(B* p, std::uint32_t v) { byteorder_detail::write(p, v, 3); } // low 24 bits
template <byteorder_detail::Octet B>
constexpr void writeU32(B* p, std::uint32_t v) { byteorder_detail::write(p, v, 4); }
template <byteorder_detail::Octet B>
constexpr void writeU64(B* p, std::uint64_t v) { byteorder_detail::write(p, v, 8); }

template <byteorder_detail::Octet B>
void appendU16(std::vector<B>& out, std::uint16_t v) { byteorder_detail::append(out, v, 2); }
template <byteorder_detail::Octet B>
void appendU24(std::vector<B>& out, std::uint32_t v) { byteorder_detail::append(out, v, 3); } // low 24 bits
template <byteorder_detail::Octet B>
void appendU32(std::vector<B>& out, std::uint32_t v) { byteorder_detail::append(out, v, 4); }
template <byteorder_detail::Octet B>
void appendU64(std::vector<B>& out, std::uint64_t v) { byteorder_detail::append(out, v, 8); }

} // namespace rtc::impl
