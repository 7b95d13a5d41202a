// The media-handler chains of a sending and a receiving track, without a network: retransmission
// on NACK, keyframe requests, sender and receiver reports, and the repair loop between them.
#include "rtc/H264RtpDepacketizer.hpp"
#include "rtc/H264RtpPacketizer.hpp"
#include "rtc/PliHandler.hpp"
#include "rtc/Rtcp.hpp"
#include "rtc/RtcpNackResponder.hpp"
#include "rtc/RtcpReceivingSession.hpp"
#include "rtc/RtcpSrReporter.hpp"
#include "rtc/RtpPacket.hpp"

#include "rtp_test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>

using namespace rtc;
using namespace rtptest;
using namespace std::chrono_literals;

namespace {

// The sending chain as the host builds it.
struct Sender {
    std::shared_ptr<RtpPacketizationConfig> config =
        std::make_shared<RtpPacketizationConfig>(1, "murel-screen", 102, 90000);
    std::shared_ptr<H264RtpPacketizer> packetizer;
    std::shared_ptr<RtcpSrReporter> reporter;
    std::shared_ptr<RtcpNackResponder> responder;
    std::shared_ptr<PliHandler> pli;
    std::atomic<int> keyframeRequests{0};
    message_vector sent;  // everything that left: chain output and direct sends

    explicit Sender(std::size_t history = 512, std::chrono::milliseconds reportInterval = 1000ms) {
        packetizer = std::make_shared<H264RtpPacketizer>(H264RtpPacketizer::Separator::StartSequence, config);
        reporter = std::make_shared<RtcpSrReporter>(config, reportInterval);
        responder = std::make_shared<RtcpNackResponder>(history);
        pli = std::make_shared<PliHandler>([this] { ++keyframeRequests; });
        packetizer->addToChain(reporter);
        packetizer->addToChain(responder);
        packetizer->addToChain(pli);
    }

    message_vector sendFrame(const binary& au, uint32_t timestamp) {
        message_vector messages{make_message(au, Message::Binary, std::make_shared<FrameInfo>(timestamp))};
        packetizer->outgoingChain(messages, [this](message_ptr m) { sent.push_back(m); });
        sent.insert(sent.end(), messages.begin(), messages.end());
        return messages;
    }

    // RTCP from the receiver; returns what the chain sent in reply.
    message_vector receive(binary rtcp) {
        message_vector replies;
        message_vector messages{control(std::move(rtcp))};
        packetizer->incomingChain(messages, [&](message_ptr m) { replies.push_back(m); });
        return replies;
    }
};

std::vector<rtcp::Packet> rtcpOf(const message_vector& messages) {
    std::vector<rtcp::Packet> out;
    for (const auto& m : messages) {
        if (m->type != Message::Control) continue;
        auto parsed = rtcp::parse(*m);
        EXPECT_TRUE(parsed);
        if (parsed) out.insert(out.end(), parsed->begin(), parsed->end());
    }
    return out;
}

template <typename T>
std::vector<T> only(const std::vector<rtcp::Packet>& packets) {
    std::vector<T> out;
    for (const auto& p : packets)
        if (const auto* t = std::get_if<T>(&p)) out.push_back(*t);
    return out;
}

binary frameOfSize(std::mt19937& rng, std::size_t size) { return annexB4({makeNal(rng, size, 0x65)}); }

uint16_t sequenceOf(const message_ptr& m) { return RtpPacket::parse(*m)->sequenceNumber(); }

}  // namespace

