// Presence: the device signaling channel, the routing of what it receives and the device list.

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
        // Peer signals of the active session go to its media; anything else is not ours.
        if (peer_ && signaling_->session() && signaling_->session()->id == sessionId) handlePeerSignal(message);
        return;
    }
    if (reservation_ && sessionId == reservation_->id) {
        if (type == "session.end") {
            endSession(false);
            setStatus(text::kConnectionEndedByPeer);
            return;
        }
        if (type == "error") throw ProtocolError(text::kReservedSessionRejected);
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
        if (peer_) {
            peer_->applyRemoteSignal(event.message);
            for (const Json& candidate : signaling_->takeQueuedCandidates(signaling_->session()->id)) {
                peer_->applyRemoteSignal(candidate);
            }
        }
        break;
    case SignalEventKind::Candidate:
        if (peer_) peer_->applyRemoteSignal(event.message);
        break;
    case SignalEventKind::SessionStart:
        // Session starts are routed to handleSessionStart above.
        break;
    case SignalEventKind::Error:
        throw ProtocolError(text::kServiceRejected);
    }
}

void Controller::refreshDevices() {
    if (!credential_) throw ProtocolError(text::kConnectSignalingFirst);
    if (!signaling_ || !signaling_->helloSeen()) {
        // This is how the user reconnects after the channel closed or never greeted us.
        signOut(false);
        connectSignaling();
        return;
    }
    if (reservation_) {
        setStatus(text::kSessionReservedWaiting);
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
    if (!signaling_ || !signaling_->helloSeen() || signaling_->session() || reservation_) return;
    if (!credential_ || !http_) return;
    if (lastDeviceListMs_ && now - *lastDeviceListMs_ < kDeviceListIntervalMs) return;
    lastDeviceListMs_ = now;
    working_.hosts = requestHosts(*http_, credential_->device.token);
}

}  // namespace murel::app
