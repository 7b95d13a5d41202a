// RTP and RTCP reading and writing: what is written reads back the same, and malformed packets
// are refused as a whole.
#include "rtc/Rtcp.hpp"
#include "rtc/RtpPacket.hpp"

#include "rtp_test_support.hpp"

#include <gtest/gtest.h>

using namespace rtc;
using namespace rtptest;

TEST(RtpPacketFormat, WrittenPacketsReadBackWithCsrcsExtensionsAndPadding) {
    RtpHeaderFields h = header(0xFFFE, 0xDEADBEEF, true, 0x01020304, 96);
    h.csrcs = {7, 8, 9};
    h.extensions = {{3, bytes({0xAA})}, {5, bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})}};
    const binary payload = bytes({0x65, 1, 2, 3});
    const binary packet = RtpPacket::build(h, payload, 5);
    const auto p = RtpPacket::parse(packet);
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->marker());
    EXPECT_EQ(p->payloadType(), 96);
    EXPECT_EQ(p->sequenceNumber(), 0xFFFE);
    EXPECT_EQ(p->timestamp(), 0xDEADBEEFu);
    EXPECT_EQ(p->ssrc(), 0x01020304u);
    ASSERT_EQ(p->csrcCount(), 3u);
    EXPECT_EQ(p->csrc(2), 9u);
    EXPECT_EQ(p->extensionProfile(), 0xBEDE);
    ASSERT_TRUE(p->extension(3));
    EXPECT_EQ(binary(p->extension(3)->begin(), p->extension(3)->end()), bytes({0xAA}));
    ASSERT_TRUE(p->extension(5));
    EXPECT_EQ(p->extension(5)->size(), 16u);
    EXPECT_FALSE(p->extension(4));
    EXPECT_EQ(p->paddingSize(), 5u);
    EXPECT_EQ(binary(p->payload().begin(), p->payload().end()), payload);

    // An element beyond the one-byte form switches to the two-byte form.
    h.extensions = {{20, bytes({1, 2})}, {2, binary(17, std::byte{9})}};
    const binary twoByte = RtpPacket::build(h, payload);
    const auto q = RtpPacket::parse(twoByte);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->extensionProfile(), 0x1000);
    ASSERT_TRUE(q->extension(20));
    EXPECT_EQ(q->extension(2)->size(), 17u);
    EXPECT_EQ(binary(q->payload().begin(), q->payload().end()), payload);

    RtpHeaderFields bad = header(1, 1, false);
    bad.csrcs.assign(16, 1);
    EXPECT_THROW(RtpPacket::build(bad, payload), std::invalid_argument);
    bad = header(1, 1, false);
    bad.payloadType = 128;
    EXPECT_THROW(RtpPacket::build(bad, payload), std::invalid_argument);
    bad = header(1, 1, false);
    bad.extensions = {{0, bytes({1})}};
    EXPECT_THROW(RtpPacket::build(bad, payload), std::invalid_argument);
}

TEST(RtpPacketFormat, MalformedPacketsAreRefused) {
    const binary good = RtpPacket::build(header(1, 2, false), bytes({0x41, 0x9A}));
    ASSERT_TRUE(RtpPacket::parse(good));
    EXPECT_FALSE(RtpPacket::parse(binary(good.begin(), good.begin() + 11)));
    binary v1 = good;
    v1[0] = std::byte{0x40};
    EXPECT_FALSE(RtpPacket::parse(v1));
    binary csrc = good;
    csrc[0] = std::byte{0x81};  // one CSRC needs 4 bytes, 2 are there
    EXPECT_FALSE(RtpPacket::parse(csrc));
    binary extension = good;
    extension[0] = std::byte{0x90};  // extension header needs 4 bytes
    EXPECT_FALSE(RtpPacket::parse(extension));
    binary extensionLength = RtpPacket::build(header(1, 2, false), bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    extensionLength[0] = std::byte{0x90};
    extensionLength[14] = std::byte{0};
    extensionLength[15] = std::byte{2};  // 8 bytes claimed, 4 left
    EXPECT_FALSE(RtpPacket::parse(extensionLength));
    extensionLength[15] = std::byte{1};  // 4 bytes claimed: fits exactly, empty payload
    ASSERT_TRUE(RtpPacket::parse(extensionLength));
    EXPECT_TRUE(RtpPacket::parse(extensionLength)->payload().empty());
    binary padZero = good;
    padZero[0] = std::byte{0xA0};
    padZero.back() = std::byte{0};
    EXPECT_FALSE(RtpPacket::parse(padZero));
    binary padLong = good;
    padLong[0] = std::byte{0xA0};
    padLong.back() = std::byte{3};  // 2 bytes after the header
    EXPECT_FALSE(RtpPacket::parse(padLong));
    padLong.back() = std::byte{2};
    EXPECT_TRUE(RtpPacket::parse(padLong));

    // Malformed extension element lists are not read past.
    binary elements = RtpPacket::build(header(1, 2, false), {});
    elements[0] = std::byte{0x90};
    elements.insert(elements.end(), {std::byte{0xBE}, std::byte{0xDE}, std::byte{0}, std::byte{1}, std::byte{0x13},
                                     std::byte{1}, std::byte{2}, std::byte{3}});  // id 1 claims 4 bytes, 3 there
    const auto e = RtpPacket::parse(elements);
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->extension(1));

    EXPECT_TRUE(isRtcp(bytes({0x80, 200, 0, 6})));
    EXPECT_TRUE(isRtcp(bytes({0x81, 206})));
    EXPECT_FALSE(isRtcp(good));
    EXPECT_FALSE(isRtcp(bytes({0x80})));
}

