#pragma once
// The program's WebRTC peer for one session (or the host's capability probe).
//
// Owned and driven by one thread (the Controller's worker): every public operation is called
// there. The connection's own threads never call into the owner; they leave events in the peer's
// mailbox and call PeerOptions::wake, and the owner collects them with drain().
//
// The host creates the two data channels and a send-only H.264 track, and offers; the viewer
// answers an offer, picking H.264 or (when allowed) HEVC, and receives complete frames only.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "peer/IceServerList.hpp"
#include "peer/PeerTypes.hpp"

namespace murel {

class NativePeer {
public:
    // Throws ProtocolError ("Invalid identifier", "Unsupported H.264 level", "Invalid peer stream
    // bitrate", the ICE list's messages); the connection layer's own exceptions pass unchanged.
    // Nothing is kept when it throws.
    explicit NativePeer(PeerOptions options);
    // Closes; never throws.
    ~NativePeer();
    NativePeer(const NativePeer&) = delete;
    NativePeer& operator=(const NativePeer&) = delete;

    // Host only: starts the offer, which arrives as a LocalSignal event. Throws ProtocolError
    // "Only an active host creates offers" on a viewer or after close().
    void createOffer();

    // One received "offer", "answer" or "ice" signal (the whole signaling message). Ignored after
    // close(). Throws ProtocolError for a signal that breaks the rules (see RemoteSignal.hpp) and
    // the viewer's codec selection ("Remote host did not offer a usable video codec", "Remote host
    // did not offer a screen track"); the connection layer's exceptions pass unchanged.
    void applyRemoteSignal(const Json& signal);

    // Everything that happened since the last call, in order; video frames last. A failed peer
    // returns its one Failure event every time; a closed peer returns nothing. On a viewer
    // waiting for a keyframe it also asks the host for one, at most every 500 ms.
    std::vector<PeerEvent> drain();

    // Viewer: drops the queued frames, asks the host for a keyframe now and returns the VideoLoss
    // event with the total dropped count (the owner's own decode queue overflowed).
    PeerEvent requestKeyframe();

    // Host: one Annex-B access unit (1 to 8388608 bytes) with its 90 kHz RTP timestamp. False when
    // nothing was sent: not connected yet, closed, or the track's send queue was full. After such
    // a refusal a KeyframeRequest event is queued and every unit without an IDR picture is refused
    // until one with an IDR picture is taken, so the viewer never gets a picture whose reference
    // is missing.
    bool sendVideoFrame(PeerBytes accessUnit, std::uint32_t rtpTimestamp);
    bool sendVideoFrame(std::span<const std::uint8_t> accessUnit, std::uint32_t rtpTimestamp);

    // One message (at most 4096 bytes) on channel 0 (control, reliable) or 1 (pointer, unordered,
    // no retransmission). False when it was not taken: closed, failed, channel not open, too
    // large, or congested (65536 bytes or more waiting). Congestion or a refusal on the control
    // channel also queues Failure "input-backpressure": a lost reliable message (a key-up) must
    // end the session; a pointer message is simply dropped.
    bool sendInput(std::span<const std::byte> message, std::int32_t channel);
    bool sendInput(std::string_view message, std::int32_t channel);

    // Idempotent. Afterwards nothing is queued, drain() returns nothing and signals are ignored.
    void close();

    bool isHost() const;
    // Totals of the ICE server pass at construction.
    const IceCounters& iceCounters() const;

    struct Impl;

private:
    friend struct NativePeerProbe;  // the peer's own tests reach the connection through it
    std::unique_ptr<Impl> impl_;
};

}  // namespace murel
