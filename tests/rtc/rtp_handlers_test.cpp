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
#include <functional>
#include <map>
#include <optional>
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
    ManualClock clock;

    explicit Sender(std::size_t history = 512, std::chrono::milliseconds reportInterval = 1000ms) {
        packetizer = std::make_shared<H264RtpPacketizer>(H264RtpPacketizer::Separator::StartSequence, config);
        reporter = std::make_shared<RtcpSrReporter>(config, reportInterval);
        responder = std::make_shared<RtcpNackResponder>(history);
        reporter->setClock(clock.clock());
        responder->setClock(clock.clock());
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
    // A repeated request within a round trip of the retransmission crossed it on the way: not
    // answered. Once the round trip has passed it is (the retransmission may be lost too).
    binary again;
    rtcp::write(again, rtcp::Nack{9, 1, {keptA}});
    EXPECT_TRUE(sender.receive(again).empty());
    sender.clock.advance(RtcpNackResponder::DefaultRoundTrip - 1ms);
    EXPECT_TRUE(sender.receive(again).empty());
    EXPECT_EQ(sender.responder->suppressed(), 2u);
    sender.clock.advance(1ms);
    EXPECT_EQ(sender.receive(again).size(), 1u);
    EXPECT_TRUE(sender.receive(again).empty());
    EXPECT_EQ(sender.responder->retransmitted(), 3u);
    // Malformed RTCP is ignored.
    binary broken = again;
    broken.pop_back();
    EXPECT_TRUE(sender.receive(broken).empty());
    EXPECT_EQ(sender.keyframeRequests, 0);
    EXPECT_THROW(RtcpNackResponder(0), std::invalid_argument);
}

