// H.264 video between two peer connections over loopback with the media chains a host and a viewer
// use: packetizer, sender reports, NACK responder and PLI handler on one side; depacketizer and
// receiving session on the other, with loss injected where the host's packets leave.
#include "rtc/H264RtpDepacketizer.hpp"
#include "rtc/H264RtpPacketizer.hpp"
#include "rtc/PliHandler.hpp"
#include "rtc/Rtcp.hpp"
#include "rtc/RtcpNackResponder.hpp"
#include "rtc/RtcpReceivingSession.hpp"
#include "rtc/RtcpSrReporter.hpp"
#include "rtc/RtpPacket.hpp"

#include "peer_test_support.hpp"
#include "rtp_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <random>

using namespace rtc;
using namespace rtc::test;

namespace {

constexpr uint32_t kSsrc = 1;

Description::Video hostVideo() {
    Description::Video video("video", Description::Direction::SendOnly);
    video.addH264Codec(102);
    video.addSSRC(kSsrc, "murel-screen", "murel-desktop", "murel-screen");
    return video;
}

// Drops a share of the RTP packets the host's chain hands to the network, as a lossy path would.
// It sits after the NACK responder, which therefore still keeps the dropped packets; the
// retransmissions leave directly and are not dropped. (Loss on the viewer's side of SRTP would
// not do: the SRTP replay window has seen those packets and rightly refuses their repeats.)
class LossyUplink final : public MediaHandler {
public:
    explicit LossyUplink(double loss) : mLoss(loss) {}
    void outgoing(message_vector& messages, const message_callback&) override {
        message_vector kept;
        for (auto& m : messages) {
            if (m->type == Message::Binary && mLoss(mRandom)) {
                ++dropped;
                continue;
            }
            kept.push_back(std::move(m));
        }
        messages.swap(kept);
    }
    std::atomic<int> dropped{0};

private:
    std::bernoulli_distribution mLoss;
    std::mt19937 mRandom{1234};
};

// The viewer's H.264 depacketizer, also telling of every frame it hands over, whole or given up.
class ViewerDepacketizer final : public VideoRtpDepacketizer {
public:
    message_ptr reassemble(const message_vector& packets) override {
        if (!packets.empty())
            if (auto packet = RtpPacket::parse(*packets.front())) handedOver.record(packet->timestamp());
        return mH264.reassemble(packets);
    }
    bool waitFor(uint32_t timestamp) {
        return handedOver.waitFor([timestamp](const auto& all) { return !all.empty() && all.back() >= timestamp; });
    }
    impl::test::Recorder<uint32_t> handedOver;

private:
    H264RtpDepacketizer mH264{H264RtpDepacketizer::Separator::StartSequence};
};

// Records the receiver reports reaching the host.
class ReportProbe final : public MediaHandler {
public:
    void incoming(message_vector& messages, const message_callback&) override {
        for (const auto& m : messages) {
            if (m->type != Message::Control) continue;
            if (auto packets = rtcp::parse(*m))
                for (const auto& p : *packets)
                    if (const auto* rr = std::get_if<rtcp::ReceiverReport>(&p)) reports.record(*rr);
        }
    }
    impl::test::Recorder<rtcp::ReceiverReport> reports;
};

// Stands in for a chain that is slow, fails or closes its track: sees each frame, can hold one until
// released, throw on one, or run a hook; it sends nothing.
class SenderProbe final : public MediaHandler {
public:
    void outgoing(message_vector& messages, const message_callback&) override {
        for (const auto& m : messages) {
            if (!m->frameInfo) continue;
            const uint32_t timestamp = m->frameInfo->timestamp;
            seen.record(timestamp);
            if (hook) hook(timestamp);
            if (timestamp == holdAt) {
                std::unique_lock lock(mMutex);
                mReleased.wait(lock, [&] { return mOpen; });
            }
            if (timestamp == throwAt) throw std::runtime_error("packetizer ran out of sequence numbers");
        }
        messages.clear();
    }
    void release() {
        {
            std::lock_guard lock(mMutex);
            mOpen = true;
        }
        mReleased.notify_all();
    }
    uint32_t holdAt = 0;
    uint32_t throwAt = 0;
    std::function<void(uint32_t)> hook;
    impl::test::Recorder<uint32_t> seen;

private:
    std::mutex mMutex;
    std::condition_variable mReleased;
    bool mOpen = false;
};

struct Host {
    std::shared_ptr<Track> track;
    std::shared_ptr<RtpPacketizationConfig> config =
        std::make_shared<RtpPacketizationConfig>(kSsrc, "murel-screen", 102, 90000);
    std::shared_ptr<RtcpNackResponder> responder = std::make_shared<RtcpNackResponder>(512);
    std::shared_ptr<ReportProbe> probe = std::make_shared<ReportProbe>();
    std::shared_ptr<std::atomic<int>> keyframeRequests = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<LossyUplink> link;

