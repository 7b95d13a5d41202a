#pragma once
// Answers generic NACKs (RFC 4585 section 6.2.1) with retransmissions. Placed after the
// packetizer and the sender reporter: it keeps the last `maxSize` RTP packets sent (the packets
// are shared, not copied: whatever sends them must not modify them) and, for every NACK received,
// sends each requested packet still kept once more through `send`. Packets already evicted, of
// another SSRC or never sent are ignored.
//
// A packet retransmitted less than a round trip ago is not sent again: a repeated request that
// crossed the retransmission on its way costs nothing. The round trip is measured from the
// receiver reports that echo our sender reports (RFC 3550 section 6.4.1: arrival minus the
// report's sending time minus the receiver's delay), as the least of the last few samples: a
// stall that delayed one report must not keep repeats from being answered. Until the first
// report arrives DefaultRoundTrip stands in.

#include "rtc/MediaHandler.hpp"
#include "rtc/Rtcp.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace rtc {

class RtcpNackResponder final : public MediaHandler {
public:
    static constexpr std::size_t DefaultMaxSize = 512;
    static constexpr std::chrono::milliseconds DefaultRoundTrip{20};
    static constexpr std::chrono::milliseconds MaxRoundTrip{1000};

    // maxSize: 1..32768 packets.
    explicit RtcpNackResponder(std::size_t maxSize = DefaultMaxSize);

    void incoming(message_vector& messages, const message_callback& send) override;
    void outgoing(message_vector& messages, const message_callback& send) override;

    std::uint64_t retransmitted() const;
    // Requests left unanswered because the packet had just been retransmitted.
    std::uint64_t suppressed() const;
    // The round trip in use (DefaultRoundTrip before the first measurement).
    std::chrono::microseconds roundTrip() const;

private:
    struct Slot {
        message_ptr packet;
        uint64_t ordinal = 0;  // position in the sending order (1-based), 0: empty
        uint16_t sequence = 0;
        uint32_t ssrc = 0;
        TimePoint resent{};    // last retransmission, when `resends` > 0
        uint32_t resends = 0;
    };
    struct SentReport {
        uint32_t ntpMiddle = 0;
        uint32_t ssrc = 0;
        TimePoint sent{};
    };

    void noteReports(const std::vector<rtcp::ReportBlock>& blocks, TimePoint now);
    void sampleRoundTrip(std::chrono::microseconds sample);
    std::chrono::microseconds roundTripLocked() const;

    const std::size_t mMaxSize;
    mutable std::mutex mMutex;
    std::vector<Slot> mSlots;  // indexed by sequence number modulo its power-of-two size
    uint64_t mStored = 0;
    uint64_t mRetransmitted = 0;
    uint64_t mSuppressed = 0;
    std::array<SentReport, 8> mReports{};  // the last sender reports that passed, oldest overwritten
    std::size_t mNextReport = 0;
    std::array<std::chrono::microseconds, 8> mRoundTrips{};  // the last samples
    std::size_t mRoundTripSamples = 0;
};

}  // namespace rtc
