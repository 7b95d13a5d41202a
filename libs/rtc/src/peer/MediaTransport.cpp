#include "peer/MediaTransport.hpp"

#include "common/ByteOrder.hpp"

namespace rtc {

namespace {

// RFC 5761: with RTP and RTCP multiplexed, RTCP packet types 192..223 occupy the second byte.
bool isRtcp(std::span<const uint8_t> packet) {
    return packet.size() >= 2 && packet[1] >= 192 && packet[1] <= 223;
}

constexpr size_t kMaxDatagram = 65536;

} // namespace

MediaTransport::MediaTransport(const impl::SrtpKeyMaterial& keys, std::shared_ptr<impl::IceAgent> agent,
                               std::vector<std::shared_ptr<detail::TrackInternal>> tracks)
    : mSrtp(keys), mAgent(std::move(agent)), mTracks(std::move(tracks)) {}

bool MediaTransport::send(const binary& packet, bool control) {
    if (mStopped || packet.size() < (control ? 8u : 12u) || packet.size() > kMaxDatagram)
        return false;
    std::lock_guard lock(mSendMutex);
    mSendBuffer.reserve(packet.size() + impl::SrtpSession::kProtectHeadroom);
    auto result = control ? mSrtp.protectRtcp(std::span<const std::byte>(packet), mSendBuffer)
                          : mSrtp.protectRtp(std::span<const std::byte>(packet), mSendBuffer);
    if (result != impl::SrtpSession::Result::Ok)
        return false;
    return mAgent->send(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(mSendBuffer.data()),
                                                 mSendBuffer.size()));
}

std::shared_ptr<detail::TrackInternal> MediaTransport::trackFor(uint32_t ssrc) {
    for (auto& track : mTracks)
        if (track->hasRemoteSsrc(ssrc))
            return track;
    // An SSRC nobody announced: the first receiving track without a known SSRC takes it.
    for (auto& track : mTracks) {
        bool receives;
        {
            std::lock_guard lock(track->mutex);
            auto d = track->description.direction();
            receives = (d == Description::Direction::RecvOnly || d == Description::Direction::SendRecv) &&
                       track->remoteSsrcs.empty();
        }
        if (receives) {
            track->addRemoteSsrc(ssrc);
            return track;
        }
    }
    return nullptr;
}

void MediaTransport::incoming(std::span<const uint8_t> datagram) {
    if (mStopped || datagram.size() < 8)
        return;
    bool control = isRtcp(datagram);
    if (!control && datagram.size() < 12)
        return;
    binary packet(reinterpret_cast<const std::byte*>(datagram.data()),
                  reinterpret_cast<const std::byte*>(datagram.data()) + datagram.size());
    auto result = control ? mSrtp.unprotectRtcp(packet) : mSrtp.unprotectRtp(packet);
    if (result != impl::SrtpSession::Result::Ok)
        return; // tampered, replayed or foreign: dropped (counted by the session)
    if (control) {
        // A compound RTCP packet may concern any of our tracks (reports about what we send,
        // feedback, sender reports of what we receive): every open track's chain sees it and keeps
        // what names its SSRCs.
        for (auto& track : mTracks)
            if (track->isOpen)
                track->incoming(make_message(packet, Message::Control));
        return;
    }
    auto ssrc = impl::readU32(datagram, 8);
    if (auto track = trackFor(ssrc))
        track->incoming(make_message(std::move(packet), Message::Binary));
}

void MediaTransport::stop() { mStopped = true; }

} // namespace rtc