    void attach(std::shared_ptr<Track> t, double loss) {
        track = std::move(t);
        auto packetizer = std::make_shared<H264RtpPacketizer>(H264RtpPacketizer::Separator::StartSequence, config);
        packetizer->addToChain(std::make_shared<RtcpSrReporter>(config));
        packetizer->addToChain(responder);
        auto requests = keyframeRequests;
        packetizer->addToChain(std::make_shared<PliHandler>([requests] { ++*requests; }));
        packetizer->addToChain(probe);
        if (loss > 0) {
            link = std::make_shared<LossyUplink>(loss);
            packetizer->addToChain(link);
        }
        track->setMediaHandler(packetizer);
    }
};

struct Viewer {
    // Owned with the callback: a frame callback already running when the test ends may finish
    // after the Viewer is gone.
    struct Received {
        std::mutex mutex;
        std::map<uint32_t, binary> frames;  // by RTP timestamp
        impl::test::Recorder<uint32_t> arrivals;
    };

    std::shared_ptr<Track> track;
    std::shared_ptr<RtcpReceivingSession> session =
        std::make_shared<RtcpReceivingSession>(0, "", 90000, std::chrono::milliseconds(100));
    std::shared_ptr<Received> received = std::make_shared<Received>();
    std::mutex& mutex = received->mutex;
    std::map<uint32_t, binary>& frames = received->frames;
    impl::test::Recorder<uint32_t>& arrivals = received->arrivals;
    std::shared_ptr<ViewerDepacketizer> depacketizer = std::make_shared<ViewerDepacketizer>();

    void attach(std::shared_ptr<Track> t, double loss) {
        track = std::move(t);
        depacketizer->addToChain(session);
        if (loss > 0) session->setNackEnabled(true);
        track->setMediaHandler(depacketizer);
        track->onFrame([received = received](binary data, FrameInfo info) {
            {
                std::lock_guard lock(received->mutex);
                received->frames[info.timestamp] = std::move(data);
            }
            received->arrivals.record(info.timestamp);
        });
    }
};

struct Session {
    PeerPair pair;
    Host host;
    Viewer viewer;

    bool connect(double loss) {
        host.attach(pair.offerer.pc->addTrack(hostVideo()), loss);
        pair.offerer.pc->createDataChannel("murel.control.v1");
        pair.offer();
        if (!pair.answerer.events->tracks.waitCount(1)) return false;
        viewer.attach(pair.answerer.events->tracks.snapshot()[0], loss);
        return pair.waitConnected() && impl::test::eventually([&] { return host.track->isOpen() && viewer.track->isOpen(); });
    }

    ~Session() {
        if (viewer.track) viewer.track->resetCallbacks();
        if (host.track) host.track->resetCallbacks();
    }
};

// Access units of one slice each (a partial frame from the depacketizer would then be empty, so
// any frame that arrives is complete or visibly wrong).
binary accessUnit(std::mt19937& rng, std::size_t size) { return rtptest::annexB4({rtptest::makeNal(rng, size, 0x65)}); }

}  // namespace