TEST(RtcpFormat, CompoundOfEveryTypeReadsBackTheSame) {
    rtcp::ReportBlock block{0x11, 25, -5, 0x10005, 77, 0xABCD1234, 65536};
    rtcp::SenderReport sr{1, 0x0102030405060708ull, 90000, 1000, 1234567, {block}};
    rtcp::ReceiverReport rr{2, {block, rtcp::ReportBlock{0x12, 0, 0x7FFFFF, 1, 2, 3, 4}}};
    rtcp::SourceDescription sdes{{{1, {{1, "murel-screen"}}}, {2, {{1, "abc"}, {2, "name"}}}}};
    rtcp::Goodbye bye{{1, 2}, "done"};
    rtcp::Nack nack{2, 1, {100, 101, 116, 117, 65535, 0}};
    rtcp::PictureLossIndication pli{2, 1};
    rtcp::FullIntraRequest fir{2, {{1, 7}, {3, 255}}};
    rtcp::Other app{204, 3, bytes({1, 2, 3, 4, 'n', 'a', 'm', 'e'})};
    binary compound;
    rtcp::write(compound, sr);
    rtcp::write(compound, rr);
    rtcp::write(compound, sdes);
    rtcp::write(compound, bye);
    rtcp::write(compound, nack);
    rtcp::write(compound, pli);
    rtcp::write(compound, fir);
    rtcp::write(compound, app);
    ASSERT_TRUE(rtcp::isValidCompound(compound));
    const auto packets = rtcp::parse(compound);
    ASSERT_TRUE(packets);
    ASSERT_EQ(packets->size(), 8u);
    EXPECT_EQ(std::get<rtcp::SenderReport>((*packets)[0]), sr);
    EXPECT_EQ(std::get<rtcp::ReceiverReport>((*packets)[1]), rr);
    EXPECT_EQ(std::get<rtcp::SourceDescription>((*packets)[2]), sdes);
    EXPECT_EQ(std::get<rtcp::Goodbye>((*packets)[3]), bye);
    // 100 with 101 and 116 in its bitmask; 117 alone (17 after 100); 65535 with 0 after the wrap.
    const auto& nackBack = std::get<rtcp::Nack>((*packets)[4]);
    EXPECT_EQ(nackBack.lost, (std::vector<uint16_t>{100, 101, 116, 117, 65535, 0}));
    EXPECT_EQ(std::get<rtcp::PictureLossIndication>((*packets)[5]), pli);
    EXPECT_EQ(std::get<rtcp::FullIntraRequest>((*packets)[6]), fir);
    EXPECT_EQ(std::get<rtcp::Other>((*packets)[7]), app);
    // Sizes on the wire are those of the formats.
    binary one;
    rtcp::write(one, pli);
    EXPECT_EQ(one.size(), 12u);
    one.clear();
    rtcp::write(one, nack);
    EXPECT_EQ(one.size(), 12u + 4 * 3);
    one.clear();
    rtcp::write(one, sr);
    EXPECT_EQ(one.size(), 28u + 24);

    EXPECT_THROW(rtcp::write(one, rtcp::ReceiverReport{1, std::vector<rtcp::ReportBlock>(32)}), std::invalid_argument);
    EXPECT_THROW(rtcp::write(one, rtcp::Nack{1, 2, {}}), std::invalid_argument);
    EXPECT_THROW(rtcp::write(one, rtcp::Goodbye{{1}, std::string(256, 'x')}), std::invalid_argument);
}

