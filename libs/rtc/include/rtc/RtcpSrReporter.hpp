#pragma once
// Sender reports for one outgoing stream (RFC 3550 section 6.4.1). Placed after the packetizer:
// it counts the RTP packets and payload octets going out and, after a frame once the report
// interval has passed (and after the very first frame), puts a compound SR + SDES (CNAME) packet
// ahead of the frame's RTP packets. A report leaves together with the frame just packetized, so
// its RTP timestamp is that frame's and its NTP time is now; its counts include that frame. Ahead
// of the packets, its arrival (by which the peer's receiver reports let us time the round trip)
// does not wait for the whole frame to be sent.

#include "rtc/MediaHandler.hpp"
#include "rtc/RtpPacketizationConfig.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace rtc {

class RtcpSrReporter final : public MediaHandler {
public:
    explicit RtcpSrReporter(std::shared_ptr<RtpPacketizationConfig> config,
                            std::chrono::milliseconds interval = std::chrono::milliseconds(1000));

    const std::shared_ptr<RtpPacketizationConfig> rtpConfig;

    void outgoing(message_vector& messages, const message_callback& send) override;

    // Makes the next outgoing batch carry a report regardless of the interval.
    void setNeedsToReport();

    uint32_t packetCount() const;
    uint32_t octetCount() const;  // payload octets, wrapping at 2^32 as on the wire
    // RTP timestamp of the last report sent (0 before the first).
    uint32_t lastReportedTimestamp() const;
    // The last report sent, as a compound packet (empty before the first).
    binary lastReport() const;

private:
    const std::chrono::milliseconds mInterval;
    mutable std::mutex mMutex;
    uint32_t mPackets = 0;
    uint32_t mOctets = 0;
    bool mNeedsReport = true;
    std::chrono::steady_clock::time_point mLastReport{};
    uint32_t mLastReportedTimestamp = 0;
    binary mLastReportBytes;
};

}  // namespace rtc
