// A host and a viewer NativePeer whose signals go through a real murel-control on loopback: two
// devices of one account, each with its signaling socket and session state, exchange offer,
// answer and candidates as the service relays them; then input and H.264 units flow between the
// peers, and closing one side reaches the other.

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>

#include "BeastTransport.hpp"
#include "ControlProcess.hpp"
#include "PeerSessionSupport.hpp"
#include "PeerTestSupport.hpp"
#include "peer/VideoAccessUnit.hpp"
#include "platform/HttpClient.hpp"
#include "platform/SignalingSocket.hpp"
#include "protocol/ControlApi.hpp"
#include "protocol/SignalingSession.hpp"

namespace murel {
namespace {

using namespace peertest;
using K = PeerEventKind;

std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

// One device: its credential, signaling socket and session state, and its peer once the session
// started. Received signaling messages wait in an inbox for the test thread.
struct Device {
    ServerOrigin origin;
    DeviceCredential credential;
    SignalingSession signaling;
    Side side;
    std::unique_ptr<SignalingSocket> socket;
    std::mutex mutex;
    std::deque<Json> inbox;
    std::string failure;
    std::optional<SessionInfo> session;

    Device(const ServerOrigin& origin, DeviceCredential credential, std::shared_ptr<WakeState> either)
        : origin(origin), credential(std::move(credential)), signaling(this->credential.id) {
        side.wake->also = std::move(either);
        auto wake = side.wake;
        socket = std::make_unique<SignalingSocket>(
            makeBeastWebSocketTransport(origin), this->credential.token,
            [this, wake](Json message) {
                {
                    std::lock_guard lock(mutex);
                    inbox.push_back(std::move(message));
                }
                wake->wake();
            },
            [this, wake](const std::string& reason) {
                {
                    std::lock_guard lock(mutex);
                    failure = reason;
                }
                wake->wake();
            });
    }
    ~Device() {
        if (side.peer) side.peer->close();
        socket->close();
    }

    // Handles what arrived: session starts, the other peer's signals (candidates held by the
    // session state until the description is applied); sends what the peer produced.
    void pump() {
        std::deque<Json> arrived;
        {
            std::lock_guard lock(mutex);
            arrived.swap(inbox);
            EXPECT_EQ(failure, "") << "signaling failed";
        }
        for (const auto& message : arrived) {
            const SignalEvent event = signaling.classify(message);
            if (event.kind == SignalEventKind::SessionStart) {
                session = signaling.session();
            } else if (event.kind == SignalEventKind::Description && side.peer) {
                side.peer->applyRemoteSignal(event.message);
                for (const auto& candidate : signaling.takeQueuedCandidates(session->id))
                    side.peer->applyRemoteSignal(candidate);
            } else if (event.kind == SignalEventKind::Candidate && side.peer) {
                side.peer->applyRemoteSignal(event.message);
            }
        }
        side.drain();
        for (auto it = side.events.begin(); it != side.events.end();) {
            if (it->kind != K::LocalSignal) {
                ++it;
                continue;
            }
            EXPECT_TRUE(socket->send(it->signal)) << "signaling refused a peer signal";
            it = side.events.erase(it);
        }
    }
};

class ServiceSession : public ::testing::Test {
protected:
    void SetUp() override {
        control = std::make_unique<test::ControlProcess>();
        origin = parseServerOrigin(control->origin());
        http = std::make_unique<HttpClient>(makeBeastHttpTransport(origin));
        const AccountCredential account = requestAuth(*http, true, "peer@example.com", "peer-test-password");
        host = std::make_unique<Device>(origin, requestDeviceRegistration(*http, account.token, "host-pc", true), either);
        viewer = std::make_unique<Device>(origin, requestDeviceRegistration(*http, account.token, "viewer-pc", false),
                                          either);
        ASSERT_TRUE(pumpUntil([&] { return host->signaling.helloSeen() && viewer->signaling.helloSeen(); }));
        ASSERT_TRUE(host->socket->send(makeHostStatusMessage(true, kHostStatusReady)));
        ASSERT_TRUE(pumpUntil([&] {
            for (const auto& h : requestHosts(*http, viewer->credential.token))
                if (h.id == host->credential.id && h.ready) return true;
            return false;
        }));
    }

    void TearDown() override {
        host.reset();
        viewer.reset();
        http.reset();
        control.reset();
    }

    void pump() {
        host->pump();
        viewer->pump();
    }
    bool pumpUntil(const std::function<bool()>& done) {
        return peertest::pumpUntil([this] { pump(); }, *either, done);
    }
    std::optional<PeerEvent> waitFor(Device& device, PeerEventKind kind) {
        std::optional<PeerEvent> found;
        pumpUntil([&] { return (found = device.side.take(kind)).has_value(); });
        return found;
    }

    // Reserves a session; once both devices saw it start, each builds its peer and the host offers.
    void startSession() {
        const SessionInfo reserved = requestSession(*http, viewer->credential, host->credential.id);
        ASSERT_TRUE(pumpUntil([&] { return host->session && viewer->session; }));
        EXPECT_EQ(host->session->id, reserved.id);
        for (Device* device : {host.get(), viewer.get()}) {
            const bool isHost = device == host.get();
            const IceConfiguration ice = requestIceServers(*http, device->credential, nowSeconds());
            PeerOptions options = peerOptions(isHost, device->side.wake, reserved.id);
            options.iceServers = ice.servers;
            device->side.peer = std::make_unique<NativePeer>(std::move(options));
        }
        host->side.peer->createOffer();
    }

    std::unique_ptr<test::ControlProcess> control;
    ServerOrigin origin;
    std::unique_ptr<HttpClient> http;
    std::shared_ptr<WakeState> either = std::make_shared<WakeState>();
    std::unique_ptr<Device> host, viewer;
};

TEST_F(ServiceSession, PeersConnectThroughTheServiceAndCarryInputAndVideo) {
    const auto clip = readClip();
    ASSERT_GE(clip.size(), 12u) << "MUREL_PEER_CLIP names no clip";
    startSession();
    ASSERT_TRUE(waitFor(*host, K::Connected));
    ASSERT_TRUE(waitFor(*viewer, K::Connected));
    ASSERT_TRUE(waitFor(*host, K::ChannelsOpen));
    ASSERT_TRUE(waitFor(*viewer, K::ChannelsOpen));

    ASSERT_TRUE(viewer->side.peer->sendInput(std::string_view(R"({"kind":"keepalive","sequence":1,"version":1})"),
                                             kControlChannel));
    auto input = waitFor(*host, K::ChannelMessage);
    ASSERT_TRUE(input);
    EXPECT_EQ(input->bytes.size(), 45u);

    for (std::size_t i = 0; i < 12; ++i) {
        ASSERT_TRUE(host->side.peer->sendVideoFrame(clip[i], std::uint32_t(i) * 1500));
        auto frame = waitFor(*viewer, K::VideoFrame);
        ASSERT_TRUE(frame) << i;
        EXPECT_EQ(frame->bytes, withLongStartCodes(clip[i])) << i;
        EXPECT_EQ(frame->rtpTimestamp, std::uint32_t(i) * 1500);
    }

    viewer->side.peer->close();
    EXPECT_TRUE(waitFor(*host, K::Closed));
    requestSessionEnd(*http, viewer->credential, viewer->session->id);
    EXPECT_TRUE(pumpUntil([&] { return !host->signaling.session().has_value(); })) << "the host saw no session end";
}

}  // namespace
}  // namespace murel
