// Media tracks between two peer connections over loopback: negotiation of the media section, SRTP
// both ways, and the media-handler chains on either end.
#include "peer_test_support.hpp"

#include <gtest/gtest.h>

using namespace rtc;
using namespace rtc::test;
using State = PeerConnection::State;

namespace {

constexpr uint32_t kSsrc = 0x01020304;

Description::Video hostVideo() {
    Description::Video video("video", Description::Direction::SendOnly);
    video.addH264Codec(102);
    video.addSSRC(kSsrc, "cname-test", "stream", "track");
    return video;
}

binary rtpPacket(uint16_t sequence, uint32_t timestamp, uint32_t ssrc, const binary& payload, bool marker = true) {
    binary out;
    out.reserve(12 + payload.size());
    out.resize(12);
    out[0] = std::byte{0x80};
    out[1] = std::byte((marker ? 0x80 : 0) | 102);
    out[2] = std::byte(sequence >> 8);
    out[3] = std::byte(sequence & 0xFF);
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = std::byte((timestamp >> (24 - 8 * i)) & 0xFF);
        out[8 + i] = std::byte((ssrc >> (24 - 8 * i)) & 0xFF);
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// A picture loss indication from `sender` about `media`.
binary pli(uint32_t sender, uint32_t media) {
    binary out(12);
    out[0] = std::byte{0x81};
    out[1] = std::byte{206};
    out[2] = std::byte{0};
    out[3] = std::byte{2};
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = std::byte((sender >> (24 - 8 * i)) & 0xFF);
        out[8 + i] = std::byte((media >> (24 - 8 * i)) & 0xFF);
    }
    return out;
}

// One frame per RTP packet: enough to see that frames go out through the outgoing chain and come
// back through the incoming chain with their timestamps.
class OnePacketFramer final : public MediaHandler {
public:
    void outgoing(message_vector& messages, const message_callback&) override {
        message_vector out;
        for (auto& m : messages) {
            if (!m->frameInfo) {
                out.push_back(m);
                continue;
            }
            out.push_back(make_message(rtpPacket(mSequence++, m->frameInfo->timestamp, kSsrc, *m)));
        }
        messages.swap(out);
    }
    void incoming(message_vector& messages, const message_callback& send) override {
        message_vector out;
        for (auto& m : messages) {
            if (m->type == Message::Control) {
                ++controls;
                continue;
            }
            uint32_t timestamp = 0;
            for (int i = 0; i < 4; ++i)
                timestamp = (timestamp << 8) | std::to_integer<uint32_t>((*m)[4 + i]);
            out.push_back(make_message(binary(m->begin() + 12, m->end()), Message::Binary,
                                       std::make_shared<FrameInfo>(timestamp)));
        }
        messages.swap(out);
        (void)send;
    }
    bool requestKeyframe(const message_callback& send) override {
        send(make_message(pli(7, kSsrc), Message::Control));
        return true;
    }
    std::atomic<int> controls{0};

private:
    uint16_t mSequence = 1;
};

struct TrackEvents {
    Recorder<binary> messages;
    Recorder<std::pair<binary, uint32_t>> frames;
    Recorder<int> opened, closed;

    static std::shared_ptr<TrackEvents> attach(const std::shared_ptr<Track>& track) {
        auto events = std::make_shared<TrackEvents>();
        track->onOpen([events] { events->opened.record(1); });
        track->onClosed([events] { events->closed.record(1); });
        track->onMessage([events](binary b) { events->messages.record(std::move(b)); }, nullptr);
        track->onFrame([events](binary b, FrameInfo info) { events->frames.record({std::move(b), info.timestamp}); });
        return events;
    }
};

} // namespace