TEST(RtcpFormat, MalformedCompoundsAreRefusedWhole) {
    binary pli;
    rtcp::write(pli, rtcp::PictureLossIndication{2, 1});
    binary rr;
    rtcp::write(rr, rtcp::ReceiverReport{2, {rtcp::ReportBlock{}}});
    binary good = rr;
    good.insert(good.end(), pli.begin(), pli.end());
    ASSERT_TRUE(rtcp::parse(good));

    auto refused = [](binary b) { return !rtcp::parse(b) && !rtcp::isValidCompound(b); };
    EXPECT_TRUE(refused({}));
    EXPECT_TRUE(refused(binary(good.begin(), good.begin() + 3)));
    binary version = good;
    version[rr.size()] = std::byte{0x41};  // second packet version 1
    EXPECT_TRUE(refused(version));
    binary truncated(good.begin(), good.end() - 4);  // the PLI's length runs past the end
    EXPECT_TRUE(refused(truncated));
    binary trailing = good;
    trailing.push_back(std::byte{0x80});  // a partial header after the last packet
    EXPECT_TRUE(refused(trailing));
    // Padding on a packet that is not the last one.
    binary paddedFirst = good;
    paddedFirst[0] |= std::byte{0x20};
    EXPECT_TRUE(refused(paddedFirst));
    // Padding on the last packet is fine when its count fits; zero or too large is not.
    binary paddedLast = rr;
    paddedLast.insert(paddedLast.end(), {std::byte{0xA1}, std::byte{206}, std::byte{0}, std::byte{3}});
    paddedLast.insert(paddedLast.end(), pli.begin() + 4, pli.end());
    paddedLast.insert(paddedLast.end(), {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{4}});
    ASSERT_TRUE(rtcp::parse(paddedLast));
    EXPECT_TRUE(std::holds_alternative<rtcp::PictureLossIndication>(rtcp::parse(paddedLast)->back()));
    paddedLast.back() = std::byte{0};
    EXPECT_TRUE(refused(paddedLast));
    paddedLast.back() = std::byte{13};
    EXPECT_TRUE(refused(paddedLast));

    // Decoding errors inside a structurally sound compound reject it as well.
    auto body = [](int first, int type, std::initializer_list<int> words) {
        binary b = bytes({first, type, 0, int(words.size())});
        for (int w : words) b.insert(b.end(), {std::byte(w >> 24), std::byte(w >> 16), std::byte(w >> 8), std::byte(w)});
        return b;
    };
    EXPECT_FALSE(rtcp::parse(body(0x81, 201, {2})));                 // RR claims one block, has none
    EXPECT_FALSE(rtcp::parse(body(0x80, 200, {1, 2, 3, 4, 5})));     // SR body too short
    EXPECT_FALSE(rtcp::parse(body(0x81, 205, {2, 1})));              // NACK without FCI
    EXPECT_FALSE(rtcp::parse(body(0x81, 206, {2, 1, 5})));           // PLI with an FCI
    EXPECT_FALSE(rtcp::parse(body(0x84, 206, {2, 0})));              // FIR without entries
    EXPECT_FALSE(rtcp::parse(body(0x84, 206, {2, 0, 1})));           // FIR entry cut short
    EXPECT_FALSE(rtcp::parse(body(0x82, 203, {1})));                 // BYE: 2 sources, 1 there
    EXPECT_FALSE(rtcp::parse(body(0x81, 203, {1, 0x05616263})));     // BYE reason past the end
    EXPECT_FALSE(rtcp::parse(body(0x81, 202, {1, 0x01056162})));     // SDES item past the end
    EXPECT_FALSE(rtcp::parse(body(0x81, 202, {1, 0x01026162})));     // SDES chunk without end item
    EXPECT_FALSE(rtcp::parse(body(0x81, 202, {1, 0x01016100, 7})));  // SDES junk after the chunk
    EXPECT_FALSE(rtcp::parse(body(0x81, 202, {1, 0x01026162, 0x00000100})));  // non-zero padding
    EXPECT_TRUE(rtcp::parse(body(0x81, 202, {1, 0x01016100})));      // "a", end
    EXPECT_TRUE(rtcp::parse(body(0x81, 202, {1, 0x01026162, 0})));   // "ab", end, padding
    EXPECT_FALSE(rtcp::parse(body(0x8F, 206, {2})));                 // unknown feedback shorter than its SSRCs
    EXPECT_TRUE(rtcp::parse(body(0x8F, 206, {2, 1})));               // unknown feedback kept as Other
}
