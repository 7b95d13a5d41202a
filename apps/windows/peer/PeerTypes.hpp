#pragma once
// What the native peer is built from and what it hands the worker: options, events and the
// failure words the Controller shows.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/ControlApi.hpp"
#include "protocol/Wire.hpp"

namespace murel {

using PeerBytes = std::vector<std::byte>;

// The same bytes as unsigned chars, for code that takes those (decoders, parsers).
inline std::span<const std::uint8_t> asUint8(const PeerBytes& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// Channel numbers (kControlChannel, kPointerChannel) are in protocol/Wire.hpp.
inline constexpr const char* kControlChannelLabel = "murel.control.v1";
inline constexpr const char* kPointerChannelLabel = "murel.pointer.v1";

// Codec numbers of VideoCodec events.
inline constexpr std::int32_t kCodecH264 = 0;
inline constexpr std::int32_t kCodecHevc = 1;

inline constexpr std::size_t kPeerMessageLimit = 4096;          // one data-channel message
inline constexpr std::size_t kInputBackpressureBytes = 65536;   // buffered on a channel
inline constexpr std::size_t kMailboxLimit = 64;                // events plus pending candidates
inline constexpr std::size_t kVideoFrameLimit = 8388608;        // one access unit
inline constexpr std::size_t kVideoQueueFrames = 8;
inline constexpr std::size_t kVideoQueueBytes = 16777216;
inline constexpr std::uint32_t kMinPeerBitrate = 100000;
inline constexpr std::uint32_t kMaxPeerBitrate = 100000000;
inline constexpr std::int64_t kKeyframeRequestSpacingNs = 500000000;

struct PeerOptions {
    bool host = false;
    std::string sessionId;
    std::vector<IceServer> iceServers;
    std::optional<std::string> bindAddress;
    std::int32_t h264Level = 52;
    std::uint32_t bitrate = 20000000;
    // Called on the peer's threads, with the mailbox lock held, whenever an event or a failure is
    // queued: it must only signal the worker, never call into the peer.
    std::function<void()> wake;
    bool allowHevc = false;
    // Gather and use relayed candidates only (the media always crosses the TURN relay).
    bool relayOnly = false;
};

enum class PeerEventKind : std::int32_t {
    LocalSignal = 0,
    Connected = 1,
    ChannelsOpen = 2,
    ChannelMessage = 3,
    VideoFrame = 4,
    KeyframeRequest = 5,
    Closed = 6,
    Failure = 7,
    VideoLoss = 8,
    VideoCodec = 9,
};

enum class PeerFailure : std::int32_t {
    None = 0,
    MailboxOverflow = 1,
    InvalidLocalSignal = 2,
    LocalSignalFailure = 3,
    InvalidChannel = 4,
    ChannelFailure = 5,
    InvalidInput = 6,
    ConnectionFailure = 7,
    InvalidVideo = 8,
    EmptyVideo = 9,
    OversizedVideo = 10,
    InputBackpressure = 11,
    InputSendFailure = 12,
    VideoSendFailure = 13,
    KeyframeRequestFailure = 14,
};

// "mailbox-overflow", "invalid-local-signal", ...; "unknown" for a value outside the list.
const char* peerFailureWord(PeerFailure reason);

struct PeerEvent {
    PeerEventKind kind = PeerEventKind::Closed;
    Json signal;                 // LocalSignal: the whole signal object
    PeerBytes bytes;             // ChannelMessage: the message; VideoFrame: the access unit
    std::int32_t channel = 0;    // ChannelMessage: 1 pointer, 0 control
    std::uint32_t rtpTimestamp = 0;
    PeerFailure reason = PeerFailure::None;
    std::uint64_t droppedFrames = 0;  // VideoLoss: total frames dropped since the codec was chosen
    std::int32_t codec = 0;           // VideoCodec: 0 H.264, 1 HEVC

    static PeerEvent of(PeerEventKind kind) {
        PeerEvent event;
        event.kind = kind;
        return event;
    }
    static PeerEvent failure(PeerFailure reason) {
        PeerEvent event = of(PeerEventKind::Failure);
        event.reason = reason;
        return event;
    }
};

}  // namespace murel