TEST(NackResponder, RetransmitsExactlyTheRequestedPacketsStillKept) {
    std::mt19937 rng(1);
    Sender sender(12);  // a short history (not a power of two): the first packets get evicted
    message_vector rtpSent;
    for (int f = 0; f < 4; ++f)
        for (auto& m : sender.sendFrame(frameOfSize(rng, 6000), 3000 * f))
            if (m->type == Message::Binary) rtpSent.push_back(m);
    ASSERT_GE(rtpSent.size(), 20u);
    const std::size_t n = rtpSent.size();
    const std::vector<binary> originals = [&] {
        std::vector<binary> o;
        for (auto& m : rtpSent) o.push_back(*m);
        return o;
    }();

    // Asked: two kept packets (one twice, in two NACK packets), one evicted, one never sent,
    // and a kept one under another SSRC.
    const uint16_t keptA = sequenceOf(rtpSent[n - 1]), keptB = sequenceOf(rtpSent[n - 12]);
    const uint16_t evicted = sequenceOf(rtpSent[n - 13]);
    const uint16_t never = uint16_t(keptA + 1);
    binary nacks;
    rtcp::write(nacks, rtcp::ReceiverReport{9, {}});
    rtcp::write(nacks, rtcp::Nack{9, 1, {keptB, evicted, keptA, never}});
    rtcp::write(nacks, rtcp::Nack{9, 1, {keptA}});
    rtcp::write(nacks, rtcp::Nack{9, 2, {keptB}});
    const auto replies = sender.receive(nacks);
    std::multiset<uint16_t> resent;
    for (const auto& r : replies) {
        ASSERT_EQ(r->type, Message::Binary);
        resent.insert(sequenceOf(r));
        // The very packet that went out, unmodified.
        const auto i = std::find(rtpSent.begin(), rtpSent.end(), r) - rtpSent.begin();
        ASSERT_LT(std::size_t(i), n);
        EXPECT_EQ(*r, originals[i]);
    }
    EXPECT_EQ(resent, (std::multiset<uint16_t>{keptA, keptB}));
    EXPECT_EQ(sender.responder->retransmitted(), 2u);
    // A later NACK for the same packet is answered again (the retransmission may be lost too).
    binary again;
    rtcp::write(again, rtcp::Nack{9, 1, {keptA}});
    EXPECT_EQ(sender.receive(again).size(), 1u);
    // Malformed RTCP is ignored.
    binary broken = again;
    broken.pop_back();
    EXPECT_TRUE(sender.receive(broken).empty());
    EXPECT_EQ(sender.keyframeRequests, 0);
    EXPECT_THROW(RtcpNackResponder(0), std::invalid_argument);
}

TEST(PliHandlerTest, PliAndFirReachTheCallbackOncePerRequest) {
    Sender sender;
    auto feed = [&](auto... packets) {
        binary compound;
        (rtcp::write(compound, packets), ...);
        sender.receive(compound);
        return sender.keyframeRequests.load();
    };
    EXPECT_EQ(feed(rtcp::ReceiverReport{9, {}}), 0);
    EXPECT_EQ(feed(rtcp::ReceiverReport{9, {}}, rtcp::PictureLossIndication{9, 1}), 1);
    EXPECT_EQ(feed(rtcp::PictureLossIndication{9, 1}), 2);
    EXPECT_EQ(feed(rtcp::FullIntraRequest{9, {{1, 0}}}), 3);
    // The same FIR sequence number again is a repeat of that request.
    EXPECT_EQ(feed(rtcp::FullIntraRequest{9, {{1, 0}}}), 3);
    EXPECT_EQ(feed(rtcp::FullIntraRequest{9, {{1, 1}}}), 4);
    // PLI and FIR in one compound: one request.
    EXPECT_EQ(feed(rtcp::PictureLossIndication{9, 1}, rtcp::FullIntraRequest{9, {{1, 2}}}), 5);
    // A NACK is no keyframe request.
    EXPECT_EQ(feed(rtcp::Nack{9, 1, {5}}), 5);
}

