#include <gtest/gtest.h>

#include "ErrorOf.hpp"

#include <cstring>
#include <set>
#include <stdexcept>
#include <string>

#include "protocol/RequestId.hpp"

namespace murel {
namespace {

using test::errorOf;

static_assert(sizeof(Guid) == 16, "Guid must have the in-memory layout of a Windows GUID");

TEST(RequestId, FormatsLikeTheWindowsGuidText) {
    const Guid guid{0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
    EXPECT_EQ(formatRequestId(guid), "00112233-4455-6677-8899-AABBCCDDEEFF");
    // Leading zeros are kept in every group.
    EXPECT_EQ(formatRequestId(Guid{0x1, 0x2, 0x3, {0, 4, 0, 0, 0, 0, 0, 5}}), "00000001-0002-0003-0004-000000000005");
    EXPECT_EQ(formatRequestId(Guid{0xFFFFFFFF, 0xFFFF, 0xFFFF, {255, 255, 255, 255, 255, 255, 255, 255}}),
              "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF");
}

TEST(RequestId, RawBytesAreLittleEndianInTheFirstThreeFields) {
    const std::uint8_t bytes[16] = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    const Guid guid = guidFromBytes(std::span<const std::uint8_t, 16>(bytes));
    EXPECT_EQ(formatRequestId(guid), "00112233-4455-6677-8899-AABBCCDDEEFF");
    // Same result as reading the bytes straight into the structure on this little-endian machine.
    Guid copied;
    std::memcpy(&copied, bytes, sizeof bytes);
    EXPECT_EQ(copied, guid);
}

TEST(RequestId, NewIdFromSource) {
    const Guid fixed{0xDEADBEEF, 0x0123, 0x4567, {0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67}};
    EXPECT_EQ(newRequestId([&] { return std::optional<Guid>(fixed); }), "DEADBEEF-0123-4567-89AB-CDEF01234567");
    EXPECT_EQ(errorOf([] { newRequestId([] { return std::optional<Guid>(); }); }),
              "Cannot create stream settings request");
    EXPECT_EQ(errorOf([] {
                  newRequestId([]() -> std::optional<Guid> { throw std::runtime_error("no entropy"); });
              }),
              "Cannot create stream settings request");
    EXPECT_EQ(errorOf([] { newRequestId(GuidSource{}); }), "Cannot create stream settings request");
}

TEST(RequestId, RandomSourceGivesDistinctVersion4Ids) {
    const GuidSource source = randomGuidSource();
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string id = newRequestId(source);
        ASSERT_EQ(id.size(), kRequestIdLength);
        EXPECT_EQ(parseRequestId(Json(id)), id);  // valid and already upper case
        EXPECT_EQ(id[14], '4') << id;
        EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(RequestId, ReceivedIdValidation) {
    EXPECT_EQ(parseRequestId(Json("00112233-4455-6677-8899-aabbccddeeff")), "00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_EQ(parseRequestId(Json("aBcDeF01-2345-6789-AbCd-Ef0123456789")), "ABCDEF01-2345-6789-ABCD-EF0123456789");
    // Braces, as the Windows formatter writes them, are not part of an ID.
    EXPECT_EQ(parseRequestId(Json("{00112233-4455-6677-8899-AABBCCDDEEFF}")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json("{0112233-4455-6677-8899-AABBCCDDEEF}")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json("00112233-4455-6677-8899-AABBCCDDEEF")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json("00112233-4455-6677-8899-AABBCCDDEEFF0")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json("001122334-455-6677-8899-AABBCCDDEEFF")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json("00112233-4455-6677-8899-AABBCCDDEEF-")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json("00112233_4455-6677-8899-AABBCCDDEEFF")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json("00112233-4455-6677-889G-AABBCCDDEEFF")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json("00112233-4455-6677-8899-AABBCCDDEE f")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json(std::string("00112233-4455-6677-8899-AABBCCDDEE\0F", 36))), std::nullopt);
    EXPECT_EQ(parseRequestId(Json("00112233-4455-6677-8899-AABBCCDDE\xC3\xA9")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json("")), std::nullopt);
    EXPECT_EQ(parseRequestId(Json(1234)), std::nullopt);
    EXPECT_EQ(parseRequestId(Json()), std::nullopt);
    EXPECT_EQ(parseRequestId(Json::array({"00112233-4455-6677-8899-AABBCCDDEEFF"})), std::nullopt);
}

}  // namespace
}  // namespace murel