TEST(PeerMedia, AccessUnitsArriveByteExactThroughBothChains) {
    Session s;
    ASSERT_TRUE(s.connect(0));
    std::mt19937 rng(5);
    std::map<uint32_t, binary> sent;
    // Up to 512 KiB: one frame leaves as a single burst, which must fit the receiving socket's
    // buffer even when the receiving thread is slow (larger units are covered without a network).
    const std::vector<std::size_t> sizes = {10, 1220, 1221, 20000, 150 * 1024, 512 * 1024, 600, 90000};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const uint32_t timestamp = 3000 * uint32_t(i + 1);
        // 3-byte start codes on the way in; the viewer always gets 4-byte ones.
        binary nal = rtptest::makeNal(rng, sizes[i], i == 0 ? 0x67 : 0x65);
        sent[timestamp] = rtptest::annexB4({nal});
        ASSERT_TRUE(s.host.track->sendFrame(rtptest::annexB({nal}, {false}), FrameInfo(timestamp)));
        // Paced per frame: loopback UDP buffers are finite and this test is about content.
        ASSERT_TRUE(s.viewer.arrivals.waitCount(i + 1)) << "frame " << i;
    }
    std::lock_guard lock(s.viewer.mutex);
    ASSERT_EQ(s.viewer.frames.size(), sent.size());
    for (const auto& [timestamp, frame] : sent) EXPECT_TRUE(s.viewer.frames[timestamp] == frame) << timestamp;
}

// Each frame is sent once the one before the previous was handed over (whole or given up) at the
// viewer: the stream goes as fast as the repairs allow, on a loaded machine and under Wine too,
// and the receiver always has a newer frame to notice a frame's lost last packets by.
TEST(PeerMedia, NackResponderRepairsFivePercentLoss) {
    Session s;
    ASSERT_TRUE(s.connect(0.05));
    std::mt19937 rng(6);
    std::map<uint32_t, binary> sent;
    constexpr int kFrames = 120;
    for (int i = 0; i < kFrames; ++i) {
        const uint32_t timestamp = 1500 * uint32_t(i + 1);
        sent[timestamp] = accessUnit(rng, 30000 + 1000 * (i % 7));
        ASSERT_TRUE(s.host.track->sendFrame(sent[timestamp], FrameInfo(timestamp)));
        if (i > 1) ASSERT_TRUE(s.viewer.depacketizer->waitFor(timestamp - 3000)) << "frame " << i - 2 << " stuck";
    }
    // Trailing frames make losses at the end of the last counted frame visible to the viewer.
    for (int i = 0; i < 5; ++i) {
        const uint32_t timestamp = 1500 * uint32_t(kFrames + 1 + i);
        ASSERT_TRUE(s.host.track->sendFrame(accessUnit(rng, 100), FrameInfo(timestamp)));
        ASSERT_TRUE(s.viewer.depacketizer->waitFor(timestamp - 3000));
    }
    // Frames are delivered in order: once a trailing one is, every counted one was dealt with.
    ASSERT_TRUE(s.viewer.arrivals.waitFor(
        [](const auto& all) { return !all.empty() && all.back() >= 1500u * (kFrames + 1); }));
    int exact = 0, corrupt = 0;
    {
        std::lock_guard lock(s.viewer.mutex);
        for (const auto& [timestamp, frame] : sent) {
            auto it = s.viewer.frames.find(timestamp);
            if (it == s.viewer.frames.end()) continue;
            (it->second == frame ? exact : corrupt)++;
        }
    }
    const auto arrivals = s.viewer.arrivals.snapshot();
    EXPECT_TRUE(std::is_sorted(arrivals.begin(), arrivals.end()));
    const int dropped = s.host.link->dropped.load();
    const auto retransmitted = s.host.responder->retransmitted();
    const auto stats = s.viewer.session->statistics();
    RecordProperty("dropped", dropped);
    RecordProperty("retransmitted", std::to_string(retransmitted));
    RecordProperty("exact", exact);
    RecordProperty("nacked", std::to_string(stats.nacksSent));
    RecordProperty("suppressed", std::to_string(s.host.responder->suppressed()));
    RecordProperty("viewer_rtt_us", std::to_string(stats.repairRoundTrip.count()));
    RecordProperty("host_rtt_us", std::to_string(s.host.responder->roundTrip().count()));
    // About 25 packets a frame: without repair some 70 % of the frames would miss one. Every loss
    // is repairable (retransmissions are not dropped); each is asked for about once.
    EXPECT_GT(dropped, 60);
    EXPECT_GE(retransmitted, std::uint64_t(dropped) * 9 / 10);
    EXPECT_LE(retransmitted, std::uint64_t(dropped) * 2) << "NACKs sent " << stats.nacksSent;
    EXPECT_EQ(corrupt, 0);
    EXPECT_GE(exact, kFrames * 95 / 100) << "dropped " << dropped << ", retransmitted " << retransmitted;
    EXPECT_GT(stats.repairsMeasured, 0u);
}