TEST(SenderReports, CountPacketsAndOctetsAndCarryTheFrameTime) {
    std::mt19937 rng(2);
    Sender sender(512, 1h);
    const uint64_t before = rtcp::ntpNow();
    auto first = sender.sendFrame(frameOfSize(rng, 3000), 90000);
    const uint64_t after = rtcp::ntpNow();
    // The first frame is reported at once: SR + SDES after the RTP packets.
    ASSERT_EQ(first.back()->type, Message::Control);
    std::size_t packets = 0, octets = 0;
    for (const auto& m : first)
        if (m->type == Message::Binary) {
            ++packets;
            octets += RtpPacket::parse(*m)->payload().size();
        }
    auto reports = only<rtcp::SenderReport>(rtcpOf(first));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].ssrc, 1u);
    EXPECT_EQ(reports[0].packetCount, packets);
    EXPECT_EQ(reports[0].octetCount, octets);
    EXPECT_EQ(reports[0].rtpTimestamp, 90000u);
    EXPECT_GE(reports[0].ntpTimestamp, before);
    EXPECT_LE(reports[0].ntpTimestamp, after);
    auto sdes = only<rtcp::SourceDescription>(rtcpOf(first));
    ASSERT_EQ(sdes.size(), 1u);
    EXPECT_EQ(sdes[0].chunks.at(0).ssrc, 1u);
    EXPECT_EQ(sdes[0].chunks.at(0).items.at(0).text, "murel-screen");

    // Within the interval no report; asked for, the next frame carries one with the totals.
    auto second = sender.sendFrame(frameOfSize(rng, 5000), 93000);
    ASSERT_TRUE(rtcpOf(second).empty());
    for (const auto& m : second) octets += RtpPacket::parse(*m)->payload().size(), ++packets;
    sender.reporter->setNeedsToReport();
    auto third = sender.sendFrame(frameOfSize(rng, 100), 96000);
    for (const auto& m : third)
        if (m->type == Message::Binary) octets += RtpPacket::parse(*m)->payload().size(), ++packets;
    reports = only<rtcp::SenderReport>(rtcpOf(third));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].packetCount, packets);
    EXPECT_EQ(reports[0].octetCount, octets);
    EXPECT_EQ(reports[0].rtpTimestamp, 96000u);
    EXPECT_EQ(sender.reporter->lastReportedTimestamp(), 96000u);

    // With a zero interval every frame is reported.
    Sender eager(512, 0ms);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(only<rtcp::SenderReport>(rtcpOf(eager.sendFrame(frameOfSize(rng, 50), i))).size(), 1u);
}

TEST(ReceivingSession, ReportsLossJitterAndTheLastSenderReport) {
    auto session = std::make_shared<RtcpReceivingSession>(77, "viewer", 90000, 0ms);
    message_vector sent;
    auto send = [&](message_ptr m) { sent.push_back(m); };
    // Before any media there is nothing to ask a keyframe of.
    EXPECT_FALSE(session->requestKeyframe(send));
    EXPECT_TRUE(sent.empty());

    binary srBytes;
    const rtcp::SenderReport sr{0x1234, 0x0000AAAABBBB0000ull, 1, 2, 3, {}};
    rtcp::write(srBytes, sr);
    message_vector batch{rtp(10, 0, false, bytes({0x41})), rtp(11, 0, false, bytes({0x41})),
                         rtp(14, 0, true, bytes({0x41})), control(srBytes)};
    session->incoming(batch, send);
    // Every message passes on unchanged.
    EXPECT_EQ(batch.size(), 4u);
    ASSERT_EQ(sent.size(), 1u);
    auto rrs = only<rtcp::ReceiverReport>(rtcpOf(sent));
    ASSERT_EQ(rrs.size(), 1u);
    EXPECT_EQ(rrs[0].ssrc, 77u);
    ASSERT_EQ(rrs[0].reports.size(), 1u);
    const auto& block = rrs[0].reports[0];
    EXPECT_EQ(block.ssrc, 0x1234u);
    EXPECT_EQ(block.highestSequence, 14u);
    EXPECT_EQ(block.cumulativeLost, 2);          // 12 and 13
    EXPECT_EQ(block.fractionLost, 2 * 256 / 5);  // 2 of 5 expected
    EXPECT_EQ(block.lastSenderReport, 0xAAAABBBBu);
    EXPECT_LT(block.delaySinceLastSenderReport, 65536u);  // well under a second
    EXPECT_EQ(only<rtcp::SourceDescription>(rtcpOf(sent)).at(0).chunks.at(0).items.at(0).text, "viewer");
    // No NACKs unless enabled.
    EXPECT_TRUE(only<rtcp::Nack>(rtcpOf(sent)).empty());

    // The late packet 12 and a wrap of the sequence numbers.
    sent.clear();
    batch = {rtp(12, 0, false, bytes({0x41}))};
    for (uint16_t s = 15; s != 3; ++s) batch.push_back(rtp(s, 0, false, bytes({0x41})));
    session->incoming(batch, send);
    const auto stats = session->statistics();
    EXPECT_EQ(stats.extendedHighestSequence, 65536u + 2);
    EXPECT_EQ(stats.cumulativeLost, 1);
    EXPECT_EQ(stats.senderReportsReceived, 1u);

    sent.clear();
    ASSERT_TRUE(session->requestKeyframe(send));
    auto plis = only<rtcp::PictureLossIndication>(rtcpOf(sent));
    ASSERT_EQ(plis.size(), 1u);
    EXPECT_EQ(plis[0].senderSsrc, 77u);
    EXPECT_EQ(plis[0].mediaSsrc, 0x1234u);
    EXPECT_EQ(session->statistics().keyframeRequestsSent, 1u);
}

