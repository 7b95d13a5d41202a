#include "peer/NativePeer.hpp"

#include <chrono>
#include <exception>
#include <utility>
#include <variant>

#include "peer/CompleteVideoDepacketizer.hpp"
#include "peer/NativePeerImpl.hpp"
#include "peer/RemoteSignal.hpp"
#include "peer/VideoAccessUnit.hpp"
#include "peer/VideoCodecs.hpp"
#include "rtc/H264RtpPacketizer.hpp"
#include "rtc/PliHandler.hpp"
#include "rtc/RtcpNackResponder.hpp"
#include "rtc/RtcpReceivingSession.hpp"
#include "rtc/RtcpSrReporter.hpp"
#include "rtc/RtpPacketizationConfig.hpp"

namespace murel {
namespace {

using rtc::PeerConnection;
using WeakMailbox = std::weak_ptr<Mailbox>;

constexpr std::size_t kMaxFragmentSize = 1220;
constexpr std::size_t kNackHistory = 512;
constexpr std::uint32_t kVideoClockRate = 90000;
// What the connection layer reports when the peer sent a message above our announced limit: for
// this program that is a remote input message out of bounds.
constexpr std::string_view kOversizedMessageError = "Received message exceeds the size limit";

std::int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs a callback's mailbox work; callbacks on the connection's threads must never throw. An
// event that cannot even be queued (out of memory) ends the peer.
template <class Work>
void withMailbox(const WeakMailbox& weak, Work&& work) {
    auto mailbox = weak.lock();
    if (!mailbox) return;
    try {
        work(*mailbox);
    } catch (...) {
        mailbox->fail(PeerFailure::MailboxOverflow);
    }
}

bool isPointerReliability(const rtc::Reliability& r) {
    return r.unordered && r.maxRetransmits && *r.maxRetransmits == 0 && !r.maxPacketLifeTime;
}

bool isControlReliability(const rtc::Reliability& r) {
    return !r.unordered && !r.maxRetransmits && !r.maxPacketLifeTime;
}

void attachChannel(const std::shared_ptr<Mailbox>& mailbox, const std::shared_ptr<rtc::DataChannel>& channel) {
    const std::string label = channel->label();
    const rtc::Reliability reliability = channel->reliability();
    std::int32_t number;
    if (label == kPointerChannelLabel && isPointerReliability(reliability)) {
        number = kPointerChannel;
    } else if (label == kControlChannelLabel && isControlReliability(reliability)) {
        number = kControlChannel;
    } else {
        channel->close();
        mailbox->push(PeerEvent::failure(PeerFailure::InvalidChannel));
        return;
    }
    if (!mailbox->attach(number, channel)) {
        channel->close();  // a surplus channel, or the peer closed meanwhile
        return;
    }
    const WeakMailbox weak = mailbox;
    channel->onOpen([weak] {
        withMailbox(weak, [](Mailbox& m) {
            m.channelOpened([](rtc::DataChannel& control, rtc::DataChannel& pointer) {
                return control.isOpen() && pointer.isOpen();
            });
        });
    });
    channel->onClosed([weak] { withMailbox(weak, [](Mailbox& m) { m.push(PeerEvent::of(PeerEventKind::Closed)); }); });
    channel->onError([weak](std::string error) {
        withMailbox(weak, [&](Mailbox& m) {
            m.push(PeerEvent::failure(error == kOversizedMessageError ? PeerFailure::InvalidInput
                                                                      : PeerFailure::ChannelFailure));
        });
    });
    channel->onMessage(
        [weak, number](rtc::binary data) {
            withMailbox(weak, [&](Mailbox& m) {
                if (data.size() > kPeerMessageLimit) {
                    m.push(PeerEvent::failure(PeerFailure::InvalidInput));
                    return;
                }
                PeerEvent event = PeerEvent::of(PeerEventKind::ChannelMessage);
                event.bytes = std::move(data);
                event.channel = number;
                m.push(std::move(event));
            });
        },
        [weak](std::string) {
            withMailbox(weak, [](Mailbox& m) { m.push(PeerEvent::failure(PeerFailure::InvalidInput)); });
        });
}

std::shared_ptr<rtc::Track> addHostTrack(PeerConnection& connection, const PeerOptions& options,
                                         const WeakMailbox& weak) {
    auto track = connection.addTrack(hostVideoMedia(options.h264Level, options.bitrate));
    auto config = std::make_shared<rtc::RtpPacketizationConfig>(kVideoSsrc, kVideoCname,
                                                                 static_cast<std::uint8_t>(kVideoPayloadType),
                                                                 kVideoClockRate, 0);
    auto packetizer = std::make_shared<rtc::H264RtpPacketizer>(rtc::NalUnit::Separator::StartSequence, config,
                                                               kMaxFragmentSize);
    packetizer->addToChain(std::make_shared<rtc::RtcpSrReporter>(config));
    packetizer->addToChain(std::make_shared<rtc::RtcpNackResponder>(kNackHistory));
    packetizer->addToChain(std::make_shared<rtc::PliHandler>([weak] {
        withMailbox(weak, [](Mailbox& m) { m.push(PeerEvent::of(PeerEventKind::KeyframeRequest)); });
    }));
    track->setMediaHandler(packetizer);
    return track;
}

}  // namespace

NativePeer::NativePeer(PeerOptions options) : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    s.options = std::move(options);
    s.mailbox = std::make_shared<Mailbox>(std::move(s.options.wake));
    s.options.wake = nullptr;
    validateIdentifier(s.options.sessionId);
    (void)h264ProfileLevelId(s.options.h264Level);
    throwUnless(s.options.bitrate >= kMinPeerBitrate && s.options.bitrate <= kMaxPeerBitrate,
                "Invalid peer stream bitrate");

