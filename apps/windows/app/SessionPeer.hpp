#pragma once
// The peer connection as the Controller drives it: the operations of the native peer behind an
// interface, so the session flows run against a scripted peer in tests and the real NativePeer
// (nativePeerFactory) in the programs.
//
// Threads: the Controller's worker calls every operation. PeerOptions::wake is called on the
// peer's own threads whenever an event was queued; it only wakes the worker.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "peer/PeerTypes.hpp"
#include "protocol/Wire.hpp"

namespace murel::app {

class SessionPeer {
public:
    virtual ~SessionPeer() = default;

    // Host: starts the offer (it arrives as a LocalSignal event). Throws ProtocolError.
    virtual void createOffer() = 0;
    // One received offer, answer or ice message of the session. Throws ProtocolError.
    virtual void applyRemoteSignal(const Json& signal) = 0;
    // Everything that happened since the last call, in order.
    virtual std::vector<PeerEvent> drain() = 0;
    // Viewer: asks the host for a keyframe now; the returned VideoLoss event may be dropped.
    virtual PeerEvent requestKeyframe() = 0;
    // Host: one access unit with its 90 kHz timestamp; false when it was not sent.
    virtual bool sendVideoFrame(std::span<const std::uint8_t> accessUnit, std::uint32_t rtpTimestamp) = 0;
    // One message on channel 0 (control) or 1 (pointer); false when it was not taken.
    virtual bool sendInput(std::string_view message, std::int32_t channel) = 0;
    // Idempotent; afterwards nothing more is queued.
    virtual void close() = 0;
};

// Builds the peer of a session (or of the host's capability probe). Throws what the peer's
// construction throws.
using PeerFactory = std::function<std::unique_ptr<SessionPeer>(PeerOptions options)>;

// murel::NativePeer behind the interface.
PeerFactory nativePeerFactory();

}  // namespace murel::app
