// Our NativePeer against an independent implementation (aiortc, run by Debian's /usr/bin/python3):
// aiortc as the viewer of our host (it decodes our H.264 at the size we encoded, and sees nothing
// but our two channels and one video track), and aiortc as a host whose offer lists H.265 and
// H.264 with transport-wide congestion control, answered by our viewer.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "PeerSessionSupport.hpp"
#include "PeerTestSupport.hpp"
#include "interop/ChildPeer.hpp"

namespace murel {
namespace {

using namespace peertest;
using interop::ChildPeer;
using interop::json;
using K = PeerEventKind;

const std::string kSession = "interop-1";
constexpr auto kChildPatience = std::chrono::milliseconds(interop::kPeerTimeout);

// The child's signals, kept for the test thread (they arrive on the child's reader thread).
struct Inbox {
    std::mutex mutex;
    std::deque<json> signals;
    std::shared_ptr<WakeState> wake;

    void attach(ChildPeer& child) {
        child.onSignal([this](const json& signal) {
            {
                std::lock_guard lock(mutex);
                signals.push_back(signal);
            }
            wake->wake();
        });
    }
    std::deque<json> take() {
        std::lock_guard lock(mutex);
        return std::exchange(signals, {});
    }
};

// Our peer's side of the exchange: its LocalSignals go to the child, the child's signals come back
// through `toOurs` (which may edit them) and applyRemoteSignal.
struct Bridge {
    Side side;
    Inbox inbox;
    std::unique_ptr<ChildPeer> child;
    std::function<json(json)> toOurs = [](json signal) { return signal; };
    std::vector<Json> ourSignals;

    explicit Bridge(bool host, bool allowHevc = false) {
        inbox.wake = side.wake;
        PeerOptions options = peerOptions(host, side.wake, kSession);
        options.allowHevc = allowHevc;
        side.peer = std::make_unique<NativePeer>(std::move(options));
        child = ChildPeer::start("aiortc");
        inbox.attach(*child);
    }
    ~Bridge() {
        side.peer->close();
        child.reset();
    }

    void pump() {
        for (auto& signal : inbox.take()) {
            signal = toOurs(std::move(signal));
            const std::string type = signal.value("type", "");
            if (type == "offer" || type == "answer") {
                side.peer->applyRemoteSignal(
                    Json{{"type", type}, {"session_id", kSession}, {"payload", {{"sdp", signal["sdp"]}}}});
            }
            // aiortc gathers before it signals: its candidates are inside its description.
        }
        side.drain();
        for (auto it = side.events.begin(); it != side.events.end();) {
            if (it->kind != K::LocalSignal) {
                ++it;
                continue;
            }
            const Json& s = it->signal;
            ourSignals.push_back(s);
            if (s["type"] == "ice")
                child->send(json{{"type", "candidate"},
                                 {"candidate", s["payload"]["candidate"]},
                                 {"mid", s["payload"]["mid"]},
                                 {"mlineIndex", s["payload"]["line"]}});
            else
                child->send(json{{"type", s["type"]}, {"sdp", s["payload"]["sdp"]}});
            it = side.events.erase(it);
        }
    }

    bool waitUntil(const std::function<bool()>& done) {
        return pumpUntil([this] { pump(); }, *side.wake, done, kChildPatience);
    }
    std::optional<PeerEvent> waitFor(PeerEventKind kind) { return pumpFor([this] { pump(); }, side, kind, kChildPatience); }
};

class AiortcInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!interop::aiortcAvailable()) GTEST_SKIP() << "python3-aiortc/python3-av are not installed";
        std::signal(SIGPIPE, SIG_IGN);  // a child that died is reported, not fatal
    }
};