// Drops the n-th RTP packet (counting from 1) that leaves the chain.
class DropOne final : public MediaHandler {
public:
    explicit DropOne(int which) : mWhich(which) {}
    void outgoing(message_vector& messages, const message_callback&) override {
        std::erase_if(messages, [&](const message_ptr& m) { return m->type == Message::Binary && ++mSeen == mWhich; });
    }

private:
    const int mWhich;
    int mSeen = 0;
};

// The last frame sent lost a packet and nothing follows it: the viewer's track still runs its chain
// when the frame's wait is over, so the frame is given up rather than held until more media comes.
TEST(PeerMedia, DamagedLastFrameIsGivenUpWithoutAnotherPacket) {
    Session s;
    ASSERT_TRUE(s.connect(0));
    auto config = std::make_shared<RtpPacketizationConfig>(kSsrc, "murel-screen", 102, 90000);
    auto packetizer = std::make_shared<H264RtpPacketizer>(H264RtpPacketizer::Separator::StartSequence, config);
    packetizer->addToChain(std::make_shared<DropOne>(3));  // the second packet of the second frame
    s.host.track->setMediaHandler(packetizer);
    std::mt19937 rng(8);
    const binary first = accessUnit(rng, 1000), second = accessUnit(rng, 3000);
    ASSERT_TRUE(s.host.track->sendFrame(first, FrameInfo(3000)));
    ASSERT_TRUE(s.viewer.arrivals.waitCount(1));
    ASSERT_TRUE(s.host.track->sendFrame(second, FrameInfo(6000)));
    ASSERT_TRUE(s.viewer.depacketizer->waitFor(6000));
    std::lock_guard lock(s.viewer.mutex);
    EXPECT_TRUE(s.viewer.frames[3000] == first);
    EXPECT_FALSE(s.viewer.frames.count(6000) && s.viewer.frames[6000] == second);
}