// The round trip that spaces retransmissions comes from receiver reports echoing our sender reports.
TEST(NackResponder, RoundTripComesFromReportsEchoingOurSenderReports) {
    std::mt19937 rng(3);
    Sender sender(512, 0ms);  // a sender report with every frame
    EXPECT_EQ(sender.responder->roundTrip(), RtcpNackResponder::DefaultRoundTrip);
    auto reportOf = [](const message_vector& messages) { return only<rtcp::SenderReport>(rtcpOf(messages)).at(0); };
    auto echo = [&](const rtcp::SenderReport& sr, uint32_t ssrc, std::chrono::milliseconds held) {
        rtcp::ReportBlock block;
        block.ssrc = ssrc;
        block.lastSenderReport = rtcp::ntpMiddle(sr.ntpTimestamp);
        block.delaySinceLastSenderReport = uint32_t(held.count() * 65536 / 1000);
        binary rr;
        rtcp::write(rr, rtcp::ReceiverReport{9, {block}});
        sender.receive(rr);
        return sender.responder->roundTrip();
    };
    const auto first = sender.sendFrame(frameOfSize(rng, 3000), 0);
    const auto sr = reportOf(first);
    sender.clock.advance(70ms);
    // Held 20 ms by the receiver: 50 ms on the way (to the 1/65536 s of the delay field).
    auto near = [](std::chrono::microseconds got, std::chrono::microseconds want) {
        return std::chrono::abs(got - want) <= 100us;
    };
    EXPECT_TRUE(near(echo(sr, 1, 20ms), 50ms)) << sender.responder->roundTrip().count();
    // Another stream's block, an unknown report and a delay longer than the time passed change nothing.
    EXPECT_TRUE(near(echo(sr, 2, 20ms), 50ms));
    rtcp::SenderReport unknown = sr;
    unknown.ntpTimestamp += uint64_t(1) << 32;
    EXPECT_TRUE(near(echo(unknown, 1, 20ms), 50ms));
    EXPECT_TRUE(near(echo(sr, 1, 200ms), 50ms));
    // The least of the last eight samples: one report delayed by a stall changes nothing, a
    // shorter path shows at once, and a longer one once the shorter samples are old.
    auto sample = [&](std::chrono::milliseconds took) {
        const auto report = reportOf(sender.sendFrame(frameOfSize(rng, 300), 3000));
        sender.clock.advance(took);
        return echo(report, 1, 0ms);
    };
    EXPECT_TRUE(near(sample(130ms), 50ms));
    EXPECT_TRUE(near(sample(40ms), 40ms));
    for (int i = 0; i < 7; ++i) EXPECT_TRUE(near(sample(60ms), 40ms)) << i;
    EXPECT_TRUE(near(sample(60ms), 60ms)) << sender.responder->roundTrip().count();

    // Repeats are spaced by it.
    const uint16_t wanted = sequenceOf(first.back());
    binary nack;
    rtcp::write(nack, rtcp::Nack{9, 1, {wanted}});
    EXPECT_EQ(sender.receive(nack).size(), 1u);
    sender.clock.advance(sender.responder->roundTrip() - 1us);
    EXPECT_TRUE(sender.receive(nack).empty());
    sender.clock.advance(1us);
    EXPECT_EQ(sender.receive(nack).size(), 1u);
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
    // The first frame is reported at once: SR + SDES ahead of the RTP packets, so that the
    // report's arrival, which the round trip is timed by, does not wait for the frame's packets.
    ASSERT_EQ(first.front()->type, Message::Control);
    ASSERT_EQ(first.back()->type, Message::Binary);
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

TEST(ReceivingSession, NacksMissingPacketsOnceAndRepeatsOnlyAfterTheRoundTrip) {
    ManualClock clock;
    auto session = std::make_shared<RtcpReceivingSession>(77, "viewer", 90000, 1h);
    session->setClock(clock.clock());
    // Off by default: no repeats to wait for, no round trip to hold frames by.
    EXPECT_FALSE(session->repairRoundTrip());
    session->setNackEnabled(true, 40ms, 2);
    EXPECT_EQ(session->repairRoundTrip(), std::chrono::microseconds(40ms));
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
    const auto start = clock.now();
    EXPECT_TRUE(feed({65530, 65531}).empty());
    EXPECT_FALSE(session->wakeTime());
    EXPECT_EQ(feed({65534, 1}), (std::vector<uint16_t>{65532, 65533, 65535, 0}));
    // Until the first repair, the assumed round trip spaces the repeats.
    EXPECT_EQ(session->wakeTime(), start + 40ms);
    // 65533 and 0 repaired after 10 ms: two samples of 10 ms, so repeats come after
    // 10 + 4 * 3.75 = 25 ms from now on; packets arriving meanwhile ask for nothing again.
    clock.advance(10ms);
    EXPECT_TRUE(feed({65533, 0}).empty());
    EXPECT_TRUE(feed({2}).empty());
    auto stats = session->statistics();
    EXPECT_EQ(stats.repairsMeasured, 2u);
    EXPECT_EQ(stats.repairRoundTrip, std::chrono::microseconds(10ms));
    EXPECT_EQ(session->repairRoundTrip(), std::chrono::microseconds(25ms));
    EXPECT_EQ(session->wakeTime(), start + 25ms);
    clock.set(start + 25ms - 1us);
    EXPECT_TRUE(feed({}).empty());
    // The wake-up with nothing received asks again for what is still missing.
    clock.set(start + 25ms);
    EXPECT_EQ(feed({}), (std::vector<uint16_t>{65532, 65535}));
    // A packet asked for twice gives no sample: which request it answers is unknown.
    clock.advance(5ms);
    EXPECT_TRUE(feed({65535}).empty());
    EXPECT_EQ(session->statistics().repairsMeasured, 2u);
    // Two requests were the limit: 65532 is given up once the last one had its round trip.
    EXPECT_EQ(session->wakeTime(), start + 50ms);
    clock.set(start + 50ms);
    EXPECT_TRUE(feed({}).empty());
    EXPECT_FALSE(session->wakeTime());
    EXPECT_EQ(session->statistics().nacksSent, 6u);
}

// A repair arriving hundreds of packets late, or one stray packet far away, is no restart of the
// stream: a restart would take every packet since as missing and ask for all of them again.
TEST(ReceivingSession, LateRepairsAndStrayPacketsDoNotRestartTheStream) {
    ManualClock clock;
    auto session = std::make_shared<RtcpReceivingSession>(77, "viewer", 90000, 1h);
    session->setClock(clock.clock());
    session->setNackEnabled(true, 10ms, 3);
    std::vector<uint16_t> asked;
    auto send = [&](message_ptr m) {
        for (const auto& n : only<rtcp::Nack>(rtcpOf({m}))) asked.insert(asked.end(), n.lost.begin(), n.lost.end());
    };
    auto feed = [&](uint16_t from, uint16_t to) {  // to exclusive
        for (uint16_t s = from; s != to; ++s) {
            message_vector batch{rtp(s, 0, false, bytes({0x41}))};
            session->incoming(batch, send);
        }
    };
    feed(100, 110);
    feed(111, 400);  // 110 lost
    EXPECT_EQ(asked, std::vector<uint16_t>{110});
    clock.advance(5ms);
    feed(110, 111);  // its repair, 290 packets late
    feed(400, 500);
    // A stray far behind, and one far ahead: ignored, nothing new is missing.
    feed(20000, 20001);
    feed(500, 510);
    feed(60000, 60001);
    feed(510, 520);
    EXPECT_EQ(asked, std::vector<uint16_t>{110});
    auto stats = session->statistics();
    EXPECT_EQ(stats.extendedHighestSequence, 519u);
    EXPECT_EQ(stats.cumulativeLost, 0);
    EXPECT_EQ(stats.repairsMeasured, 1u);
    EXPECT_EQ(stats.repairRoundTrip, std::chrono::microseconds(5ms));
    // Two in a row far away: the sender restarted its numbering there.
    feed(30000, 30002);
    feed(30003, 30004);
    EXPECT_EQ(asked, (std::vector<uint16_t>{110, 30002}));
    stats = session->statistics();
    EXPECT_EQ(stats.extendedHighestSequence, 30003u);
    EXPECT_EQ(stats.cumulativeLost, 1);
}

TEST(ReceivingSession, LongGapsAreAskedForInReportsOfBoundedSize) {
    ManualClock clock;
    auto session = std::make_shared<RtcpReceivingSession>(77, "viewer", 90000, 1h);
    session->setClock(clock.clock());
    // An assumed round trip of 0 is raised to the shortest retry time.
    session->setNackEnabled(true, 0ms, 3);
    message_vector sent;
    auto send = [&](message_ptr m) { sent.push_back(m); };
    auto feed = [&](std::vector<uint16_t> sequences) {
        sent.clear();
        message_vector batch;
        for (auto s : sequences) batch.push_back(rtp(s, 0, false, bytes({0x41})));
        session->incoming(batch, send);
        std::set<uint16_t> lost;
        for (const auto& n : only<rtcp::Nack>(rtcpOf(sent))) lost.insert(n.lost.begin(), n.lost.end());
        return lost;
    };
    feed({1000});
    std::set<uint16_t> asked;
    auto first = feed({1700});
    EXPECT_EQ(first.size(), RtcpReceivingSession::MaxNacksPerReport);
    asked.insert(first.begin(), first.end());
    // The rest is due at once, in the next reports.
    while (asked.size() < 699) {
        ASSERT_TRUE(session->wakeTime());
        ASSERT_LE(*session->wakeTime(), clock.now());
        auto more = feed({});
        ASSERT_FALSE(more.empty());
        ASSERT_LE(more.size(), RtcpReceivingSession::MaxNacksPerReport);
        for (auto s : more) EXPECT_TRUE(asked.insert(s).second) << s;
    }
    EXPECT_EQ(*asked.begin(), 1001);
    EXPECT_EQ(*asked.rbegin(), 1699);
    EXPECT_EQ(session->wakeTime(), clock.now() + RtcpReceivingSession::MinRetryTime);
    clock.advance(RtcpReceivingSession::MinRetryTime - 1us);
    EXPECT_TRUE(feed({}).empty());
    clock.advance(1us);
    EXPECT_EQ(feed({}).size(), RtcpReceivingSession::MaxNacksPerReport);
}

TEST(MediaChains, NacksRepairALossyStreamEndToEnd) {
    std::mt19937 rng(9);
    Sender sender;
    auto depacketizer = std::make_shared<H264RtpDepacketizer>(H264RtpDepacketizer::Separator::StartSequence);
    auto session = std::make_shared<RtcpReceivingSession>();
    session->setNackEnabled(true, 0ms, 5);
    depacketizer->addToChain(session);
    // One clock for both ends; the link itself takes no time.
    depacketizer->setClock(sender.clock.clock());
    session->setClock(sender.clock.clock());

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
    // Time passes in 2 ms steps, a frame every 8; the receiver runs whenever its handlers want it.
    auto pass = [&](std::chrono::milliseconds span) {
        for (auto until = sender.clock.now() + span; sender.clock.now() < until;) {
            sender.clock.advance(2ms);
            if (auto wake = depacketizer->wakeTimeChain(); wake && *wake <= sender.clock.now()) toReceiver({});
        }
    };
    for (int f = 0; f < 60; ++f) {
        binary au = annexB4({makeNal(rng, 12, 0x67), makeNal(rng, 4, 0x68), makeNal(rng, 20000 + 300 * f, 0x65)});
        expected.push_back(au);
        toReceiver(sender.sendFrame(au, 1500 * f));
        pass(16ms);
    }
    // A last frame delivered without loss flushes whatever is still waiting.
    lose = std::bernoulli_distribution(0);
    toReceiver(sender.sendFrame(annexB4({makeNal(rng, 10, 0x41)}), 1500 * 60));
    pass(VideoRtpDepacketizer::MaxHoldTime);
    EXPECT_GT(lost, 20u);
    EXPECT_GT(sender.responder->retransmitted(), 20u);
    ASSERT_GE(received.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(received[i] == expected[i]) << "frame " << i;
}

// A 60 fps stream over a simulated path of 30 ms each way (60 ms round trip) losing 5 % of the RTP
// packets, retransmissions included: a frame waits for its repairs about two round trips, so
// nearly every frame arrives whole, in order and never corrupt, and the NACK round trip is paced
// so that retransmissions stay close to the losses. (Holding a damaged frame only until the next
// one completes, 17 ms later, would let every repair arrive too late.)
TEST(MediaChains, RepairsInTimeOverASixtyMillisecondRoundTrip) {
    std::mt19937 rng(21);
    Sender sender(1024, 100ms);
    auto depacketizer = std::make_shared<H264RtpDepacketizer>(H264RtpDepacketizer::Separator::StartSequence);
    auto session = std::make_shared<RtcpReceivingSession>(0, "", 90000, 100ms);
    session->setNackEnabled(true);
    depacketizer->addToChain(session);
    ManualClock& clock = sender.clock;
    depacketizer->setClock(clock.clock());
    session->setClock(clock.clock());

    using TimePoint = ManualClock::TimePoint;
    constexpr auto kOneWay = 30ms;
    struct InFlight {
        bool toReceiver;
        message_vector packets;
    };
    std::multimap<std::pair<TimePoint, uint64_t>, InFlight> link;  // by arrival, then sending order
    uint64_t order = 0;
    std::bernoulli_distribution lose(0.05);
    std::size_t dropped = 0;
    auto toReceiver = [&](message_vector packets) {
        message_vector kept;
        for (auto& p : packets)
            if (p->type == Message::Binary && lose(rng)) ++dropped;
            else kept.push_back(std::move(p));
        if (!kept.empty()) link.emplace(std::pair(clock.now() + kOneWay, order++), InFlight{true, std::move(kept)});
    };
    auto toSender = [&](message_ptr m) {
        link.emplace(std::pair(clock.now() + kOneWay, order++), InFlight{false, message_vector{std::move(m)}});
    };

    std::map<uint32_t, binary> expected;
    std::vector<std::pair<uint32_t, binary>> received;  // in delivery order
    auto receive = [&](message_vector packets) {
        depacketizer->incomingChain(packets, toSender);
        for (const auto& f : packets)
            if (f->type == Message::Binary && f->frameInfo) received.emplace_back(f->frameInfo->timestamp, *f);
    };

    constexpr int kFrames = 120;
    const auto start = clock.now();
    auto frameTime = [&](int f) { return start + std::chrono::microseconds(16667) * f; };
    int nextFrame = 0;
    // Events in time order: frames sent, datagrams arriving, the receiver's wake-ups.
    while (true) {
        std::optional<TimePoint> next;
        auto consider = [&](std::optional<TimePoint> t) {
            if (t && (!next || *t < *next)) next = t;
        };
        if (nextFrame <= kFrames + 3) consider(frameTime(nextFrame));
        if (!link.empty()) consider(link.begin()->first.first);
        consider(depacketizer->wakeTimeChain());
        if (!next) break;
        if (*next > clock.now()) clock.set(*next);
        if (nextFrame <= kFrames + 3 && frameTime(nextFrame) <= clock.now()) {
            const uint32_t timestamp = 1500 * uint32_t(nextFrame + 1);
            // A few trailing frames let the receiver see losses at the end of the last one counted.
            binary au = nextFrame < kFrames ? frameOfSize(rng, 9000 + 500 * (nextFrame % 5)) : frameOfSize(rng, 100);
            if (nextFrame < kFrames) expected[timestamp] = au;
            toReceiver(sender.sendFrame(au, timestamp));
            ++nextFrame;
            continue;
        }
        if (!link.empty() && link.begin()->first.first <= clock.now()) {
            InFlight flight = std::move(link.begin()->second);
            link.erase(link.begin());
            if (flight.toReceiver) {
                receive(std::move(flight.packets));
            } else {
                auto replies = sender.receive(*flight.packets.front());
                if (!replies.empty()) toReceiver(std::move(replies));
            }
            continue;
        }
        receive({});  // a wake-up
        ASSERT_LT(clock.now() - start, 10s) << "the simulation does not settle";
    }

    int exact = 0, corrupt = 0;
    for (const auto& [timestamp, frame] : received) {
        auto it = expected.find(timestamp);
        if (it == expected.end()) continue;
        (it->second == frame ? exact : corrupt)++;
    }
    for (std::size_t i = 1; i < received.size(); ++i) EXPECT_LT(received[i - 1].first, received[i].first) << "out of order";
    const auto retransmitted = sender.responder->retransmitted();
    EXPECT_GT(dropped, 40u);
    EXPECT_EQ(corrupt, 0);
    EXPECT_GE(exact, kFrames * 97 / 100) << "dropped " << dropped << ", retransmitted " << retransmitted;
    EXPECT_GE(retransmitted, dropped * 9 / 10);
    EXPECT_LE(retransmitted, dropped * 3 / 2) << "dropped " << dropped;
    // Both ends measured the round trip they pace by.
    const auto measured = session->statistics().repairRoundTrip;
    EXPECT_GE(measured, 60ms);
    EXPECT_LT(measured, 70ms);
    EXPECT_GE(sender.responder->roundTrip(), 59ms);
    EXPECT_LT(sender.responder->roundTrip(), 61ms);
    RecordProperty("dropped", int(dropped));
    RecordProperty("retransmitted", std::to_string(retransmitted));
    RecordProperty("exact", exact);
}