TEST(PeerTrack, ARemoteSendOnlySectionBecomesARecvOnlyTrackAndPacketsCrossUnderSrtp) {
    PeerPair pair;
    auto sending = pair.offerer.pc->addTrack(hostVideo());
    auto sendingEvents = TrackEvents::attach(sending);
    EXPECT_THROW(sending->send(rtpPacket(1, 1, kSsrc, binary(10))), std::runtime_error);
    pair.offerer.pc->createDataChannel("c");
    pair.offer();
    ASSERT_TRUE(pair.answerer.events->tracks.waitCount(1));
    auto receiving = pair.answerer.events->tracks.snapshot()[0];
    auto receivingEvents = TrackEvents::attach(receiving);
    EXPECT_EQ(receiving->mid(), "video");
    EXPECT_EQ(receiving->direction(), Description::Direction::RecvOnly);
    ASSERT_TRUE(pair.waitConnected());
    ASSERT_TRUE(sendingEvents->opened.waitCount(1));
    ASSERT_TRUE(receivingEvents->opened.waitCount(1));

    auto answer = pair.answerer.pc->localDescription()->generateSdp();
    EXPECT_NE(answer.find("m=video"), std::string::npos);
    EXPECT_NE(answer.find("a=recvonly"), std::string::npos);
    EXPECT_EQ(answer.find("a=ssrc:"), std::string::npos);

    // Raw RTP without a handler arrives unchanged (SRTP protects and unprotects it on the way).
    std::vector<binary> sent;
    for (uint16_t i = 0; i < 20; ++i) {
        sent.push_back(rtpPacket(100 + i, 9000 * i, kSsrc, pattern(200 + i, i)));
        EXPECT_TRUE(sending->send(sent.back()));
    }
    ASSERT_TRUE(receivingEvents->messages.waitCount(sent.size()));
    auto got = receivingEvents->messages.snapshot();
    std::sort(got.begin(), got.end());
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(got, sent);

    // RTCP the other way.
    EXPECT_TRUE(receiving->send(pli(99, kSsrc)));
    ASSERT_TRUE(sendingEvents->messages.waitCount(1));
    EXPECT_EQ(sendingEvents->messages.snapshot()[0], pli(99, kSsrc));
}

TEST(PeerTrack, FramesTravelThroughBothHandlerChains) {
    // The answerer adds its own receiving track from the offered section first, as a viewer does.
    PeerPair pair(loopbackConfig(), loopbackConfig(), false);
    auto sending = pair.offerer.pc->addTrack(hostVideo());
    auto sender = std::make_shared<OnePacketFramer>();
    sending->setMediaHandler(sender);
    auto sendingEvents = TrackEvents::attach(sending);
    pair.offer();
    ASSERT_TRUE(pair.offerer.events->descriptions.waitCount(1));
    Description offer(pair.offerer.events->descriptions.snapshot()[0].generateSdp(), "offer");
    auto offered = std::get<Description::Media*>(offer.media(0));
    auto receiving = pair.answerer.pc->addTrack(*offered);
    auto receiver = std::make_shared<OnePacketFramer>();
    receiving->setMediaHandler(receiver);
    auto receivingEvents = TrackEvents::attach(receiving);
    pair.answerer.pc->setRemoteDescription(offer);
    pair.answerer.pc->setLocalDescription();
    ASSERT_TRUE(pair.answerer.events->descriptions.waitCount(1));
    auto answer = pair.answerer.events->descriptions.snapshot()[0];
    EXPECT_EQ(std::get<Description::Media*>(answer.media(0))->direction(), Description::Direction::RecvOnly);
    EXPECT_TRUE(std::get<Description::Media*>(answer.media(0))->getSSRCs().empty());
    EXPECT_TRUE(pair.answerer.events->tracks.snapshot().empty()); // our own track took the section
    pair.offerer.pc->setRemoteDescription(answer);
    ASSERT_TRUE(pair.offerer.events->candidates.waitCount(1));
    for (auto& c : pair.offerer.events->candidates.snapshot())
        pair.answerer.pc->addRemoteCandidate(c);
    ASSERT_TRUE(pair.answerer.events->candidates.waitCount(1));
    for (auto& c : pair.answerer.events->candidates.snapshot())
        pair.offerer.pc->addRemoteCandidate(c);
    ASSERT_TRUE(sendingEvents->opened.waitCount(1));
    ASSERT_TRUE(receivingEvents->opened.waitCount(1));

    for (uint32_t i = 1; i <= 5; ++i)
        EXPECT_TRUE(sending->sendFrame(pattern(500 * i, i), FrameInfo(i * 3000)));
    ASSERT_TRUE(receivingEvents->frames.waitCount(5));
    auto frames = receivingEvents->frames.snapshot();
    std::sort(frames.begin(), frames.end(), [](auto& a, auto& b) { return a.second < b.second; });
    for (uint32_t i = 1; i <= 5; ++i) {
        EXPECT_EQ(frames[i - 1].first, pattern(500 * i, i));
        EXPECT_EQ(frames[i - 1].second, i * 3000);
    }
    EXPECT_TRUE(receivingEvents->messages.snapshot().empty());

    // A keyframe request leaves through the receiver's chain and reaches the sender's chain as RTCP.
    EXPECT_TRUE(receiving->requestKeyframe());
    ASSERT_TRUE(impl::test::eventually([&] { return sender->controls.load() >= 1; }));

    // Closing the connection closes its tracks.
    pair.offerer.pc->close();
    ASSERT_TRUE(sendingEvents->closed.waitCount(1));
    ASSERT_TRUE(receivingEvents->closed.waitCount(1));
    EXPECT_THROW(sending->sendFrame(binary(10), FrameInfo(1)), std::runtime_error);
}