    rtc::Configuration config;
    config.disableAutoNegotiation = true;
    config.maxMessageSize = kPeerMessageLimit;
    config.bindAddress = s.options.bindAddress;
    config.iceTransportPolicy = s.options.relayOnly ? rtc::TransportPolicy::Relay : rtc::TransportPolicy::All;
    config.iceServers = buildIceServerList(s.options.iceServers, s.ice);

    s.connection = std::make_shared<PeerConnection>(std::move(config));
    try {
        const WeakMailbox weak = s.mailbox;
        const std::string sessionId = s.options.sessionId;
        s.connection->onLocalDescription([weak, sessionId](rtc::Description description) {
            withMailbox(weak, [&](Mailbox& m) { m.localDescription(std::move(description), sessionId); });
        });
        s.connection->onLocalCandidate([weak, sessionId](rtc::Candidate candidate) {
            withMailbox(weak, [&](Mailbox& m) { m.localCandidate(candidate, sessionId); });
        });
        s.connection->onStateChange([weak](PeerConnection::State state) {
            withMailbox(weak, [state](Mailbox& m) {
                switch (state) {
                case PeerConnection::State::Connected: m.push(PeerEvent::of(PeerEventKind::Connected)); break;
                case PeerConnection::State::Failed:
                    m.push(PeerEvent::failure(PeerFailure::ConnectionFailure));
                    break;
                case PeerConnection::State::Disconnected:
                case PeerConnection::State::Closed: m.push(PeerEvent::of(PeerEventKind::Closed)); break;
                case PeerConnection::State::New:
                case PeerConnection::State::Connecting: break;
                }
            });
        });
        s.connection->onDataChannel([weak](std::shared_ptr<rtc::DataChannel> channel) {
            auto mailbox = weak.lock();
            if (!mailbox) {
                channel->close();
                return;
            }
            try {
                attachChannel(mailbox, channel);
            } catch (...) {
                mailbox->fail(PeerFailure::ChannelFailure);
            }
        });
        if (s.options.host) {
            s.track = addHostTrack(*s.connection, s.options, weak);
            rtc::DataChannelInit control;  // ordered, reliable
            attachChannel(s.mailbox, s.connection->createDataChannel(kControlChannelLabel, control));
            rtc::DataChannelInit pointer;
            pointer.reliability.unordered = true;
            pointer.reliability.maxRetransmits = 0;
            attachChannel(s.mailbox, s.connection->createDataChannel(kPointerChannelLabel, pointer));
        }
    } catch (...) {
        s.mailbox->close();
        s.connection->resetCallbacks();
        s.connection->close();
        throw;
    }
}

