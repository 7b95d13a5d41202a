#pragma once
// The receiving side's RTCP for one incoming stream: it keeps reception statistics of the RTP
// packets passing through (RFC 3550 appendix A.3 and A.8), remembers the sender's last report,
// sends receiver reports (RR + SDES CNAME) through `send` at the report interval, and sends a
// picture loss indication on requestKeyframe. Every message passes on unchanged.
//
// Optional (off by default): generic NACKs for missing sequence numbers, so that a sender with a
// NACK responder can repair losses. A gap is asked for once at once and again after the retry
// interval, up to the retry limit; numbers more than 1024 behind the newest are given up.

#include "rtc/MediaHandler.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace rtc {

class RtcpReceivingSession final : public MediaHandler {
public:
    struct Statistics {
        uint32_t remoteSsrc = 0;
        uint64_t packetsReceived = 0;
        uint32_t extendedHighestSequence = 0;
        int64_t cumulativeLost = 0;
        double jitter = 0;  // in RTP timestamp units
        uint64_t senderReportsReceived = 0;
        uint64_t receiverReportsSent = 0;
        uint64_t nacksSent = 0;
        uint64_t keyframeRequestsSent = 0;
    };

    // localSsrc 0 picks a random one; an empty cname picks a random one.
    explicit RtcpReceivingSession(uint32_t localSsrc = 0, std::string cname = {}, uint32_t clockRate = 90000,
                                  std::chrono::milliseconds reportInterval = std::chrono::milliseconds(1000));

    void incoming(message_vector& messages, const message_callback& send) override;
    // Sends a PLI for the stream being received; false (nothing sent) before its first packet.
    bool requestKeyframe(const message_callback& send) override;

    void setNackEnabled(bool enabled, std::chrono::milliseconds retryInterval = std::chrono::milliseconds(40),
                        int maxRetries = 3);

    Statistics statistics() const;
    uint32_t localSsrc() const { return mLocalSsrc; }

private:
    void onRtp(uint32_t ssrc, uint16_t sequence, uint32_t timestamp, std::chrono::steady_clock::time_point now);
    void appendReport(binary& out, std::chrono::steady_clock::time_point now);
    void collectNacks(std::chrono::steady_clock::time_point now, std::vector<uint16_t>& out);

    const uint32_t mLocalSsrc;
    const std::string mCname;
    const uint32_t mClockRate;
    const std::chrono::milliseconds mReportInterval;

    mutable std::mutex mMutex;
    bool mHasSource = false;
    uint32_t mRemoteSsrc = 0;
    uint16_t mBaseSequence = 0, mMaxSequence = 0;
    uint32_t mCycles = 0;
    uint64_t mReceived = 0, mExpectedPrior = 0, mReceivedPrior = 0;
    double mJitter = 0;
    bool mHasTransit = false;
    int64_t mLastTransit = 0;
    std::optional<std::chrono::steady_clock::time_point> mFirstPacket;
    std::chrono::steady_clock::time_point mLastReport{};
    bool mReportedOnce = false;
    uint32_t mLastSrNtpMiddle = 0;
    std::chrono::steady_clock::time_point mLastSrArrival{};
    bool mHasSr = false;
    Statistics mCounters;

    bool mNackEnabled = false;
    std::chrono::milliseconds mNackRetry{40};
    int mNackMaxRetries = 3;
    struct Missing {
        std::chrono::steady_clock::time_point lastAsked{};
        int asked = 0;
    };
    std::map<uint32_t, Missing> mMissing;  // by extended sequence number
};

}  // namespace rtc
