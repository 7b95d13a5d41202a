// The frame-complete receiver fed crafted RTP: what makes a frame, what is dropped with a loss
// report (which flushes the mailbox's video queue and asks for a keyframe), what is dropped
// silently, and how a restarted stream is picked up again.

#include <gtest/gtest.h>

#include "PeerTestSupport.hpp"
#include "peer/CompleteVideoDepacketizer.hpp"
#include "peer/Mailbox.hpp"

namespace murel {
namespace {

using namespace peertest;
using rtptest::rtp;
using K = PeerEventKind;

// FU-A fragments of one H.264 NAL unit, `pieces` of them.
std::vector<binary> fuA(const binary& nal, int pieces) {
    std::vector<binary> out;
    const uint8_t header = std::to_integer<uint8_t>(nal[0]);
    const std::size_t body = nal.size() - 1, step = (body + pieces - 1) / pieces;
    for (int i = 0; i < pieces; ++i) {
        const std::size_t from = 1 + i * step, to = std::min(nal.size(), from + step);
        binary p{std::byte((header & 0xE0) | 28),
                 std::byte((i == 0 ? 0x80 : 0) | (i == pieces - 1 ? 0x40 : 0) | (header & 0x1F))};
        p.insert(p.end(), nal.begin() + from, nal.begin() + to);
        out.push_back(std::move(p));
    }
    return out;
}

binary stapA(const std::vector<binary>& nals) {
    binary out{std::byte{0x78}};
    for (const auto& nal : nals) {
        out.push_back(std::byte(nal.size() >> 8));
        out.push_back(std::byte(nal.size() & 0xFF));
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

// HEVC fragmentation units of one NAL unit.
std::vector<binary> hevcFu(const binary& nal, int pieces) {
    std::vector<binary> out;
    const uint8_t type = (std::to_integer<uint8_t>(nal[0]) >> 1) & 0x3F;
    const std::size_t body = nal.size() - 2, step = (body + pieces - 1) / pieces;
    for (int i = 0; i < pieces; ++i) {
        const std::size_t from = 2 + i * step, to = std::min(nal.size(), from + step);
        binary p{std::byte(49 << 1), nal[1], std::byte((i == 0 ? 0x80 : 0) | (i == pieces - 1 ? 0x40 : 0) | type)};
        p.insert(p.end(), nal.begin() + from, nal.begin() + to);
        out.push_back(std::move(p));
    }
    return out;
}

binary hevcAp(const std::vector<binary>& nals) {
    binary out{std::byte(48 << 1), std::byte{0x01}};
    for (const auto& nal : nals) {
        out.push_back(std::byte(nal.size() >> 8));
        out.push_back(std::byte(nal.size() & 0xFF));
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

struct Receiver {
    std::shared_ptr<Mailbox> mailbox = std::make_shared<Mailbox>(nullptr);
    std::shared_ptr<CompleteVideoDepacketizer> depacketizer;
    uint16_t sequence = 100;
    uint32_t ssrc = 0x1234;

    explicit Receiver(std::int32_t codec = kCodecH264)
        : depacketizer(std::make_shared<CompleteVideoDepacketizer>(mailbox, codec)) {
        mailbox->chooseCodec(codec);
        mailbox->drain();
    }

    // Packets of one frame, numbered on from the last one.
    rtc::message_vector packets(uint32_t timestamp, const std::vector<binary>& payloads, bool marker = true) {
        rtc::message_vector out;
        for (std::size_t i = 0; i < payloads.size(); ++i)
            out.push_back(rtp(sequence++, timestamp, marker && i + 1 == payloads.size(), payloads[i], ssrc));
        return out;
    }

    rtc::message_ptr reassemble(const rtc::message_vector& frame) { return depacketizer->reassemble(frame); }

    // Whether a loss was reported since the last look.
    bool lossReported() {
        for (const auto& e : mailbox->drain().events)
            if (e.kind == K::VideoLoss) return true;
        return false;
    }

    // Through the whole handler (the base buffers by timestamp), as the track does.
    std::vector<rtc::message_ptr> incoming(rtc::message_vector messages) {
        depacketizer->incoming(messages, [](rtc::message_ptr) {});
        return messages;
    }
};

binary frameBytes(const rtc::message_ptr& frame) { return frame ? binary(*frame) : binary{}; }

TEST(CompleteVideoDepacketizer, CompleteFramesBecomeAnnexBAccessUnits) {
    Receiver r;
    const binary sps = h264Nal(7), pps = h264Nal(8), idr = h264Nal(5, 3000);
    // Single NAL unit packets.
    auto frame = r.reassemble(r.packets(9000, {sps, pps, idr}));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frameBytes(frame), annexB4({sps, pps, idr}));
    ASSERT_TRUE(frame->frameInfo);
    EXPECT_EQ(frame->frameInfo->timestamp, 9000u);
    // STAP-A then FU-A.
    std::vector<binary> payloads{stapA({sps, pps})};
    for (auto& p : fuA(idr, 3)) payloads.push_back(p);
    frame = r.reassemble(r.packets(12000, payloads));
    EXPECT_EQ(frameBytes(frame), annexB4({sps, pps, idr}));
    EXPECT_FALSE(r.lossReported());
}

TEST(CompleteVideoDepacketizer, CsrcsExtensionsAndPaddingAreSkipped) {
    Receiver r;
    const binary nal = h264Nal(1, 40);
    rtc::RtpHeaderFields h = rtptest::header(r.sequence++, 3000, true, r.ssrc);
    h.csrcs = {7, 8};
    h.extensions = {rtc::RtpExtensionElement{3, {std::byte{1}, std::byte{2}, std::byte{3}}}};
    auto packet = std::make_shared<rtc::Message>(rtc::RtpPacket::build(h, nal, 13));
    EXPECT_EQ(frameBytes(r.reassemble({packet})), annexB4({nal}));
    EXPECT_FALSE(r.lossReported());
}

TEST(CompleteVideoDepacketizer, GapBeforeAFrameStillDeliversItButReportsLoss) {
    Receiver r;
    ASSERT_TRUE(r.reassemble(r.packets(3000, {h264Nal(1)})));
    r.sequence += 2;  // two packets lost between frames
    auto frame = r.reassemble(r.packets(6000, {h264Nal(7), h264Nal(8), h264Nal(5)}));
    EXPECT_TRUE(frame) << "a complete frame after the gap is handed on";
    EXPECT_TRUE(r.lossReported());
    EXPECT_TRUE(r.reassemble(r.packets(9000, {h264Nal(1)})));
    EXPECT_FALSE(r.lossReported());
}

TEST(CompleteVideoDepacketizer, GapInsideAFrameDropsIt) {
    Receiver r;
    auto packets = r.packets(3000, fuA(h264Nal(5, 3000), 4));
    packets.erase(packets.begin() + 2);
    EXPECT_FALSE(r.reassemble(packets));
    EXPECT_TRUE(r.lossReported());
}

TEST(CompleteVideoDepacketizer, RepeatedPacketIsDroppedWithoutLoss) {
    Receiver r;
    auto first = r.packets(3000, {h264Nal(1)});
    ASSERT_TRUE(r.reassemble(first));
    EXPECT_FALSE(r.reassemble(first));
    EXPECT_FALSE(r.lossReported());
    EXPECT_TRUE(r.reassemble(r.packets(6000, {h264Nal(1)})));
    EXPECT_FALSE(r.lossReported());
}

TEST(CompleteVideoDepacketizer, SsrcChangeCountsAsGap) {
    Receiver r;
    ASSERT_TRUE(r.reassemble(r.packets(3000, {h264Nal(1)})));
    r.ssrc = 0x9999;  // sequence numbers go on contiguously
    EXPECT_TRUE(r.reassemble(r.packets(6000, {h264Nal(7), h264Nal(8), h264Nal(5)})));
    EXPECT_TRUE(r.lossReported());
}

TEST(CompleteVideoDepacketizer, RestartedStreamIsPickedUpAgain) {
    // A new SSRC whose numbers lie behind the old stream's, and a jump far backwards on the same
    // SSRC: both start over with a loss report instead of discarding the new stream for good.
    for (const bool newSsrc : {true, false}) {
        Receiver r;
        r.sequence = 40000;
        ASSERT_TRUE(r.reassemble(r.packets(3000, {h264Nal(1)})));
        r.sequence = newSsrc ? 39990 : 30000;
        if (newSsrc) r.ssrc = 0x4242;
        EXPECT_TRUE(r.reassemble(r.packets(3000, {h264Nal(7), h264Nal(8), h264Nal(5)}))) << newSsrc;
        EXPECT_TRUE(r.lossReported());
        EXPECT_TRUE(r.reassemble(r.packets(6000, {h264Nal(1)})));
        EXPECT_FALSE(r.lossReported());
    }
}

TEST(CompleteVideoDepacketizer, RestartedStreamThroughTheWholeHandler) {
    Receiver r;
    r.sequence = 50000;
    auto before = r.incoming(r.packets(3000, {h264Nal(7), h264Nal(8), h264Nal(5)}));
    ASSERT_EQ(before.size(), 1u);
    r.sequence = 49990;  // just behind the old stream
    r.ssrc = 0x5555;
    auto after = r.incoming(r.packets(100, {h264Nal(7), h264Nal(8), h264Nal(5)}));
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0]->frameInfo->timestamp, 100u);
    EXPECT_TRUE(r.lossReported());
    EXPECT_EQ(r.incoming(r.packets(200, {h264Nal(1)})).size(), 1u);
}

TEST(CompleteVideoDepacketizer, BrokenFragmentsDropTheFrame) {
    const binary idr = h264Nal(5, 600);
    {
        Receiver r;  // the series never ends
        auto pieces = fuA(idr, 3);
        pieces.pop_back();
        EXPECT_FALSE(r.reassemble(r.packets(3000, pieces)));
        EXPECT_TRUE(r.lossReported());
    }
    {
        Receiver r;  // a middle fragment whose rebuilt header differs (another NRI)
        auto pieces = fuA(idr, 3);
        pieces[1][0] = std::byte((std::to_integer<uint8_t>(pieces[1][0]) & 0x1F) | 0x20);
        EXPECT_FALSE(r.reassemble(r.packets(3000, pieces)));
        EXPECT_TRUE(r.lossReported());
    }
    {
        Receiver r;  // a fragment without a start
        auto pieces = fuA(idr, 3);
        pieces.erase(pieces.begin());
        EXPECT_FALSE(r.reassemble(r.packets(3000, pieces)));
        EXPECT_TRUE(r.lossReported());
    }
    {
        Receiver r;  // start and end bits together
        auto pieces = fuA(idr, 1);
        EXPECT_FALSE(r.reassemble(r.packets(3000, pieces)));
        EXPECT_TRUE(r.lossReported());
    }
    {
        Receiver r;  // a single NAL unit inside an open series
        auto pieces = fuA(idr, 2);
        pieces.insert(pieces.begin() + 1, h264Nal(1));
        EXPECT_FALSE(r.reassemble(r.packets(3000, pieces)));
        EXPECT_TRUE(r.lossReported());
    }
}

TEST(CompleteVideoDepacketizer, StapAMustEndExactly) {
    Receiver r;
    binary overrun = stapA({h264Nal(7), h264Nal(8)});
    overrun.pop_back();  // the last unit's size runs one byte past the payload
    EXPECT_FALSE(r.reassemble(r.packets(3000, {overrun})));
    EXPECT_TRUE(r.lossReported());
    binary forbiddenInner = stapA({h264Nal(7), h264Nal(8)});
    forbiddenInner[3] |= std::byte{0x80};
    EXPECT_FALSE(r.reassemble(r.packets(6000, {forbiddenInner})));
    EXPECT_TRUE(r.lossReported());
    EXPECT_FALSE(r.reassemble(r.packets(9000, {bytes({0x78})})));  // no unit at all
    EXPECT_TRUE(r.lossReported());
}

TEST(CompleteVideoDepacketizer, UnusablePacketTypesAndHeaders) {
    for (const binary& payload : {bytes({0x7D, 1, 2}), bytes({0x60, 1}), bytes({0x61}), bytes({0xE1, 1, 2})}) {
        Receiver r;  // FU-B (29), type 0, a one-byte unit, the forbidden bit
        EXPECT_FALSE(r.reassemble(r.packets(3000, {payload})));
        EXPECT_TRUE(r.lossReported());
    }
    Receiver r;
    EXPECT_FALSE(r.reassemble(r.packets(3000, {h264Nal(1)}, false))) << "no marker on the last packet";
    EXPECT_TRUE(r.lossReported());
    auto versionOne = r.packets(6000, {h264Nal(1)});
    (*versionOne[0])[0] = std::byte{0x40};
    EXPECT_FALSE(r.reassemble(versionOne));
    EXPECT_TRUE(r.lossReported());
    auto shortPacket = std::make_shared<rtc::Message>(binary(11));
    EXPECT_FALSE(r.reassemble({shortPacket}));
    EXPECT_TRUE(r.lossReported());
    auto badPadding = r.packets(9000, {h264Nal(1)});
    (*badPadding[0])[0] |= std::byte{0x20};
    badPadding[0]->back() = std::byte{200};  // more padding than the packet holds
    EXPECT_FALSE(r.reassemble(badPadding));
    EXPECT_TRUE(r.lossReported());
    EXPECT_FALSE(r.reassemble({}));
    EXPECT_FALSE(r.lossReported());
}

TEST(CompleteVideoDepacketizer, PaddingOnlyFrameReportsLossOnlyAfterAGap) {
    Receiver r;
    auto padding = [&](uint32_t ts) {
        rtc::message_vector out{std::make_shared<rtc::Message>(
            rtc::RtpPacket::build(rtptest::header(r.sequence++, ts, true, r.ssrc), {}, 20))};
        return out;
    };
    EXPECT_FALSE(r.reassemble(padding(3000)));
    EXPECT_FALSE(r.lossReported());
    r.sequence += 1;
    EXPECT_FALSE(r.reassemble(padding(3000)));
    EXPECT_TRUE(r.lossReported());
}

TEST(CompleteVideoDepacketizer, OversizedFrameIsDropped) {
    Receiver r;
    auto pieces = fuA(h264Nal(5, 8388608), 2);  // two packets of just over 4 MiB each
    EXPECT_FALSE(r.reassemble(r.packets(3000, pieces)));
    EXPECT_TRUE(r.lossReported());
}

TEST(CompleteVideoDepacketizer, HevcPackets) {
    const binary vps = hevcNal(32), sps = hevcNal(33), pps = hevcNal(34), idr = hevcNal(19, 2000);
    {
        Receiver r(kCodecHevc);
        std::vector<binary> payloads{hevcAp({vps, sps, pps})};
        for (auto& p : hevcFu(idr, 3)) payloads.push_back(p);
        auto frame = r.reassemble(r.packets(3000, payloads));
        EXPECT_EQ(frameBytes(frame), annexB4({vps, sps, pps, idr}));
        EXPECT_FALSE(r.lossReported());
    }
    {
        Receiver r(kCodecHevc);  // an aggregation packet with a single unit
        EXPECT_FALSE(r.reassemble(r.packets(3000, {hevcAp({vps})})));
        EXPECT_TRUE(r.lossReported());
    }
    {
        Receiver r(kCodecHevc);  // temporal id 0, a non-zero layer id
        binary tid0 = hevcNal(1);
        tid0[1] = std::byte{0x00};
        binary layer = hevcNal(1);
        layer[1] = std::byte{0x09};
        EXPECT_FALSE(r.reassemble(r.packets(3000, {tid0})));
        EXPECT_TRUE(r.lossReported());
        EXPECT_FALSE(r.reassemble(r.packets(6000, {layer})));
        EXPECT_TRUE(r.lossReported());
    }
    {
        Receiver r(kCodecHevc);  // a fragment series with two different inner types
        auto pieces = hevcFu(idr, 3);
        pieces[2][2] = std::byte((std::to_integer<uint8_t>(pieces[2][2]) & 0xC0) | 20);
        EXPECT_FALSE(r.reassemble(r.packets(3000, pieces)));
        EXPECT_TRUE(r.lossReported());
    }
}

}  // namespace
}  // namespace murel