NativePeer::~NativePeer() {
    try {
        close();
    } catch (...) {
    }
}

bool NativePeer::isHost() const { return impl_->options.host; }

const IceCounters& NativePeer::iceCounters() const { return impl_->ice; }

void NativePeer::createOffer() {
    Impl& s = *impl_;
    throwUnless(!s.closed && s.options.host, "Only an active host creates offers");
    s.connection->setLocalDescription(rtc::Description::Type::Offer, rtc::LocalDescriptionInit{});
}

void NativePeer::applyRemoteSignal(const Json& signal) {
    Impl& s = *impl_;
    if (s.closed) return;
    RemoteSignal parsed = parseRemoteSignal(signal, s.options.sessionId, s.options.host,
                                            s.connection->remoteDescription());
    if (auto* description = std::get_if<rtc::Description>(&parsed)) {
        if (!s.options.host) s.receiveVideo(*description);
        s.connection->setRemoteDescription(std::move(*description));
        if (!s.options.host)
            s.connection->setLocalDescription(rtc::Description::Type::Answer, rtc::LocalDescriptionInit{});
        return;
    }
    s.connection->addRemoteCandidate(std::get<RemoteCandidate>(parsed).candidate);
}

void NativePeer::Impl::receiveVideo(const rtc::Description& offer) {
    for (unsigned int i = 0; i < offer.mediaCount(); ++i) {
        const auto entry = offer.media(i);
        const auto* media = std::get_if<const rtc::Description::Media*>(&entry);
        // Only the first video line counts; a rejected one (port 0) carries nothing.
        if (!media || track || (*media)->type() != "video" || (*media)->isRemoved()) continue;
        VideoSelection selection = selectVideo(**media, options.allowHevc);
        track = connection->addTrack(std::move(selection.media));
        mailbox->chooseCodec(selection.codec);
        auto depacketizer = std::make_shared<CompleteVideoDepacketizer>(mailbox, selection.codec);
        depacketizer->addToChain(std::make_shared<rtc::RtcpReceivingSession>());
        track->setMediaHandler(depacketizer);
        const WeakMailbox weak = mailbox;
        track->onFrame([weak](rtc::binary data, rtc::FrameInfo info) {
            withMailbox(weak, [&](Mailbox& m) {
                if (data.empty()) return;
                if (data.size() > kVideoFrameLimit) {
                    m.push(PeerEvent::failure(PeerFailure::OversizedVideo));
                    return;
                }
                PeerEvent event = PeerEvent::of(PeerEventKind::VideoFrame);
                event.bytes = std::move(data);
                event.rtpTimestamp = info.timestamp;
                m.push(std::move(event));
            });
        });
    }
    throwUnless(track != nullptr, "Remote host did not offer a screen track");
}

bool NativePeer::Impl::sendKeyframeRequest() {
    if (closed || options.host || !track || !track->isOpen()) return false;
    try {
        return track->requestKeyframe();
    } catch (...) {
        mailbox->push(PeerEvent::failure(PeerFailure::KeyframeRequestFailure));
        return false;
    }
}