TEST(ReceivingSession, NacksMissingPacketsWhenEnabled) {
    auto session = std::make_shared<RtcpReceivingSession>(77, "viewer", 90000, 1h);
    session->setNackEnabled(true, 0ms, 2);
    message_vector sent;
    auto send = [&](message_ptr m) { sent.push_back(m); };
    auto feed = [&](std::vector<uint16_t> sequences) {
        sent.clear();
        message_vector batch;
        for (auto s : sequences) batch.push_back(rtp(s, 0, false, bytes({0x41})));
        session->incoming(batch, send);
        std::vector<uint16_t> lost;
        for (const auto& n : only<rtcp::Nack>(rtcpOf(sent))) lost.insert(lost.end(), n.lost.begin(), n.lost.end());
        return lost;
    };
    EXPECT_TRUE(feed({65530, 65531}).empty());
    EXPECT_EQ(feed({65534, 1}), (std::vector<uint16_t>{65532, 65533, 65535, 0}));
    // 65533 and 0 repaired; the rest asked again, then given up after two tries.
    EXPECT_EQ(feed({65533, 0}), (std::vector<uint16_t>{65532, 65535}));
    EXPECT_TRUE(feed({2}).empty());
    EXPECT_EQ(session->statistics().nacksSent, 6u);
}

TEST(MediaChains, NacksRepairALossyStreamEndToEnd) {
    std::mt19937 rng(9);
    Sender sender;
    auto depacketizer = std::make_shared<H264RtpDepacketizer>(H264RtpDepacketizer::Separator::StartSequence);
    auto session = std::make_shared<RtcpReceivingSession>();
    session->setNackEnabled(true, 0ms, 5);
    depacketizer->addToChain(session);

    std::vector<binary> expected, received;
    std::bernoulli_distribution lose(0.05);
    std::size_t lost = 0;
    // Everything the receiver sends goes straight back into the sender's chain, whose replies
    // (retransmissions) go through the same lossy link into the receiver.
    std::function<void(message_vector)> toReceiver;
    auto toSender = [&](message_ptr m) {
        auto replies = sender.receive(*m);
        if (!replies.empty()) toReceiver(std::move(replies));
    };
    toReceiver = [&](message_vector packets) {
        message_vector arriving;
        for (auto& p : packets)
            if (!lose(rng)) arriving.push_back(p);
            else ++lost;
        depacketizer->incomingChain(arriving, toSender);
        for (const auto& f : arriving)
            if (f->type == Message::Binary) received.push_back(*f);
    };
    for (int f = 0; f < 60; ++f) {
        binary au = annexB4({makeNal(rng, 12, 0x67), makeNal(rng, 4, 0x68), makeNal(rng, 20000 + 300 * f, 0x65)});
        expected.push_back(au);
        toReceiver(sender.sendFrame(au, 1500 * f));
    }
    // A last frame delivered without loss flushes whatever is still waiting.
    lose = std::bernoulli_distribution(0);
    toReceiver(sender.sendFrame(annexB4({makeNal(rng, 10, 0x41)}), 1500 * 60));
    EXPECT_GT(lost, 20u);
    EXPECT_GT(sender.responder->retransmitted(), 20u);
    ASSERT_GE(received.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(received[i] == expected[i]) << "frame " << i;
}