namespace {

// An access unit of NAL units with 4-byte start codes; `size` bytes of slice data.
binary accessUnit(bool keyframe, size_t size, unsigned seed) {
    binary out;
    auto unit = [&](std::initializer_list<uint8_t> header, size_t body) {
        for (uint8_t b : {0, 0, 0, 1})
            out.push_back(std::byte{b});
        for (uint8_t b : header)
            out.push_back(std::byte{b});
        auto data = pattern(body, seed);
        for (auto& b : data)
            if (b == std::byte{0})
                b = std::byte{1}; // no start code inside a unit
        out.insert(out.end(), data.begin(), data.end());
    };
    if (keyframe) {
        unit({0x67, 0x42, 0xe0, 0x1f}, 8); // SPS
        unit({0x68}, 4);                   // PPS
        unit({0x65}, size);                // IDR slice
    } else {
        unit({0x41}, size);
    }
    return out;
}

} // namespace

TEST(PeerTrack, H264AccessUnitsArriveWholeAndKeyframeRequestsReachTheSender) {
    PeerPair pair;
    auto video = hostVideo();
    auto sending = pair.offerer.pc->addTrack(video);
    auto config = std::make_shared<RtpPacketizationConfig>(kSsrc, "cname-test", 102, 90000);
    auto packetizer = std::make_shared<H264RtpPacketizer>(H264RtpPacketizer::Separator::StartSequence, config);
    packetizer->addToChain(std::make_shared<RtcpSrReporter>(config));
    packetizer->addToChain(std::make_shared<RtcpNackResponder>(512));
    auto keyframeRequests = std::make_shared<std::atomic<int>>(0);
    packetizer->addToChain(std::make_shared<PliHandler>([keyframeRequests] { ++*keyframeRequests; }));
    sending->setMediaHandler(packetizer);
    auto sendingEvents = TrackEvents::attach(sending);

    auto receivingHolder = std::make_shared<Recorder<std::shared_ptr<Track>>>();
    auto frames = std::make_shared<Recorder<std::pair<binary, uint32_t>>>();
    // The viewer sets up its chain in onTrack, before any packet can arrive.
    pair.answerer.pc->onTrack([receivingHolder, frames](std::shared_ptr<Track> track) {
        auto depacketizer = std::make_shared<H264RtpDepacketizer>(H264RtpDepacketizer::Separator::LongStartSequence);
        depacketizer->addToChain(std::make_shared<RtcpReceivingSession>(77, "viewer"));
        track->setMediaHandler(depacketizer);
        track->onFrame([frames](binary b, FrameInfo info) { frames->record({std::move(b), info.timestamp}); });
        receivingHolder->record(track);
    });
    pair.offer();
    ASSERT_TRUE(sendingEvents->opened.waitCount(1));
    ASSERT_TRUE(receivingHolder->waitCount(1));
    auto receiving = receivingHolder->snapshot()[0];
    ASSERT_TRUE(impl::test::eventually([&] { return receiving->isOpen(); }));

    std::vector<binary> sent;
    for (unsigned i = 0; i < 12; ++i) {
        sent.push_back(accessUnit(i % 6 == 0, i % 3 == 0 ? 5000 + 300 * i : 200 + i, i));
        ASSERT_TRUE(sending->sendFrame(sent.back(), FrameInfo(1000 + 3000 * i)));
    }
    ASSERT_TRUE(frames->waitCount(sent.size()));
    auto got = frames->snapshot();
    ASSERT_EQ(got.size(), sent.size());
    for (unsigned i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(got[i].first, sent[i]) << i;
        EXPECT_EQ(got[i].second, 1000 + 3000 * i) << i;
    }

    EXPECT_TRUE(receiving->requestKeyframe());
    ASSERT_TRUE(impl::test::eventually([&] { return keyframeRequests->load() >= 1; }));
}
