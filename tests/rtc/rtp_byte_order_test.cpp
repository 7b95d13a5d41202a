// Big-endian integers in byte buffers, shared by every wire format of the WebRTC layer.
#include "common/ByteOrder.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

using namespace rtc::impl;

TEST(ByteOrder, ReadsKnownPatternsMostSignificantByteFirst) {
    const std::array<std::uint8_t, 9> b{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFF};
    EXPECT_EQ(readU16(b.data()), 0x0123u);
    EXPECT_EQ(readU24(b.data()), 0x012345u);
    EXPECT_EQ(readU32(b.data()), 0x01234567u);
    EXPECT_EQ(readU64(b.data()), 0x0123456789ABCDEFull);
    // High bytes must not sign-extend or spill into the neighbours.
    EXPECT_EQ(readU16(b.data() + 7), 0xEFFFu);
    EXPECT_EQ(readU24(b.data() + 6), 0xCDEFFFu);
    EXPECT_EQ(readU32(b.data() + 5), 0xABCDEFFFu);
    EXPECT_EQ(readU64(b.data() + 1), 0x23456789ABCDEFFFull);

    const std::array<std::byte, 4> s{std::byte{0xFF}, std::byte{0x80}, std::byte{0x00}, std::byte{0x7F}};
    EXPECT_EQ(readU32(s.data()), 0xFF80007Fu);
    EXPECT_EQ(readU16(std::span<const std::byte>(s), 1), 0x8000u);
    EXPECT_EQ(readU24(std::span<const std::byte>(s), 1), 0x80007Fu);
}

TEST(ByteOrder, WritesKnownPatternsAndTouchesOnlyTheirBytes) {
    std::array<std::uint8_t, 10> b;
    b.fill(0xEE);
    writeU24(b.data() + 1, 0xFFABCDEF); // only the low 24 bits go out
    EXPECT_EQ(b, (std::array<std::uint8_t, 10>{0xEE, 0xAB, 0xCD, 0xEF, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    b.fill(0xEE);
    writeU64(b.data() + 1, 0x0102030405060708ull);
    EXPECT_EQ(b, (std::array<std::uint8_t, 10>{0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 0xEE}));

    std::array<std::byte, 4> s{};
    writeU16(s.data() + 1, 0xBEEF);
    EXPECT_EQ(s[0], std::byte{0});
    EXPECT_EQ(s[1], std::byte{0xBE});
    EXPECT_EQ(s[2], std::byte{0xEF});
    EXPECT_EQ(s[3], std::byte{0});
}

TEST(ByteOrder, AppendsInNetworkOrder) {
    std::vector<std::uint8_t> out{0x42};
    appendU16(out, 0x0102);
    appendU24(out, 0xAA030405);
    appendU32(out, 0x06070809);
    appendU64(out, 0x0A0B0C0D0E0F1011ull);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x42, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));

    std::vector<std::byte> bytes;
    appendU32(bytes, 0xDEADBEEF);
    ASSERT_EQ(bytes.size(), 4u);
    EXPECT_EQ(bytes[0], std::byte{0xDE});
    EXPECT_EQ(bytes[3], std::byte{0xEF});
}

TEST(ByteOrder, RoundTripsAtEveryUnalignedOffset) {
    const std::uint64_t values[] = {0, 1, 0x80, 0xFF, 0x8000, 0xFFFF, 0x800000, 0xFFFFFF, 0x80000000u,
                                    0xFFFFFFFFu, 0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull,
                                    0x0123456789ABCDEFull};
    for (std::size_t at = 0; at < 8; ++at) {
        for (std::uint64_t v : values) {
            std::array<std::byte, 16> b{};
            writeU16(b.data() + at, std::uint16_t(v));
            EXPECT_EQ(readU16(b.data() + at), std::uint16_t(v)) << at;
            writeU24(b.data() + at, std::uint32_t(v));
            EXPECT_EQ(readU24(b.data() + at), std::uint32_t(v) & 0xFFFFFF) << at;
            writeU32(b.data() + at, std::uint32_t(v));
            EXPECT_EQ(readU32(b.data() + at), std::uint32_t(v)) << at;
            writeU64(b.data() + at, v);
            EXPECT_EQ(readU64(b.data() + at), v) << at;
            EXPECT_EQ(readU64(std::span<const std::byte>(b), at), v) << at;
        }
    }
}