std::vector<PeerEvent> NativePeer::drain() {
    Impl& s = *impl_;
    Mailbox::Drained drained = s.mailbox->drain();
    if (!s.options.host && drained.waitingForKeyframe) {
        const std::int64_t now = steadyNanoseconds();
        if (now - s.lastKeyframeRequest >= kKeyframeRequestSpacingNs) {
            s.lastKeyframeRequest = now;
            s.sendKeyframeRequest();
        }
    }
    return std::move(drained.events);
}

PeerEvent NativePeer::requestKeyframe() {
    Impl& s = *impl_;
    PeerEvent loss = PeerEvent::of(PeerEventKind::VideoLoss);
    if (s.closed || s.options.host) return loss;
    if (const auto dropped = s.mailbox->restartVideo()) {
        loss.droppedFrames = *dropped;
        s.lastKeyframeRequest = steadyNanoseconds();
        s.sendKeyframeRequest();
    }
    return loss;
}

bool NativePeer::sendVideoFrame(PeerBytes accessUnit, std::uint32_t rtpTimestamp) {
    Impl& s = *impl_;
    if (s.closed || !s.options.host || !s.track || !s.track->isOpen()) return false;
    if (accessUnit.empty() || accessUnit.size() > kVideoFrameLimit) return false;
    if (s.holdUntilIdr && !containsH264Idr(accessUnit)) return false;
    try {
        if (s.track->sendFrame(std::move(accessUnit), rtc::FrameInfo(rtpTimestamp))) {
            s.holdUntilIdr = false;
            return true;
        }
    } catch (const std::exception&) {
        // A track closed under us (the connection went down) refuses like one not yet open.
        if (s.track->isClosed()) return false;
        s.mailbox->push(PeerEvent::failure(PeerFailure::VideoSendFailure));
        return false;
    }
    // The send queue was full and the frame is gone before it got sequence numbers, so the viewer
    // sees no gap: hold back what would reference it and have the encoder start afresh.
    s.holdUntilIdr = true;
    s.mailbox->push(PeerEvent::of(PeerEventKind::KeyframeRequest));
    return false;
}

bool NativePeer::sendVideoFrame(std::span<const std::uint8_t> accessUnit, std::uint32_t rtpTimestamp) {
    const auto* bytes = reinterpret_cast<const std::byte*>(accessUnit.data());
    return sendVideoFrame(PeerBytes(bytes, bytes + accessUnit.size()), rtpTimestamp);
}

bool NativePeer::sendInput(std::span<const std::byte> message, std::int32_t channel) {
    Impl& s = *impl_;
    if (s.closed || message.size() > kPeerMessageLimit) return false;
    const Mailbox::InputChannel input = s.mailbox->inputChannel(channel);
    if (input.failed || !input.channel || !input.channel->isOpen()) return false;
    const bool reliable = channel != kPointerChannel;
    try {
        if (input.channel->bufferedAmount() < kInputBackpressureBytes &&
            input.channel->send(rtc::binary(message.begin(), message.end())))
            return true;
    } catch (const std::exception&) {
        s.mailbox->push(PeerEvent::failure(PeerFailure::InputSendFailure));
        return false;
    }
    // Congested or refused: a pointer position is simply dropped, a reliable message must not be.
    if (reliable) s.mailbox->push(PeerEvent::failure(PeerFailure::InputBackpressure));
    return false;
}

bool NativePeer::sendInput(std::string_view message, std::int32_t channel) {
    const auto* bytes = reinterpret_cast<const std::byte*>(message.data());
    return sendInput(std::span<const std::byte>(bytes, message.size()), channel);
}

void NativePeer::close() {
    Impl& s = *impl_;
    if (s.closed) return;
    s.closed = true;
    auto [control, pointer] = s.mailbox->close();
    for (auto* channel : {&control, &pointer}) {
        if (!*channel) continue;
        (*channel)->resetCallbacks();
        (*channel)->close();
    }
    if (s.track) {
        s.track->resetCallbacks();
        s.track->close();
        s.track.reset();
    }
    s.connection->resetCallbacks();
    s.connection->close();
}

}  // namespace murel