TEST(PeerMedia, KeyframeRequestsAndReportsCrossTheConnection) {
    Session s;
    ASSERT_TRUE(s.connect(0));
    std::mt19937 rng(7);
    // Before any media the viewer knows no stream to ask a keyframe of.
    EXPECT_FALSE(s.viewer.track->requestKeyframe());
    ASSERT_TRUE(s.host.track->sendFrame(accessUnit(rng, 5000), FrameInfo(3000)));
    ASSERT_TRUE(s.viewer.arrivals.waitCount(1));

    // PLI through the viewer's receiving session.
    EXPECT_TRUE(s.viewer.track->requestKeyframe());
    ASSERT_TRUE(impl::test::eventually([&] { return s.host.keyframeRequests->load() == 1; }));
    // FIR sent as it is; its repetition (same sequence number) is not a new request.
    binary fir;
    rtcp::write(fir, rtcp::ReceiverReport{s.viewer.session->localSsrc(), {}});
    rtcp::write(fir, rtcp::FullIntraRequest{s.viewer.session->localSsrc(), {{kSsrc, 1}}});
    EXPECT_TRUE(s.viewer.track->send(fir));
    ASSERT_TRUE(impl::test::eventually([&] { return s.host.keyframeRequests->load() == 2; }));
    EXPECT_TRUE(s.viewer.track->send(fir));
    binary pli;
    rtcp::write(pli, rtcp::ReceiverReport{s.viewer.session->localSsrc(), {}});
    rtcp::write(pli, rtcp::PictureLossIndication{s.viewer.session->localSsrc(), kSsrc});
    EXPECT_TRUE(s.viewer.track->send(pli));
    ASSERT_TRUE(impl::test::eventually([&] { return s.host.keyframeRequests->load() >= 3; }));
    EXPECT_EQ(s.host.keyframeRequests->load(), 3);

    // The first frame carried a sender report; the viewer's receiver reports (sent as media
    // arrives, every 100 ms here) echo it.
    ASSERT_TRUE(impl::test::eventually([&] { return s.viewer.session->statistics().senderReportsReceived >= 1; }));
    auto echoed = [&] {
        for (const auto& rr : s.host.probe->reports.snapshot())
            for (const auto& block : rr.reports)
                if (block.ssrc == kSsrc && block.lastSenderReport != 0) return true;
        return false;
    };
    uint32_t timestamp = 3000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!echoed() && std::chrono::steady_clock::now() < deadline) {
        timestamp += 3000;
        ASSERT_TRUE(s.host.track->sendFrame(accessUnit(rng, 500), FrameInfo(timestamp)));
        s.host.probe->reports.waitCount(s.host.probe->reports.size() + 1, std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(echoed());
    EXPECT_EQ(s.host.keyframeRequests->load(), 3);
}

// The sender thread runs frames in order; a failure there is reported once, by the next sendFrame,
// and the track keeps sending afterwards.
TEST(PeerMedia, SenderFailureSurfacesFromTheNextSendFrame) {
    Session s;
    ASSERT_TRUE(s.connect(0));
    auto probe = std::make_shared<SenderProbe>();
    probe->throwAt = 1;
    s.host.track->setMediaHandler(probe);
    const binary frame(100, std::byte{1});
    ASSERT_TRUE(s.host.track->sendFrame(frame, FrameInfo(1)));
    std::string error;
    try {
        // Once frame 2 reached the chain, frame 1's failure has been recorded.
        if (s.host.track->sendFrame(frame, FrameInfo(2)) && s.host.track->sendFrame(frame, FrameInfo(3))) {
            ASSERT_TRUE(probe->seen.waitCount(2));
            s.host.track->sendFrame(frame, FrameInfo(4));
        }
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    EXPECT_EQ(error, "packetizer ran out of sequence numbers");
    EXPECT_TRUE(s.host.track->sendFrame(frame, FrameInfo(10)));
    ASSERT_TRUE(impl::test::eventually([&] { return probe->seen.snapshot().back() == 10u; }));
    const auto seen = probe->seen.snapshot();
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

// A held sender: the queue refuses past its frame and byte bounds, close() drops what waits and
// returns once the frame in flight finished, and the track refuses further frames.
TEST(PeerMedia, FullSendQueueRefusesAndCloseDropsWhatIsQueued) {
    Session s;
    ASSERT_TRUE(s.connect(0));
    auto probe = std::make_shared<SenderProbe>();
    probe->holdAt = 1;
    s.host.track->setMediaHandler(probe);
    const binary frame(100, std::byte{1});
    ASSERT_TRUE(s.host.track->sendFrame(frame, FrameInfo(1)));
    ASSERT_TRUE(probe->seen.waitCount(1)); // in flight, no longer queued
    ASSERT_TRUE(s.host.track->sendFrame(frame, FrameInfo(2)));
    EXPECT_FALSE(s.host.track->sendFrame(binary(Track::kMaxQueuedBytes, std::byte{2}), FrameInfo(3)));
    for (uint32_t t = 4; t < 4 + Track::kMaxQueuedFrames - 1; ++t) EXPECT_TRUE(s.host.track->sendFrame(frame, FrameInfo(t)));
    EXPECT_FALSE(s.host.track->sendFrame(frame, FrameInfo(100)));

    auto closing = std::async(std::launch::async, [&] { s.host.track->close(); });
    ASSERT_TRUE(impl::test::eventually([&] { return s.host.track->isClosed(); }));
    probe->release();
    ASSERT_EQ(closing.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    closing.get();
    EXPECT_EQ(probe->seen.snapshot(), std::vector<uint32_t>{1});
    EXPECT_THROW(s.host.track->sendFrame(frame, FrameInfo(200)), std::runtime_error);
}

// close() from the chain, on the sender thread itself, neither deadlocks nor throws.
TEST(PeerMedia, CloseFromTheSenderThreadReturns) {
    Session s;
    ASSERT_TRUE(s.connect(0));
    auto probe = std::make_shared<SenderProbe>();
    std::weak_ptr<Track> weak = s.host.track;
    probe->hook = [weak](uint32_t) {
        if (auto track = weak.lock()) track->close();
    };
    s.host.track->setMediaHandler(probe);
    const binary frame(100, std::byte{1});
    ASSERT_TRUE(s.host.track->sendFrame(frame, FrameInfo(1)));
    ASSERT_TRUE(probe->seen.waitCount(1));
    ASSERT_TRUE(impl::test::eventually([&] { return s.host.track->isClosed(); }));
    EXPECT_THROW(s.host.track->sendFrame(frame, FrameInfo(2)), std::runtime_error);
}
