#pragma once
// The receiving side's RTCP for one incoming stream: it keeps reception statistics of the RTP
// packets passing through (RFC 3550 appendix A.3 and A.8), remembers the sender's last report,
// sends receiver reports (RR + SDES CNAME) through `send` at the report interval, and sends a
// picture loss indication on requestKeyframe. Every message passes on unchanged.
//
// Optional (off by default): generic NACKs for missing sequence numbers, so that a sender with a
// NACK responder can repair losses. A missing packet is asked for once, at once; again only when
// its repair has not come within the retry time, and at most `maxRequests` times in all. The retry
// time follows the repair round trip, measured from a NACK to the packet it brought back (packets
// asked for once only, so a sample is never matched with the wrong request): the smoothed round
// trip plus four times its variation, 10 ms to 1 s. Until the first measurement the assumed round
// trip given to setNackEnabled stands in. Numbers more than 1024 behind the newest are given up;
// one report asks for at most 256 numbers (the rest follow in the next).

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
        uint64_t nacksSent = 0;  // sequence numbers asked for, repeats included
        uint64_t keyframeRequestsSent = 0;
        uint64_t repairsMeasured = 0;              // round-trip samples taken
        std::chrono::microseconds repairRoundTrip{0};  // smoothed; 0 before the first sample
    };

    static constexpr std::chrono::milliseconds DefaultRoundTrip{100};
    static constexpr std::chrono::milliseconds MinRetryTime{10};
    static constexpr std::chrono::milliseconds MaxRetryTime{1000};
    static constexpr std::size_t MaxNacksPerReport = 256;

    // localSsrc 0 picks a random one; an empty cname picks a random one.
    explicit RtcpReceivingSession(uint32_t localSsrc = 0, std::string cname = {}, uint32_t clockRate = 90000,
                                  std::chrono::milliseconds reportInterval = std::chrono::milliseconds(1000));

    void incoming(message_vector& messages, const message_callback& send) override;
    // Sends a PLI for the stream being received; false (nothing sent) before its first packet.
    bool requestKeyframe(const message_callback& send) override;

    // assumedRoundTrip is bounded to MinRetryTime..MaxRetryTime; maxRequests to 1..16.
    void setNackEnabled(bool enabled, std::chrono::milliseconds assumedRoundTrip = DefaultRoundTrip,
                        int maxRequests = 3);

    // With NACKs on: when the next repeat or give-up is due.
    std::optional<TimePoint> wakeTime() const override;
    // With NACKs on: the retry time (how long a repair may take before it is asked for again).
    std::optional<std::chrono::microseconds> repairRoundTrip() const override;

    Statistics statistics() const;
    uint32_t localSsrc() const { return mLocalSsrc; }

private:
    void onRtp(uint32_t ssrc, uint16_t sequence, uint32_t timestamp, std::chrono::steady_clock::time_point now);
    void appendReport(binary& out, std::chrono::steady_clock::time_point now);
    void collectNacks(std::chrono::steady_clock::time_point now, std::vector<uint16_t>& out);
    void sampleRoundTrip(std::chrono::steady_clock::duration sample);
    std::chrono::microseconds retryTimeLocked() const;

    const uint32_t mLocalSsrc;
    const std::string mCname;
    const uint32_t mClockRate;
    const std::chrono::milliseconds mReportInterval;

    mutable std::mutex mMutex;
    bool mHasSource = false;
    uint32_t mRemoteSsrc = 0;
    uint16_t mBaseSequence = 0, mMaxSequence = 0;
    std::optional<uint16_t> mBadSequence;  // after a stray packet far away: its successor
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
    std::chrono::microseconds mAssumedRoundTrip{DefaultRoundTrip};
    int mNackMaxRequests = 3;
    bool mHasRoundTrip = false;
    std::chrono::microseconds mSmoothedRoundTrip{0}, mRoundTripVariation{0};
    struct Missing {
        std::chrono::steady_clock::time_point firstAsked{}, lastAsked{};
        int asked = 0;
    };
    std::map<uint32_t, Missing> mMissing;  // by extended sequence number
};

}  // namespace rtc
