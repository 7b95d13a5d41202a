#include "sctp/Dcep.hpp"

#include <gtest/gtest.h>

#include <initializer_list>

using namespace rtc::impl;
using namespace std::chrono_literals;

namespace {

std::vector<std::byte> bytes(std::initializer_list<int> values) {
    std::vector<std::byte> out;
    for (int v : values)
        out.push_back(static_cast<std::byte>(v));
    return out;
}

} // namespace

TEST(Dcep, OpenHasTheWireLayout) {
    ChannelReliability reliability;
    reliability.unordered = true;
    reliability.maxRetransmits = 0x01020304;
    auto wire = DcepMessage::open("ab", "xyz", reliability, 0x0100).serialize();
    // type, channel type, priority, reliability parameter, label length, protocol length, label,
    // protocol; all integers big-endian.
    EXPECT_EQ(wire, bytes({0x03, 0x81, 0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x02, 0x00, 0x03,
                           'a', 'b', 'x', 'y', 'z'}));
    EXPECT_EQ(DcepMessage::ack().serialize(), bytes({0x02}));
}

TEST(Dcep, EveryChannelTypeSurvivesARoundTrip) {
    std::vector<ChannelReliability> kinds(6);
    kinds[1].unordered = true;
    kinds[2].maxRetransmits = 0;
    kinds[3].unordered = true;
    kinds[3].maxRetransmits = 5;
    kinds[4].maxPacketLifeTime = 150ms;
    kinds[5].unordered = true;
    kinds[5].maxPacketLifeTime = 0ms;
    const std::uint8_t expectedType[] = {0x00, 0x80, 0x01, 0x81, 0x02, 0x82};
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        auto message = DcepMessage::open("label " + std::to_string(i), "proto", kinds[i]);
        EXPECT_EQ(message.channelType, expectedType[i]);
        auto parsed = DcepMessage::parse(message.serialize());
        ASSERT_TRUE(parsed) << i;
        EXPECT_EQ(parsed->type, DcepMessage::Type::Open);
        EXPECT_EQ(parsed->label, "label " + std::to_string(i));
        EXPECT_EQ(parsed->protocol, "proto");
        EXPECT_EQ(parsed->reliability(), kinds[i]) << i;
    }
    auto ack = DcepMessage::parse(bytes({0x02}));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->type, DcepMessage::Type::Ack);
}

TEST(Dcep, EmptyLabelAndBinaryLabelBytesAreKept) {
    auto parsed = DcepMessage::parse(bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0x00, 0x02, 0x00, 0x00, 0x00, 0xFF}));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->label, std::string("\0\xFF", 2));
    EXPECT_TRUE(parsed->protocol.empty());
    auto empty = DcepMessage::parse(bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->label.empty());
}

TEST(Dcep, MalformedMessagesAreRejected) {
    const std::vector<std::vector<std::byte>> bad = {
        {},
        bytes({0x04}),                                                // unknown message type
        bytes({0x02, 0x00}),                                          // ACK with trailing bytes
        bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}),               // header one byte short
        bytes({0x03, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),            // unknown channel type
        bytes({0x03, 0x83, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),            // unknown unordered type
        bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 'a', 'b'}),  // label longer than message
        bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 'a'}),       // protocol missing
        bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 'a', 'b'}),  // trailing garbage
        bytes({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}), // huge lengths
    };
    for (std::size_t i = 0; i < bad.size(); ++i)
        EXPECT_FALSE(DcepMessage::parse(bad[i])) << "case " << i;
}

TEST(Dcep, OverlongLabelCannotBeSerialised) {
    auto message = DcepMessage::open(std::string(70000, 'l'), "", {});
    EXPECT_THROW(message.serialize(), std::length_error);
}