TEST_F(AiortcInterop, AiortcViewsOurHost) {
    const auto clip = readClip();
    ASSERT_GE(clip.size(), 30u) << "MUREL_PEER_CLIP names no clip";
    Bridge bridge(true);
    ASSERT_TRUE(bridge.child->waitEvent("ready")) << bridge.child->diagnostics();
    bridge.side.peer->createOffer();
    ASSERT_TRUE(bridge.waitFor(K::Connected)) << bridge.child->diagnostics();
    ASSERT_TRUE(bridge.waitFor(K::ChannelsOpen)) << bridge.child->diagnostics();

    auto control = bridge.child->waitEvent("channel", {{"label", kControlChannelLabel}});
    ASSERT_TRUE(control) << bridge.child->diagnostics();
    EXPECT_EQ((*control)["ordered"], true);
    EXPECT_TRUE((*control)["maxRetransmits"].is_null());
    EXPECT_TRUE((*control)["maxPacketLifeTime"].is_null());
    auto pointer = bridge.child->waitEvent("channel", {{"label", kPointerChannelLabel}});
    ASSERT_TRUE(pointer) << bridge.child->diagnostics();
    EXPECT_EQ((*pointer)["ordered"], false);
    EXPECT_EQ((*pointer)["maxRetransmits"], 0);
    ASSERT_TRUE(bridge.child->waitEvent("track", {{"kind", "video"}})) << bridge.child->diagnostics();

    // aiortc echoes what it receives.
    ASSERT_TRUE(bridge.side.peer->sendInput(std::string_view(R"({"type":"stream.modes"})"), kControlChannel));
    auto echo = bridge.waitFor(K::ChannelMessage);
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->channel, kControlChannel);
    EXPECT_EQ(echo->bytes.size(), 23u);

    bridge.child->send(json{{"cmd", "wait-video"}, {"frames", 20}});
    for (std::size_t i = 0; i < clip.size(); ++i) {
        ASSERT_TRUE(bridge.side.peer->sendVideoFrame(clip[i], std::uint32_t(i) * 3000)) << i;
        bridge.pump();
        // At the clip's own pace, as an encoder would deliver it.
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
    auto video = bridge.child->waitEvent("video");
    ASSERT_TRUE(video) << bridge.child->diagnostics();
    EXPECT_GE((*video)["frames"].get<int>(), 20);
    EXPECT_EQ((*video)["width"], 320);
    EXPECT_EQ((*video)["height"], 192);
    EXPECT_EQ((*video)["codec"], "H264");

    // Nothing else was opened: no third channel, no second track.
    EXPECT_FALSE(bridge.child->waitEvent("channel", json::object(), std::chrono::milliseconds(300)));
    EXPECT_FALSE(bridge.child->waitEvent("track", json::object(), std::chrono::milliseconds(10)));
    EXPECT_EQ(bridge.side.count(K::Failure), 0u);
}

// Adds H.265 (payload type 120, listed first) and transport-wide congestion control (feedback on
// every codec, both header-extension forms) to aiortc's offer, as another host might offer them.
json withHevcAndTransportCc(json offer) {
    std::string sdp = offer["sdp"];
    std::smatch m;
    const std::regex videoLine("m=video (\\d+) ([A-Z/]+) ([0-9 ]+)\r\n");
    EXPECT_TRUE(std::regex_search(sdp, m, videoLine)) << sdp;
    std::vector<std::string> types;
    {
        std::istringstream in(m[3].str());
        for (std::string pt; in >> pt;) types.push_back(pt);
    }
    std::string added = "a=extmap:13 http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01\r\n"
                        "a=extmap:14 urn:ietf:params:rtp-hdrext:transport-wide-cc-02\r\n"
                        "a=rtpmap:120 H265/90000\r\na=fmtp:120 profile-id=1;tier-flag=0;level-id=93;tx-mode=SRST\r\n"
                        "a=rtcp-fb:120 transport-cc\r\na=rtcp-fb:120 nack pli\r\n";
    for (const auto& pt : types) added += "a=rtcp-fb:" + pt + " transport-cc\r\n";
    const std::string line = "m=video " + m[1].str() + " " + m[2].str() + " 120 " + m[3].str() + "\r\n";
    const std::size_t at = std::size_t(m.position(0));
    sdp.replace(at, std::size_t(m.length(0)), line);
    const std::size_t mid = sdp.find("a=mid:", at);
    const std::size_t end = sdp.find("\r\n", mid) + 2;
    sdp.insert(end, added);
    offer["sdp"] = sdp;
    return offer;
}

std::string videoSection(const std::string& sdp) {
    const std::size_t at = sdp.find("m=video");
    if (at == std::string::npos) return {};
    const std::size_t next = sdp.find("\r\nm=", at);
    return sdp.substr(at, next == std::string::npos ? std::string::npos : next - at);
}

