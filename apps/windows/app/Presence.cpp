// Presence: the device signaling channel, the routing of what it receives, the device list and
// the end of a session as far as signaling and the control service are concerned.

#include <exception>
#include <string>
#include <utility>

#include "app/Controller.hpp"
#include "app/ControllerText.hpp"
#include "protocol/ControlApi.hpp"

namespace murel::app {

namespace {

constexpr std::int64_t kDeviceListIntervalMs = 3000;

std::string memberString(const Json& message, const char* key) {
    if (!message.is_object()) return {};
    const auto found = message.find(key);
    if (found == message.end() || !found->is_string()) return {};
    return found->get<std::string>();
}

}  // namespace

void Controller::connectSignaling() {
    if (!credential_ || !origin_) throw ProtocolError(text::kSignInBeforeSignaling);
    signaling_ = std::make_unique<SignalingSession>(credential_->device.id);
    setStatus(text::kConnectingSignaling);
    BusyScope scope(*this, false);

    ++signalingGeneration_;
    const std::uint64_t generation = signalingGeneration_;
    CommandQueue* queue = &queue_;
    // Both run on the socket's threads (or on the worker when one of its sends fails): they only
    // queue, tagged with the generation this socket belongs to.
    std::unique_ptr<SignalingSocket> socket = platform_.openSignaling(
        *origin_, credential_->device.token,
        [queue, generation](Json message) { queue->pushSignalingEvent(generation, std::move(message), false); },
        [queue, generation](const std::string&) { queue->pushSignalingEvent(generation, Json(), true); });
    socket_ = std::move(socket);

    setStatus(text::kWaitingForHello);
    lastDeviceListMs_.reset();  // the first tick after the hello lists the devices
}

void Controller::handleSignalingEvent(const Json& message) {
    if (!signaling_) return;
    const std::string type = memberString(message, "type");
    const std::string sessionId = memberString(message, "session_id");

    if (type == "offer" || type == "answer" || type == "ice") {
        // Peer signals go to the peer of the active session; no peer exists without media.
        return;
    }
    if (type == "session.start") {
        handleSessionStart(message, sessionId);
        return;
    }

    const SignalEvent event = signaling_->classify(message);
    switch (event.kind) {
    case SignalEventKind::None:
        break;
    case SignalEventKind::Hello:
        setError({});
        setStatus(text::kDeviceOnline);
        break;
    case SignalEventKind::SessionEnd:
        endSession(false);
        setStatus(text::kSessionEndedByPeer);
        break;
    case SignalEventKind::Description:
    case SignalEventKind::Candidate:
        // Applied to the peer once one exists.
        break;
    case SignalEventKind::SessionStart:
        // Session starts are routed to handleSessionStart above.
        break;
    case SignalEventKind::Error:
        throw ProtocolError(text::kServiceRejected);
    }
}

void Controller::handleSessionStart(const Json& message, const std::string& sessionId) {
    // The envelope's id is read as the wire defines it: absent or null, or a string of at most
    // 256 bytes; anything else makes the message invalid rather than a membership mismatch.
    if (const auto id = message.find("session_id"); id != message.end() && !id->is_null()) {
        requireString(message, "session_id", kSignalSessionIdBytes);
    }
    const auto payload = message.find("payload");
    if (payload == message.end()) throw ProtocolError("Invalid protocol message");
    const SessionInfo started = readSessionInfo(*payload);
    const std::string& self = signaling_->deviceId();
    if (!signaling_->helloSeen() || started.id != sessionId ||
        (started.hostId != self && started.clientId != self)) {
        throw ProtocolError(text::kUnexpectedSessionStart);
    }

    const auto& active = signaling_->session();
    const bool expected = (active && *active == started) || (!active && started.hostId == self);
    if (!expected) {
        BusyScope scope(*this, false);
        try {
            if (!credential_ || !http_) throw ProtocolError(text::kConnectSignalingFirst);
            requestSessionEnd(*http_, credential_->device, started.id);
        } catch (const std::exception& error) {
            setError(std::string(text::kUnrequestedSessionEndFailed) + error.what());
        }
        return;
    }

    const SignalEvent event = signaling_->classify(message);
    if (event.kind != SignalEventKind::SessionStart) return;  // a repeated start of this session

    BusyScope scope(*this, false);
    // A host takes a session only while hosting is enabled and ready. The capture and encoder
    // pipeline that makes it ready is not part of this build, so the session is ended at once and
    // the service told, which frees the viewer that reserved it.
    endSession(true);
}

void Controller::refreshDevices() {
    if (!credential_) throw ProtocolError(text::kConnectSignalingFirst);
    if (!signaling_ || !signaling_->helloSeen()) {
        // This is how the user reconnects after the channel closed or never greeted us.
        signOut(false);
        connectSignaling();
        return;
    }
    if (signaling_->session()) {
        setStatus(text::kRefreshPaused);
        return;
    }
    working_.hosts = requestHosts(*http_, credential_->device.token);
    lastDeviceListMs_ = nowMilliseconds();
    setStatus(text::kHostListUpdated);
}

void Controller::refreshDeviceListPeriodically(std::int64_t now) {
    if (!signaling_ || !signaling_->helloSeen() || signaling_->session()) return;
    if (!credential_ || !http_) return;
    if (lastDeviceListMs_ && now - *lastDeviceListMs_ < kDeviceListIntervalMs) return;
    lastDeviceListMs_ = now;
    working_.hosts = requestHosts(*http_, credential_->device.token);
}

void Controller::endSession(bool notifyService) {
    std::string id;
    if (signaling_ && signaling_->session()) id = signaling_->session()->id;

    // The peer, decoders, presenter, encoder and the input injector's hold are released here once
    // they exist; what the status shows of a session returns to its idle values.
    working_.streamConfiguration = StreamConfiguration{};
    working_.hostStreamModes.reset();
    working_.hostStreamSettingsKnown = false;
    working_.streamSettingsPending = false;
    working_.videoCodecKnown = false;
    working_.decodedWidth = 0;
    working_.decodedHeight = 0;
    working_.decodeFps = 0;
    working_.presentFps = 0;
    working_.framesDecoded = 0;
    working_.framesPresented = 0;
    working_.videoRect = VideoRect{};
    working_.viewerInputActive = false;

    if (signaling_ && !id.empty()) {
        signaling_->classify(Json{{"type", "session.end"}, {"session_id", id}});
    }
    if (notifyService && !id.empty() && credential_ && http_) {
        BusyScope scope(*this, false);
        requestSessionEnd(*http_, credential_->device, id);
    }
}

void Controller::sendHostStatus(bool ready, std::string_view reason) {
    if (!socket_) return;
    try {
        socket_->send(makeHostStatusMessage(ready, reason));
    } catch (const std::exception&) {
        // The channel reports its own failure; this message is advisory.
    }
}

}  // namespace murel::app
