// The media of a session: building it for a stream configuration (first media and every
// renegotiation), routing the session's peer signals, and the peer's events.

#include <algorithm>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "app/Controller.hpp"
#include "app/ControllerText.hpp"
#include "media/HardwareH264Encoder.hpp"
#include "protocol/SignalingSession.hpp"

namespace murel::app {

namespace {

std::string_view textOf(const PeerBytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

void Controller::createMedia(const StreamConfiguration& configuration, const std::string& streamRequestId) {
    MediaBuild build = buildMedia(configuration, streamRequestId);
    Teardown teardown;
    installMedia(std::move(build), teardown);
    teardown.finish();
}

Controller::MediaBuild Controller::buildMedia(const StreamConfiguration& configuration,
                                              const std::string& streamRequestId) {
    if (!sessionActive()) throw ProtocolError(text::kNoActiveStream);
    validateStreamConfiguration(configuration);
    if (!platform_.makePeer) throw ProtocolError(text::kViewingUnavailable);

    MediaBuild build;
    build.configuration = configuration;
    build.requestId = streamRequestId;
    build.host = signaling_->isHost();
    const SessionInfo session = *signaling_->session();

    PeerOptions options;
    options.host = build.host;
    options.sessionId = session.id;
    options.iceServers = iceServers_;
    options.h264Level = 52;
    options.bitrate = static_cast<std::uint32_t>(configuration.maxBitrateBps);
    options.wake = [wake = wake_] { wake->wake(); };
    if (build.host) {
        if (!capturer_ || !device_ || !platform_.media.makeEncoder) throw ProtocolError(text::kHostingUnavailable);
        const FrameRect bounds = capturer_->desktopBounds();
        EncoderMode mode;
        if (configuration.hasHeight) {
            mode.width = static_cast<std::uint32_t>(configuration.width);
            mode.height = static_cast<std::uint32_t>(configuration.height);
        } else {
            const EvenSize size = fitEncodeSize(bounds.w, bounds.h, std::min<double>(bounds.w, configuration.width),
                                                std::min<double>(bounds.h, 1080));
            mode.width = size.width;
            mode.height = size.height;
        }
        mode.fps = static_cast<std::uint32_t>(configuration.fps);
        mode.bitrate = static_cast<std::uint32_t>(configuration.maxBitrateBps);
        build.encoder = platform_.media.makeEncoder(*device_, mode);
        options.h264Level = build.encoder->level();
    } else {
        if (!device_ || !platform_.media.canView()) throw ProtocolError(text::kViewingUnavailable);
        options.allowHevc = !noHevc_ && hevcVerified_;
        if (options.allowHevc) {
            build.hevcDecoder = platform_.media.makeDecoder(
                *device_, VideoCodec::Hevc, static_cast<std::uint32_t>(configuration.width),
                static_cast<std::uint32_t>(configuration.height), static_cast<std::uint32_t>(configuration.fps));
        }
    }
    build.peer = platform_.makePeer(std::move(options));
    if (!build.host) build.decoder = platform_.media.makeDecoder(*device_, VideoCodec::H264, 1920, 1080, 60);

    // The media's own signaling state accepts signals of this session only.
    build.signaling = std::make_unique<SignalingSession>(signaling_->deviceId());
    build.signaling->classify(makeHelloMessage(signaling_->deviceId()));
    build.signaling->classify(makeSessionStartMessage(session));
    return build;
}

void Controller::installMedia(MediaBuild build, Teardown& teardown) {
    // From here nothing may be skipped: the new media is installed whatever fails on the way, and
    // the first failure is raised by the caller afterwards.
    if (!build.host && peer_) {
        teardown.step([&] { (void)sendRelease(*peer_); });
    }
    releaseInjectedInput(teardown);
    closePeer(retiredPeer_, teardown);
    retiredPeer_ = std::move(peer_);
    peer_ = std::move(build.peer);
    mediaSignaling_ = std::move(build.signaling);

    if (build.host) {
        encoder_ = std::move(build.encoder);
        encodeWidth_ = static_cast<std::int32_t>(encoder_->mode().width);
        encodeHeight_ = static_cast<std::int32_t>(encoder_->mode().height);
        if (injector_ && capturer_) {
            const FrameRect bounds = capturer_->desktopBounds();
            teardown.step([&] { injector_->enable(DesktopRect{bounds.x, bounds.y, bounds.w, bounds.h}); });
        }
    } else {
        decoder_ = std::move(build.decoder);
    }
    hevcDecoder_ = std::move(build.hevcDecoder);

    working_.videoCodecKnown = false;
    if (build.host) {
        working_.videoCodec = 0;
        working_.videoCodecKnown = true;
    }
    streams_.setApplied(build.configuration, build.requestId);
    if (!timerRaised_ && platform_.media.raiseTimerResolution) {
        teardown.step([&] { timerRaised_ = platform_.media.raiseTimerResolution(); });
    }

    transportConnected_ = false;
    channelsOpen_ = false;
    frameQueue_.clear();
    pendingTexture_.reset();
    lastPresentOk_ = false;
    // Input the interface posted against the old media must not reach the new peer's unopened channels.
    working_.viewerInputActive = false;
    working_.videoRect = VideoRect{};
    working_.decodedWidth = 0;
    working_.decodedHeight = 0;
    working_.decodeFps = 0;
    working_.presentFps = 0;
    const std::int64_t now = nowMilliseconds();
    rateWindowStartMs_ = now;
    rateWindowDecoded_ = framesDecoded_;
    rateWindowPresented_ = framesPresented_;
    inputSequence_ = 0;
    nextCaptureNs_ = 0;
    sessionDeadlineMs_ = now + kSessionLimitMs;
}

void Controller::closePeer(std::unique_ptr<SessionPeer>& peer, Teardown& teardown) {
    if (!peer) return;
    teardown.step([&] { peer->close(); });
    peer.reset();
}

void Controller::releaseInjectedInput(Teardown& teardown) {
    if (injector_) teardown.step([&] { injector_->releaseAll(); });
}

// --- peer signals ------------------------------------------------------------------------------

void Controller::handlePeerSignal(const Json& message) {
    const PeerSignalDecision decision = streams_.routePeerSignal(message, signaling_->isHost());
    switch (decision.route) {
    case PeerSignalRoute::Ignore:
    case PeerSignalRoute::Held:
        return;
    case PeerSignalRoute::Current:
        applyDescriptionOrCandidate(message);
        return;
    case PeerSignalRoute::Restart: {
        std::vector<Json> held = streams_.beginRestart();
        createMedia(decision.configuration, decision.requestId);
        // Early candidates wait in the new media's signaling state for the offer's description.
        for (const Json& candidate : held) {
            try {
                (void)mediaSignaling_->classify(candidate);
            } catch (const ProtocolError&) {
                // A malformed early candidate is dropped; the renegotiation does not depend on it.
            }
        }
        applyDescriptionOrCandidate(message);
        return;
    }
    }
}

void Controller::applyDescriptionOrCandidate(const Json& message) {
    const SignalEvent event = mediaSignaling_->classify(message);
    if (event.kind == SignalEventKind::Description) {
        peer_->applyRemoteSignal(event.message);
        for (const Json& candidate : mediaSignaling_->takeQueuedCandidates(signaling_->session()->id)) {
            peer_->applyRemoteSignal(candidate);
        }
    } else if (event.kind == SignalEventKind::Candidate) {
        peer_->applyRemoteSignal(event.message);
    }
}

// --- peer events -------------------------------------------------------------------------------

void Controller::pumpPeerEvents() {
    if (!peer_) return;
    SessionPeer* const drained = peer_.get();
    std::vector<PeerEvent> events = peer_->drain();
    bool dropFrames = false;
    for (PeerEvent& event : events) {
        // A renegotiation replaced the peer: what is left belongs to the old one.
        if (peer_.get() != drained) break;
        handlePeerEvent(event, dropFrames);
    }
}

void Controller::handlePeerEvent(PeerEvent& event, bool& dropFrames) {
    const bool host = hostsSession();
    switch (event.kind) {
    case PeerEventKind::LocalSignal:
        sendLocalSignal(std::move(event.signal));
        break;
    case PeerEventKind::Connected:
        transportConnected_ = true;
        setStatus(text::kTransportConnected);
        {
            Teardown teardown;
            closePeer(retiredPeer_, teardown);
            // The new transport is up; a failure to close the old one changes nothing for it.
        }
        if (host && encoder_) encoder_->requestKeyframe();
        break;
    case PeerEventKind::ChannelsOpen:
        channelsOpen_ = true;
        if (host) streams_.channelsOpen(streamLink_);
        break;
    case PeerEventKind::ChannelMessage: {
        const std::string_view bytes = textOf(event.bytes);
        const StreamMessageOutcome outcome =
            streams_.handleMessage(bytes, event.channel, host, nowMilliseconds(), streamLink_);
        if (outcome == StreamMessageOutcome::Applied) {
            setStatus(text::kSettingsApplied);
        } else if (outcome == StreamMessageOutcome::Rejected) {
            setError(text::kSettingsRejected);
        } else if (outcome == StreamMessageOutcome::NotStreamSettings && host && injector_) {
            (void)injector_->apply(bytes, event.channel);
        }
        break;
    }
    case PeerEventKind::VideoFrame:
        if (host || dropFrames) break;
        if (frameQueue_.size() < kFrameQueueLimit) {
            frameQueue_.push_back(QueuedFrame{std::move(event.bytes), event.rtpTimestamp});
        } else {
            // The decoder fell behind: start again from a keyframe rather than decode a backlog.
            (void)peer_->requestKeyframe();
            recoverVideo();
            dropFrames = true;
        }
        break;
    case PeerEventKind::KeyframeRequest:
        if (encoder_) encoder_->requestKeyframe();
        break;
    case PeerEventKind::Closed:
        throw ProtocolError(text::kPeerClosed);
    case PeerEventKind::Failure:
        throw ProtocolError(std::string(text::kPeerFailedPrefix) + peerFailureWord(event.reason) + ")");
    case PeerEventKind::VideoLoss:
        if (!host) recoverVideo();
        break;
    case PeerEventKind::VideoCodec:
        if (host || working_.videoCodecKnown) throw ProtocolError(text::kUnexpectedCodec);
        if (event.codec == kCodecHevc) {
            if (!hevcDecoder_) throw ProtocolError(text::kHevcWithoutDecoder);
            decoder_ = std::move(hevcDecoder_);
        } else if (event.codec == kCodecH264) {
            hevcDecoder_.reset();
        } else {
            throw ProtocolError(text::kUnexpectedCodec);
        }
        working_.videoCodec = event.codec;
        working_.videoCodecKnown = true;
        break;
    }
}

void Controller::sendLocalSignal(Json signal) {
    const std::string& requestId = streams_.appliedRequestId();
    if (!requestId.empty()) {
        const StreamConfiguration& configuration = streams_.appliedConfiguration();
        const bool offer = signal.is_object() && signal.value("type", std::string()) == "offer";
        tagStreamRequest(signal, requestId,
                         offer ? streamConfigurationJson(configuration, configuration.hasHeight) : Json());
    }
    if (!socket_ || !socket_->send(signal)) throw ProtocolError(text::kSignalingUnavailable);
}

// --- the stream-settings exchange's view of the session -----------------------------------------

bool Controller::StreamLink::sendControl(std::string_view message) {
    return controller_.peer_ && controller_.peer_->sendInput(message, kControlChannel);
}

const std::optional<StreamModes>& Controller::StreamLink::ownModes() { return controller_.hostModes_; }

void Controller::StreamLink::rebuildMedia(const StreamConfiguration& configuration, const std::string& requestId) {
    // A request the host cannot build media for is refused; once built, the media is installed
    // and what fails on the way (releasing held input) ends the session after the renegotiation
    // has been started.
    MediaBuild build = controller_.buildMedia(configuration, requestId);
    Teardown teardown;
    controller_.installMedia(std::move(build), teardown);
    try {
        teardown.finish();
    } catch (const std::exception&) {
        installFailure_ = std::current_exception();
    }
}

void Controller::StreamLink::renegotiate() {
    controller_.peer_->createOffer();
    if (installFailure_) std::rethrow_exception(std::exchange(installFailure_, nullptr));
}

}  // namespace murel::app