TEST_F(AiortcInterop, OurViewerPicksHevcWhenAllowedAndStripsTransportCc) {
    Bridge bridge(false, true);
    bridge.toOurs = withHevcAndTransportCc;
    ASSERT_TRUE(bridge.child->waitEvent("ready")) << bridge.child->diagnostics();
    bridge.child->send(json{{"cmd", "create-offer"}, {"channels", json::array()}, {"video", "send"}});
    auto codec = bridge.waitFor(K::VideoCodec);
    ASSERT_TRUE(codec) << bridge.child->diagnostics();
    EXPECT_EQ(codec->codec, kCodecHevc);
    ASSERT_TRUE(bridge.waitUntil([&] { return !bridge.ourSignals.empty(); }));
    const std::string answer = bridge.ourSignals.front()["payload"]["sdp"];
    const std::string video = videoSection(answer);
    EXPECT_NE(video.find("m=video 9 UDP/TLS/RTP/SAVPF 120\r\n"), std::string::npos) << answer;
    EXPECT_NE(video.find("a=rtpmap:120 H265/90000"), std::string::npos);
    EXPECT_NE(video.find("a=recvonly"), std::string::npos);
    EXPECT_EQ(answer.find("transport-cc"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("transport-wide-cc"), std::string::npos) << answer;
}

TEST_F(AiortcInterop, OurViewerReceivesAiortcH264WithoutTransportCc) {
    const auto dir = std::filesystem::temp_directory_path() / ("murel-peer-interop-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Bridge bridge(false, false);
    bridge.toOurs = withHevcAndTransportCc;
    ASSERT_TRUE(bridge.child->waitEvent("ready")) << bridge.child->diagnostics();
    bridge.child->send(json{{"cmd", "create-offer"}, {"channels", json::array()}, {"video", "send"}});
    auto codec = bridge.waitFor(K::VideoCodec);
    ASSERT_TRUE(codec) << bridge.child->diagnostics();
    EXPECT_EQ(codec->codec, kCodecH264);
    ASSERT_TRUE(bridge.waitFor(K::Connected)) << bridge.child->diagnostics();
    ASSERT_FALSE(bridge.ourSignals.empty());
    ASSERT_EQ(bridge.ourSignals.front()["type"], "answer");
    const std::string answer = bridge.ourSignals.front()["payload"]["sdp"];
    EXPECT_EQ(answer.find("transport-cc"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("transport-wide-cc"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("H265"), std::string::npos) << answer;
    EXPECT_NE(videoSection(answer).find("H264/90000"), std::string::npos) << answer;

    // Twenty whole units from aiortc's encoder, which libavcodec decodes at aiortc's size.
    std::vector<PeerBytes> units;
    while (units.size() < 20) {
        auto frame = bridge.waitFor(K::VideoFrame);
        ASSERT_TRUE(frame) << "after " << units.size() << " frames\n" << bridge.child->diagnostics();
        units.push_back(std::move(frame->bytes));
    }
    const auto path = dir / "received.h264units";
    {
        std::ofstream out(path, std::ios::binary);
        for (const auto& u : units) {
            const std::uint32_t n = std::uint32_t(u.size());
            const unsigned char size[4] = {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                                           std::uint8_t(n)};
            out.write(reinterpret_cast<const char*>(size), 4);
            out.write(reinterpret_cast<const char*>(u.data()), std::streamsize(u.size()));
        }
    }
    const std::string command = std::string(interop::kPython) + " " +
                                (std::filesystem::path(MUREL_INTEROP_DIR) / "h264_clip.py").string() + " decode " +
                                path.string();
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        ::pclose(p);
    }
    const json result = json::parse(out, nullptr, false);
    ASSERT_TRUE(result.is_object()) << out;
    EXPECT_EQ(result["skipped"], 0) << "the first unit handed on is a keyframe";
    EXPECT_EQ(result["errors"], 0) << out;
    EXPECT_GE(result["frames"].get<int>(), 19) << out;
    EXPECT_EQ(result["width"], 320);
    EXPECT_EQ(result["height"], 240);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace murel
