#pragma once
// SRTP and SRTCP (RFC 3711, RFC 7714) for one DTLS-SRTP association, on OpenSSL (byte-compatible
// with libsrtp2, which the tests check against).
//
// One session protects everything this end sends (any SSRC) with its own write keys and
// unprotects everything it receives with the peer's write keys. Which of the exported client/server
// keys are "ours" follows the DTLS role (SrtpKeyMaterial::localIsClient).
//
// Threads: every call may come from any thread. Sending and receiving are serialised separately
// (one lock each), so a sender never waits for a receiver.
//
// Outgoing packets may repeat a sequence number (retransmissions answer NACKs with the very same
// packet). Incoming packets pass a replay window: a repeated or too old index is rejected.

#include "common/SrtpKeyMaterial.hpp"

#include "rtc/Message.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

namespace rtc::impl {

struct SrtpSessionOptions {
    // Incoming SRTP replay window in packets (64..32767). Retransmissions arrive late; a window
    // too small rejects repairs that come after a burst of newer packets.
    std::size_t replayWindow = 4096;
};

class SrtpSession {
public:
    enum class Result {
        Ok,
        Malformed,    // not an RTP/RTCP packet (too short, bad header)
        AuthFailed,   // authentication tag did not verify (tampered, wrong key)
        Replay,       // index seen before or older than the replay window
        Error,        // cipher failure, or too many SSRCs (64 per direction)
    };

    using Options = SrtpSessionOptions;

    // Largest number of bytes protect adds to an RTP / RTCP packet.
    static constexpr std::size_t kMaxRtpOverhead = 16;
    static constexpr std::size_t kMaxRtcpOverhead = 16 + 4;
    // Spare capacity worth reserving behind a packet so that protecting it never reallocates.
    static constexpr std::size_t kProtectHeadroom = 148;

    // Keys: 16-byte master keys, 14-byte (AES-CM) or 12-byte (AEAD-GCM) master salts.
    // Throws std::invalid_argument on wrong sizes, std::runtime_error when the cipher set-up fails.
    SrtpSession(SrtpProfile profile, std::span<const std::uint8_t> localKey,
                std::span<const std::uint8_t> localSalt, std::span<const std::uint8_t> remoteKey,
                std::span<const std::uint8_t> remoteSalt, Options options);
    SrtpSession(SrtpProfile profile, std::span<const std::uint8_t> localKey,
                std::span<const std::uint8_t> localSalt, std::span<const std::uint8_t> remoteKey,
                std::span<const std::uint8_t> remoteSalt)
        : SrtpSession(profile, localKey, localSalt, remoteKey, remoteSalt, Options{}) {}

    explicit SrtpSession(const SrtpKeyMaterial& keys, Options options = Options{})
        : SrtpSession(keys.profile, keys.localKey(), keys.localSalt(), keys.remoteKey(),
                      keys.remoteSalt(), options) {}

    ~SrtpSession();
    SrtpSession(const SrtpSession&) = delete;
    SrtpSession& operator=(const SrtpSession&) = delete;

    SrtpProfile profile() const { return mProfile; }

    // In place: `packet` holds a plain RTP/RTCP packet and afterwards the SRTP/SRTCP packet
    // (grown by the authentication tag, and the SRTCP index for RTCP). On failure `packet` keeps
    // its size but its content is unspecified: drop it. Reserve kProtectHeadroom spare capacity
    // to avoid a reallocation.
    Result protectRtp(binary& packet);
    Result protectRtcp(binary& packet);

    // Copying: `out` receives the protected packet, `packet` is not touched (use when the plain
    // packet is shared, e.g. kept for retransmission). `out` keeps its capacity between calls.
    Result protectRtp(std::span<const std::byte> packet, binary& out);
    Result protectRtcp(std::span<const std::byte> packet, binary& out);

    // In place: `packet` holds an SRTP/SRTCP packet and afterwards the plain RTP/RTCP packet
    // (shrunk). On failure the content of `packet` is unspecified and must be dropped.
    Result unprotectRtp(binary& packet);
    Result unprotectRtcp(binary& packet);

    struct Counters {
        std::uint64_t protectedRtp = 0, protectedRtcp = 0;
        std::uint64_t unprotectedRtp = 0, unprotectedRtcp = 0;
        std::uint64_t rejectedAuth = 0, rejectedReplay = 0, rejectedOther = 0;
    };
    Counters counters() const;

    struct Context;  // keys and cipher state of one direction (opaque)

private:
    // A failed protect: `packet` back to its plain size, counted (send lock held).
    Result protectFailed(binary& packet, std::size_t plainSize);
    // A refused incoming packet, counted by reason (receive lock held).
    Result rejected(Result result);

    SrtpProfile mProfile;
    std::unique_ptr<Context> mOutbound; // guarded by mSendMutex
    std::unique_ptr<Context> mInbound;  // guarded by mReceiveMutex
    mutable std::mutex mSendMutex;
    mutable std::mutex mReceiveMutex;
    Counters mSendCounters;    // guarded by mSendMutex
    Counters mReceiveCounters; // guarded by mReceiveMutex
};

const char* toString(SrtpSession::Result result);

} // namespace rtc::impl
