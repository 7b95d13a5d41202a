#pragma once
// SRTP between the tracks of one connection and its ICE transport: protects what the tracks send,
// unprotects what arrives and hands each packet to the track it belongs to.

#include "peer/TrackInternal.hpp"

#include "dtls/DtlsTransport.hpp"
#include "ice/IceAgent.hpp"
#include "rtp/SrtpSession.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace rtc {

class MediaTransport {
public:
    MediaTransport(const impl::SrtpKeyMaterial& keys, std::shared_ptr<impl::IceAgent> agent,
                   std::vector<std::shared_ptr<detail::TrackInternal>> tracks);

    // One plain RTP (control false) or RTCP packet out. False when stopped, refused by SRTP or not
    // taken by the transport.
    bool send(const binary& packet, bool control);
    // One SRTP or SRTCP datagram in (on the network thread).
    void incoming(std::span<const uint8_t> datagram);
    void stop();

    impl::SrtpSession::Counters counters() const { return mSrtp.counters(); }

private:
    std::shared_ptr<detail::TrackInternal> trackFor(uint32_t ssrc);

    impl::SrtpSession mSrtp;
    const std::shared_ptr<impl::IceAgent> mAgent;
    const std::vector<std::shared_ptr<detail::TrackInternal>> mTracks;
    std::atomic<bool> mStopped{false};
    std::mutex mSendMutex; // guards the protect buffer
    binary mSendBuffer;
};

}  // namespace rtc
