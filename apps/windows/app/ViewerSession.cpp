// One remote session from both sides as far as the service is concerned: the viewer's Connect and
// reservation, the rules for a received session start, the set-up, stream-settings requests and the
// end of a session with its teardown.

#include <exception>
#include <string>
#include <utility>

#include "app/Controller.hpp"
#include "app/ControllerText.hpp"
#include "media/HevcPreflight.hpp"
#include "platform/HttpClient.hpp"
#include "protocol/ControlApi.hpp"

namespace murel::app {

void Controller::connect(const Command& command) {
    if (reservation_ || presenter_ || sessionActive()) {
        // Refused without raising: whatever is under way goes on.
        setError(text::kBusyWithSession);
        ++working_.completedOperations;
        return;
    }
    setError({});
    setStatus(text::kConnecting);
    BusyScope scope(*this, true);

    requireOnline();
    if (!platform_.media.canView() || !platform_.makePeer) throw ProtocolError(text::kViewingUnavailable);
    ensureGraphics();
    decoder_ = platform_.media.makeDecoder(*device_, VideoCodec::H264, 1920, 1080, 60);
    noHevc_ = command.noHevc;
    hevcVerified_ = false;
    if (!noHevc_) {
        try {
            runHevcPreflight(platform_.media, *device_);
            hevcVerified_ = true;
        } catch (const std::exception&) {
            // No verified HEVC decoder: the session offers H.264 only.
        }
    }
    surface_ = command.surface;
    presenter_.reset();
    presenter_ = platform_.media.makePresenter(*device_, surface_);
    presenter_->presentEmpty();
    reservation_ = requestSession(*http_, credential_->device, command.hostId);
    sessionDeadlineMs_ = nowMilliseconds() + kSessionLimitMs;
    setStatus(text::kSessionReservedWaiting);
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

    // The user closed the viewer while the start was on its way: the EndSession still queued would
    // only find the session already set up.
    if (reservation_ && *reservation_ == started && queue_.hasQueued(CommandKind::EndSession)) {
        endSession(true);
        setStatus(text::kConnectionCancelled);
        return;
    }

    const auto& active = signaling_->session();
    const bool expected = (active && *active == started) || (reservation_ && *reservation_ == started) ||
                          (!active && !reservation_ && started.hostId == self);
    if (!expected) {
        // A start that reuses the id of this device's own session or reservation with other
        // members is not a stranger's: ending that id at the service would end our real session.
        if ((active && active->id == started.id) || (reservation_ && reservation_->id == started.id)) {
            setError(text::kUnexpectedSessionStart);
            return;
        }
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
    if (event.kind == SignalEventKind::SessionStart) setUpSession();
}

void Controller::setUpSession() {
    reservation_.reset();
    BusyScope scope(*this, false);
    const bool host = signaling_->isHost();
    if (host && (!hostingEnabled_ || !hostReady_)) {
        // Not (yet) able to stream: the service frees the viewer that reserved us.
        endSession(true);
        return;
    }
    if (!platform_.makePeer) throw ProtocolError(host ? text::kHostingUnavailable : text::kViewingUnavailable);
    iceServers_ = requestIceServers(*http_, credential_->device, platform_.wallClockSeconds()).servers;
    createMedia(StreamConfiguration{}, {});
    transportConnected_ = false;
    channelsOpen_ = false;
    framesDecoded_ = 0;
    framesPresented_ = 0;
    lastPresentOk_ = false;
    inputSequence_ = 0;
    working_.videoRecoveries = 0;
    sessionDeadlineMs_ = nowMilliseconds() + kSessionLimitMs;
    if (host) {
        peer_->createOffer();
    } else if (!decoder_ || !presenter_) {
        throw ProtocolError(text::kViewerNotReady);
    }
    setStatus(text::kSessionAuthorized);
}

void Controller::applyStreamSettings(const Command& command) {
    setError({});
    BusyScope scope(*this, true);
    try {
        if (!command.streamConfiguration) throw ProtocolError(text::kChooseStreamMode);
        const bool ready = sessionActive() && !signaling_->isHost() && peer_ && transportConnected_;
        streams_.request(*command.streamConfiguration, ready, nowMilliseconds(), streamLink_);
        setStatus(text::kApplyingSettings);
    } catch (const std::exception& error) {
        // A refused change leaves the session as it is.
        setError(error.what());
    }
}

void Controller::endSession(bool notifyService) {
    std::string id;
    if (sessionActive()) {
        id = signaling_->session()->id;
    } else if (reservation_) {
        id = reservation_->id;
    }
    const bool wasReserved = reservation_.has_value();
    reservation_.reset();

    // Every step runs even when one before it fails: a half-ended session would keep its peer
    // open or keys held on the host.
    Teardown teardown;
    if (peer_ && signaling_ && !signaling_->isHost()) {
        teardown.step([&] { (void)sendRelease(*peer_); });
    }
    releaseInjectedInput(teardown);
    closePeer(peer_, teardown);
    decoder_.reset();
    frameQueue_.clear();
    pendingTexture_.reset();
    hevcDecoder_.reset();
    hevcVerified_ = false;
    noHevc_ = false;
    working_.videoCodecKnown = false;
    closePeer(retiredPeer_, teardown);
    mediaSignaling_.reset();
    iceServers_.clear();
    streams_.reset();

    working_.decodedWidth = 0;
    working_.decodedHeight = 0;
    working_.decodeFps = 0;
    working_.presentFps = 0;
    rateWindowStartMs_ = 0;
    nextCaptureNs_ = 0;
    restoreTimerResolution();
    transportConnected_ = false;
    channelsOpen_ = false;
    sessionDeadlineMs_ = 0;
    framesDecoded_ = 0;
    framesPresented_ = 0;
    lastPresentOk_ = false;
    working_.viewerInputActive = false;
    working_.videoRect = VideoRect{};
    if (presenter_) {
        if (!stopping_) {
            try {
                presenter_->presentEmpty();
            } catch (const std::exception&) {
                // The window may already be gone; the presenter goes either way.
            }
        }
        presenter_.reset();
    }
    if (signaling_ && !id.empty()) {
        teardown.step([&] { signaling_->classify(Json{{"type", "session.end"}, {"session_id", id}}); });
    }
    if (notifyService && !id.empty() && credential_ && http_) {
        BusyScope scope(*this, false);
        try {
            requestSessionEnd(*http_, credential_->device, id);
        } catch (const HttpStatusError& e) {
            // 404: the service has ended the session already (the other side's end, or its peer
            // closing, reached it first), which is all that was asked.
            if (e.status() != 404) {
                if (wasReserved) signOut(false);
                throw;
            }
        } catch (const std::exception&) {
            // A reservation the service cannot be told about would hold this device in it.
            if (wasReserved) signOut(false);
            throw;
        }
    }
    teardown.finish();
}

}  // namespace murel::app
