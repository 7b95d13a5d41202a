// Hosting: the capture-and-encode probe that proves this PC can stream before it tells the service
// it is ready, readiness publication, and the host pump (readiness, video sending, capture pacing).

#include <algorithm>
#include <memory>
#include <utility>

#include "app/Controller.hpp"
#include "app/ControllerText.hpp"
#include "media/HardwareH264Encoder.hpp"
#include "protocol/ControlApi.hpp"

namespace murel::app {

namespace {

constexpr std::int32_t kProbeFps = 60;
constexpr std::uint32_t kProbeBitrate = 20000000;
constexpr std::int32_t kProbeLevel = 42;
constexpr double kProbeMaxWidth = 1920;
constexpr double kProbeMaxHeight = 1080;

}  // namespace

void Controller::enableHosting() {
    if (reservation_ || sessionActive()) {
        setError(text::kBusyWithSession);
        ++working_.completedOperations;
        return;
    }
    setError({});
    setStatus(text::kPreparingHost);
    BusyScope scope(*this, true);

    requireOnline();
    if (!credential_->host) throw ProtocolError(text::kHostProfileRequired);
    if (sessionActive()) throw ProtocolError(text::kEndSessionFirst);
    if (hostingEnabled_) {
        setStatus(hostReady_ ? text::kHostingEnabled : text::kCheckingHost);
        return;
    }
    if (!platform_.media.canHost() || !platform_.makePeer) throw ProtocolError(text::kHostingUnavailable);

    ensureGraphics();
    heldFrame_.reset();
    capturer_ = platform_.media.makeCapture(*device_, 0);
    const FrameRect bounds = capturer_->desktopBounds();
    hostModes_.reset();
    try {
        hostModes_ = buildStreamModes(static_cast<std::int32_t>(bounds.w), static_cast<std::int32_t>(bounds.h),
                                      static_cast<std::int32_t>(capturer_->refreshRate()));
    } catch (const ProtocolError&) {
        // A display the modes cannot describe streams at the default configuration only.
    }
    const EvenSize probe = fitEncodeSize(bounds.w, bounds.h, std::min(bounds.w, kProbeMaxWidth),
                                         std::min(bounds.h, kProbeMaxHeight));
    encodeWidth_ = static_cast<std::int32_t>(probe.width);
    encodeHeight_ = static_cast<std::int32_t>(probe.height);

    // The relay answer and a peer of the kind a session will use must be obtainable too.
    PeerOptions options;
    options.host = true;
    options.sessionId = "capability-probe";
    options.iceServers = requestIceServers(*http_, credential_->device, platform_.wallClockSeconds()).servers;
    options.h264Level = kProbeLevel;
    options.bitrate = kProbeBitrate;
    std::unique_ptr<SessionPeer> probePeer = platform_.makePeer(std::move(options));

    encoder_ = platform_.media.makeEncoder(
        *device_, EncoderMode{probe.width, probe.height, static_cast<std::uint32_t>(kProbeFps), kProbeBitrate});
    hostingEnabled_ = true;
    hostReady_ = false;
    probeDeadlineMs_ = nowMilliseconds() + kProbeLimitMs;
    (void)publishReady(false, kHostStatusChecking);
    setStatus(text::kCheckingHost);
    scope.markPending();
    try {
        probePeer->close();
    } catch (const std::exception&) {
        // It never connected anywhere; dropping it is all that matters.
    }
}

void Controller::disableHosting() {
    requireOnline();
    endSession(true);
    stopHosting();
    finishPendingOperation();
    (void)publishReady(false, kHostStatusDisabled);
    setStatus(text::kHostingDisabled);
}

void Controller::stopHosting() {
    hostingEnabled_ = false;
    hostReady_ = false;
    probeDeadlineMs_ = 0;
    nextCaptureNs_ = 0;
    heldFrame_.reset();
    encoder_.reset();
    capturer_.reset();
}

bool Controller::publishReady(bool ready, std::string_view reason) {
    if (!socket_) return false;
    try {
        return socket_->send(makeHostStatusMessage(ready, reason));
    } catch (const std::exception&) {
        return false;
    }
}

void Controller::pumpHost(std::int64_t now) {
    for (EncodedAccessUnit& unit : encoder_->encodedUnits()) {
        if (!hostReady_) {
            hostReady_ = true;
            probeDeadlineMs_ = 0;
            if (!publishReady(true, kHostStatusReady)) throw ProtocolError(text::kCannotPublishReadiness);
            finishPendingOperation();
            setStatus(text::kHostProducedFrame);
        }
        // Only the session's host sends video; a viewer session on this PC uses its peer to receive.
        if (peer_ && transportConnected_ && hostsSession() &&
            peer_->sendVideoFrame(unit.bytes, rtpTimestampOf(unit.timestamp))) {
            sessionDeadlineMs_ = 0;
        }
    }
    if (probeDeadlineMs_ != 0 && now > probeDeadlineMs_) throw ProtocolError(text::kProbeTimedOut);

    const std::int64_t nowNs = nowNanoseconds();
    if ((nextCaptureNs_ == 0 || nextCaptureNs_ <= nowNs) && (!peer_ || transportConnected_)) {
        nextCaptureNs_ = nextCaptureTime(nextCaptureNs_, nowNs, streams_.appliedConfiguration().fps);
        CapturedFrame captured = capturer_->capture(0);
        if (captured.hasFrame) heldFrame_ = std::move(captured);
        if (heldFrame_) {
            const PictureHandle picture = converter_->convert(
                heldFrame_->picture, 0, PixelFormat::Nv12, static_cast<std::uint32_t>(encodeWidth_),
                static_cast<std::uint32_t>(encodeHeight_), 0, 0,
                static_cast<std::uint32_t>(streams_.appliedConfiguration().fps));
            // A picture the encoder refuses is dropped; the next interval brings another.
            (void)encoder_->encode(picture, nowNs / 100);
        }
    }
}

}  // namespace murel::app
