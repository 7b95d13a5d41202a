#pragma once
// A Controller with scripted media, peer and input sink, brought to the states the session tests
// start from: a viewer with a reservation, a viewer session presenting video, a ready host, a host
// in a session.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ControllerFixture.hpp"

namespace murel::app::test {

inline constexpr const char* kSessionId = "session-1";
inline constexpr const char* kHostId = "host-2";
inline constexpr std::uint64_t kSurface = 0x5150;

inline Json sessionStartOf(const std::string& id, const std::string& hostId, const std::string& clientId) {
    return makeSessionStartMessage(SessionInfo{id, hostId, clientId});
}

inline Json offerOf(const std::string& sessionId, Json extra = Json::object()) {
    Json payload = std::move(extra);
    payload["sdp"] = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\n";
    return Json{{"type", "offer"}, {"session_id", sessionId}, {"payload", payload}};
}

inline Json iceOf(const std::string& sessionId, int line, Json extra = Json::object()) {
    Json payload = std::move(extra);
    payload["candidate"] = "candidate:" + std::to_string(line) + " 1 udp 2122260223 10.0.0.2 5000 typ host";
    payload["mid"] = "0";
    payload["line"] = line;
    return Json{{"type", "ice"}, {"session_id", sessionId}, {"payload", payload}};
}

class SessionTest : public ControllerTest {
protected:
    void SetUp() override {
        scriptAccount();
        fake.service->on("POST /v1/sessions", [](const RecordedRequest& request) {
            return Json{{"id", kSessionId}, {"host_id", request.body.at("host_id")}, {"client_id", "device-1"}};
        });
        fake.service->on("GET /v1/ice", [](const RecordedRequest&) {
            return Json{{"ice_servers", Json::array({Json{{"urls", Json::array({"stun:stun.example.net:3478"})}}})}};
        });
    }

    std::shared_ptr<OpenedSocket> socket() { return fake.signaling->last(); }

    // Messages the Controller sent on the signaling channel, heartbeats aside.
    std::vector<Json> signalingSent() {
        const auto transport = socket()->transport;
        std::lock_guard<std::mutex> guard(transport->lock);
        std::vector<Json> out;
        for (const std::string& text : transport->sent) {
            Json message = Json::parse(text);
            if (message.value("type", "") != "heartbeat") out.push_back(std::move(message));
        }
        return out;
    }
    // The readiness this host published, once `count` host.status messages have left the socket's
    // send thread ("ready: Ready", "not ready: Hosting is disabled", ...).
    std::vector<std::string> waitHostStatus(std::size_t count) {
        std::vector<std::string> reasons;
        eventually([&] {
            reasons.clear();
            for (const Json& message : sentOfType("host.status")) {
                reasons.push_back((message["payload"]["ready"].get<bool>() ? "ready: " : "not ready: ") +
                                  message["payload"]["reason"].get<std::string>());
            }
            return reasons.size() >= count;
        });
        return reasons;
    }
    std::vector<Json> sentOfType(const std::string& type) {
        std::vector<Json> out;
        for (Json& message : signalingSent()) {
            if (message.value("type", "") == type) out.push_back(std::move(message));
        }
        return out;
    }

    std::vector<SentInput> inputsOf(std::size_t peer) {
        return fake.peers->with(peer, [](PeerRecord& r) { return r.inputs; });
    }
    std::vector<Json> remoteSignalsOf(std::size_t peer) {
        return fake.peers->with(peer, [](PeerRecord& r) { return r.remoteSignals; });
    }
    bool closed(std::size_t peer) {
        return fake.peers->with(peer, [](PeerRecord& r) { return r.closed; });
    }

    // Waits for a status whose error or message is the given text.
    Status waitError(const std::string& error) {
        return waitStatus([&](const Status& s) { return s.error == error; });
    }
    Status waitMessage(const std::string& message) {
        return waitStatus([&](const Status& s) { return s.message == message; });
    }

    Command connectCommand(const std::string& hostId = kHostId) {
        Command command(CommandKind::Connect);
        command.hostId = hostId;
        command.surface = kSurface;
        return command;
    }

    // Signed in as device-1, online, with session-1 reserved on host-2.
    Status reserve() {
        start();
        signInOnline();
        return run(connectCommand());
    }

    // The reserved session started; the viewer's peer exists.
    void viewerStarted() {
        reserve();
        deliver(socket(), sessionStartOf(kSessionId, kHostId, "device-1"));
        ASSERT_TRUE(eventually([&] { return fake.peers->count() == 1; }));
        waitMessage("Session authorized; negotiating native WebRTC");
    }

    // The viewer's peer connected, its channels are open and one frame was presented.
    void viewerPresenting() {
        viewerStarted();
        fake.peers->push(0, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen),
                             videoFrame(9000)});
        waitStatus([](const Status& s) { return s.viewerInputActive; });
    }

    // The host advertised settings and the modes of a 1920 x 1080 display at 60 Hz.
    void hostAdvertises(std::size_t peer = 0) {
        fake.peers->push(peer, {channelMessage(Json{{"kind", "stream.capabilities"}}),
                                channelMessage(streamModesJson(buildStreamModes(1920, 1080, 60)))});
        waitStatus([](const Status& s) { return s.hostStreamModes.has_value(); });
    }

    // Signed in with the host profile as device-1 and online; hosting not enabled yet.
    void hostOnline() {
        start();
        run(signInCommand(CommandKind::SignIn, true));
        deliver(socket(), makeHelloMessage("device-1"));
        waitStatus([](const Status& s) { return s.online; });
    }

    // Signed in with the host profile, online, hosting enabled and ready.
    void hostReady() {
        hostOnline();
        run(Command(CommandKind::EnableHosting));
        waitStatus([](const Status& s) { return s.hostReady && !s.busy; });
    }

    // A viewer (client-9) started session-1 with this ready host; the host's peer exists.
    void hostSession() {
        hostReady();
        deliver(socket(), sessionStartOf(kSessionId, "device-1", "client-9"));
        ASSERT_TRUE(eventually([&] { return fake.peers->count() == 2; }));  // the probe's and this one
        waitMessage("Session authorized; negotiating native WebRTC");
    }
};

}  // namespace murel::app::test
