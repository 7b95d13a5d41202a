#pragma once
// Answers generic NACKs (RFC 4585 section 6.2.1) with retransmissions. Placed after the
// packetizer: it keeps the last `maxSize` RTP packets sent (the packets are shared, not copied:
// whatever sends them must not modify them) and, for every NACK received, sends each requested
// packet still kept once more through `send`. Packets already evicted, of another SSRC or never
// sent are ignored.

#include "rtc/MediaHandler.hpp"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace rtc {

class RtcpNackResponder final : public MediaHandler {
public:
    static constexpr std::size_t DefaultMaxSize = 512;

    // maxSize: 1..32768 packets.
    explicit RtcpNackResponder(std::size_t maxSize = DefaultMaxSize);

    void incoming(message_vector& messages, const message_callback& send) override;
    void outgoing(message_vector& messages, const message_callback& send) override;

    std::uint64_t retransmitted() const;

private:
    struct Slot {
        message_ptr packet;
        uint64_t ordinal = 0;  // position in the sending order (1-based), 0: empty
        uint16_t sequence = 0;
        uint32_t ssrc = 0;
    };

    const std::size_t mMaxSize;
    mutable std::mutex mMutex;
    std::vector<Slot> mSlots;  // indexed by sequence number modulo its power-of-two size
    uint64_t mStored = 0;
    uint64_t mRetransmitted = 0;
};

}  // namespace rtc
