// H.264 video between our PeerConnection and independent implementations (aiortc, Chromium):
// our send-only track (packetizer, sender reports, NACK and PLI handling) is decoded by them at
// the size we encoded; their H.264 comes out of our depacketizer as access units that libavcodec
// decodes without error.

#include "interop/ChildPeer.hpp"
#include "interop/LocalPeer.hpp"

#include "rtc/H264RtpDepacketizer.hpp"
#include "rtc/H264RtpPacketizer.hpp"
#include "rtc/PliHandler.hpp"
#include "rtc/RtcpNackResponder.hpp"
#include "rtc/RtcpReceivingSession.hpp"
#include "rtc/RtcpSrReporter.hpp"
#include "rtc/RtpPacketizationConfig.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

namespace {

using namespace murel::interop;
using State = rtc::PeerConnection::State;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kPayloadType = 102;
constexpr uint32_t kSsrc = 1;
const std::string kProfile = "profile-level-id=42e01f;packetization-mode=1;level-asymmetry-allowed=1";

std::string clipTool() { return (scriptDir() / "h264_clip.py").string(); }

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// Access units in the clip tool's framing: a 4-byte big-endian size before each.
std::vector<rtc::binary> readUnits(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<rtc::binary> units;
    unsigned char size[4];
    while (in.read(reinterpret_cast<char*>(size), 4)) {
        uint32_t n = (uint32_t(size[0]) << 24) | (uint32_t(size[1]) << 16) | (uint32_t(size[2]) << 8) | size[3];
        rtc::binary unit(n);
        if (!in.read(reinterpret_cast<char*>(unit.data()), n)) break;
        units.push_back(std::move(unit));
    }
    return units;
}

void writeUnits(const std::filesystem::path& path, const std::vector<rtc::binary>& units) {
    std::ofstream out(path, std::ios::binary);
    for (auto& u : units) {
        uint32_t n = static_cast<uint32_t>(u.size());
        unsigned char size[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        out.write(reinterpret_cast<const char*>(size), 4);
        out.write(reinterpret_cast<const char*>(u.data()), static_cast<std::streamsize>(u.size()));
    }
}

class VideoInterop : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!aiortcAvailable()) GTEST_SKIP() << "python3-aiortc/python3-av are not installed";
        if (GetParam() == "chromium" && !chromiumAvailable()) GTEST_SKIP() << "chromium is not installed";
        dir = std::filesystem::temp_directory_path() /
              ("murel-interop-video-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(dir);
        child = ChildPeer::start(GetParam());
        ASSERT_TRUE(child->waitEvent("ready")) << child->diagnostics();
        local = std::make_unique<LocalPeer>(rtc::Configuration{}, *child);
    }
    void TearDown() override {
        stopSending = true;
        if (sender.joinable()) sender.join();
        local.reset();
        child.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    json expectEvent(const std::string& event, const json& fields = json::object()) {
        auto ev = child->waitEvent(event, fields);
        if (!ev || ev->value("event", "") != event) {
            ADD_FAILURE() << "no " << event << " from " << GetParam() << (ev ? " (got " + ev->dump() + ")" : "")
                          << "\n"
                          << child->diagnostics();
            return json();
        }
        return *ev;
    }

    static inline std::atomic<int> counter{0};
    std::filesystem::path dir;
    std::unique_ptr<ChildPeer> child;
    std::unique_ptr<LocalPeer> local;
    std::atomic<bool> stopSending{false};
    std::thread sender;
};

// Our send-only H.264 line as the program's host builds it, answered by them; they decode what we send.
TEST_P(VideoInterop, OurH264IsDecodedByThem) {
    std::string made = run(std::string(kPython) + " " + clipTool() + " make " + (dir / "clip.aus").string() + " " +
                           std::to_string(kWidth) + " " + std::to_string(kHeight) + " 60 30");
    auto units = readUnits(dir / "clip.aus");
    ASSERT_EQ(units.size(), 60u) << made;

    rtc::Description::Video media("video", rtc::Description::Direction::SendOnly);
    media.addH264Codec(kPayloadType, kProfile);
    media.addSSRC(kSsrc, "murel-screen", "murel-desktop", "murel-screen");
    media.setBitrate(2000);
    auto track = local->pc->addTrack(media);

    auto config = std::make_shared<rtc::RtpPacketizationConfig>(kSsrc, "murel-screen", kPayloadType, 90000);
    auto packetizer = std::make_shared<rtc::H264RtpPacketizer>(rtc::NalUnit::Separator::StartSequence, config);
    // Held by the handler too, which may outlive this function until the connection is gone.
    auto keyframeRequests = std::make_shared<std::atomic<int>>(0);
    packetizer->addToChain(std::make_shared<rtc::RtcpSrReporter>(config));
    packetizer->addToChain(std::make_shared<rtc::RtcpNackResponder>());
    packetizer->addToChain(std::make_shared<rtc::PliHandler>([keyframeRequests] { ++*keyframeRequests; }));
    track->setMediaHandler(packetizer);
    track->onOpen([peer = local.get()] { peer->notify(); });

    local->createChannel("murel.control.v1");
    local->pc->setLocalDescription(rtc::Description::Type::Offer);
    ASSERT_TRUE(local->waitState(State::Connected)) << child->diagnostics();
    ASSERT_TRUE(local->waitUntil([&] { return track->isOpen(); })) << "track never opened";
    auto answer = local->pc->remoteDescription();
    ASSERT_TRUE(answer);

    // Sent at the clip's own pace, looping; a keyframe request restarts from the clip's first IDR.
    sender = std::thread([this, track, units, keyframeRequests] {
        uint32_t timestamp = 90000;
        size_t next = 0;
        int seenRequests = 0;
        auto due = std::chrono::steady_clock::now();
        while (!stopSending) {
            if (*keyframeRequests != seenRequests) {
                seenRequests = *keyframeRequests;
                next = 0;
            }
            try {
                track->sendFrame(units[next], rtc::FrameInfo(timestamp));
            } catch (const std::exception&) {
                return;  // closed under us at the end of the test
            }
            next = (next + 1) % units.size();
            timestamp += 3000;
            due += std::chrono::milliseconds(33);
            std::this_thread::sleep_until(due);  // frame pacing, not a wait for a result
        }
    });

    child->send({{"cmd", "wait-video"}, {"frames", 45}});
    auto video = expectEvent("video");
    stopSending = true;
    sender.join();
    ASSERT_FALSE(video.is_null());
    EXPECT_GE(video["frames"].get<int>(), 45);
    EXPECT_EQ(video["width"], kWidth);
    EXPECT_EQ(video["height"], kHeight);
    EXPECT_EQ(video["codec"], "H264");
}

// Their H.264 (aiortc's libx264, Chromium's canvas capture) arrives in our receive-only line and
// leaves the depacketizer as access units that decode cleanly.
TEST_P(VideoInterop, TheirH264LeavesOurDepacketizerDecodable) {
    rtc::Description::Video media("video", rtc::Description::Direction::RecvOnly);
    media.addH264Codec(kPayloadType, kProfile);
    auto track = local->pc->addTrack(media);
    auto depacketizer = std::make_shared<rtc::H264RtpDepacketizer>(rtc::NalUnit::Separator::LongStartSequence);
    auto session = std::make_shared<rtc::RtcpReceivingSession>(2, "murel-viewer");
    depacketizer->addToChain(session);
    track->setMediaHandler(depacketizer);

    constexpr size_t kWanted = 60;
    // Shared with the frame callback, which may run until the connection is gone.
    struct Received {
        std::mutex mutex;
        std::vector<rtc::binary> units;
        std::vector<uint32_t> timestamps;
    };
    auto received = std::make_shared<Received>();
    LocalPeer* peer = local.get();
    track->onFrame([received, peer](rtc::binary data, rtc::FrameInfo info) {
        {
            std::lock_guard lock(received->mutex);
            if (received->units.size() >= kWanted) return;
            received->units.push_back(std::move(data));
            received->timestamps.push_back(info.timestamp);
        }
        peer->notify();
    });
    auto count = [&] {
        std::lock_guard lock(received->mutex);
        return received->units.size();
    };

    local->createChannel("murel.control.v1");
    local->setDescriptionExtras({{"video", "send"}});  // they answer with video of their own
    local->pc->setLocalDescription(rtc::Description::Type::Offer);
    ASSERT_TRUE(local->waitState(State::Connected)) << child->diagnostics();
    ASSERT_TRUE(local->waitUntil([&] { return count() >= kWanted; }))
        << "only " << count() << " access units arrived\n"
        << child->diagnostics();

    std::vector<rtc::binary> got;
    {
        std::lock_guard lock(received->mutex);
        got = received->units;
        for (size_t i = 1; i < received->timestamps.size(); ++i)
            EXPECT_NE(received->timestamps[i], received->timestamps[i - 1]) << "two frames with one timestamp at " << i;
    }
    writeUnits(dir / "received.aus", got);
    std::string report = run(std::string(kPython) + " " + clipTool() + " decode " + (dir / "received.aus").string());
    auto result = json::parse(report, nullptr, false);
    ASSERT_TRUE(result.is_object()) << report;
    EXPECT_EQ(result["errors"], 0) << report;
    EXPECT_LE(result["skipped"].get<int>(), 5) << "no keyframe near the start: " << report;
    EXPECT_GE(result["frames"].get<int>(), static_cast<int>(kWanted) - 5) << report;
    EXPECT_EQ(result["width"], kWidth) << report;
    EXPECT_EQ(result["height"], kHeight) << report;
}

INSTANTIATE_TEST_SUITE_P(Peers, VideoInterop, ::testing::Values("aiortc", "chromium"),
                         [](const auto& info) { return info.param; });

}  // namespace
