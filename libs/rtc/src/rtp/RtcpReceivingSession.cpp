#include "rtc/RtcpReceivingSession.hpp"

#include "rtc/Rtcp.hpp"
#include "rtc/RtpPacket.hpp"

#include <algorithm>
#include <cmath>
#include <random>

namespace rtc {

namespace {

constexpr uint16_t kMaxDropout = 3000;
constexpr uint16_t kMaxMisorder = 100;
constexpr uint32_t kNackHorizon = 1024;

std::string randomCname() {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::string cname(16, 'x');
    for (auto& c : cname) c = alphabet[random() % (sizeof alphabet - 1)];
    return cname;
}

uint32_t randomSsrc() {
    std::random_device random;
    uint32_t ssrc = 0;
    while (ssrc == 0) ssrc = static_cast<uint32_t>(random());
    return ssrc;
}

}  // namespace

RtcpReceivingSession::RtcpReceivingSession(uint32_t localSsrc, std::string cname, uint32_t clockRate,
                                           std::chrono::milliseconds reportInterval)
    : mLocalSsrc(localSsrc ? localSsrc : randomSsrc()), mCname(cname.empty() ? randomCname() : cname.substr(0, 255)),
      mClockRate(clockRate ? clockRate : 90000), mReportInterval(reportInterval) {}

void RtcpReceivingSession::setNackEnabled(bool enabled, std::chrono::milliseconds assumedRoundTrip, int maxRequests) {
    std::lock_guard lock(mMutex);
    mNackEnabled = enabled;
    mAssumedRoundTrip = std::clamp<std::chrono::microseconds>(assumedRoundTrip, MinRetryTime, MaxRetryTime);
    mNackMaxRequests = std::clamp(maxRequests, 1, 16);
    if (!enabled) mMissing.clear();
}

void RtcpReceivingSession::sampleRoundTrip(std::chrono::steady_clock::duration elapsed) {
    using std::chrono::microseconds;
    const auto sample = std::clamp(std::chrono::duration_cast<microseconds>(elapsed), microseconds(0),
                                   microseconds(MaxRetryTime));
    // RFC 6298's smoothing, as TCP does for its retransmission timer.
    if (!mHasRoundTrip) {
        mSmoothedRoundTrip = sample;
        mRoundTripVariation = sample / 2;
        mHasRoundTrip = true;
    } else {
        const auto deviation = mSmoothedRoundTrip > sample ? mSmoothedRoundTrip - sample : sample - mSmoothedRoundTrip;
        mRoundTripVariation = (mRoundTripVariation * 3 + deviation) / 4;
        mSmoothedRoundTrip = (mSmoothedRoundTrip * 7 + sample) / 8;
    }
    ++mCounters.repairsMeasured;
}

std::chrono::microseconds RtcpReceivingSession::retryTimeLocked() const {
    if (!mHasRoundTrip) return mAssumedRoundTrip;
    return std::clamp<std::chrono::microseconds>(mSmoothedRoundTrip + 4 * mRoundTripVariation, MinRetryTime,
                                                 MaxRetryTime);
}

std::optional<MediaHandler::TimePoint> RtcpReceivingSession::wakeTime() const {
    std::lock_guard lock(mMutex);
    if (!mNackEnabled || mMissing.empty()) return std::nullopt;
    const auto retry = retryTimeLocked();
    std::optional<TimePoint> earliest;
    for (const auto& [sequence, missing] : mMissing) {
        // Not asked yet (past the per-report limit): at once.
        const TimePoint due = missing.asked == 0 ? TimePoint{} : missing.lastAsked + retry;
        if (!earliest || due < *earliest) earliest = due;
    }
    return earliest;
}

std::optional<std::chrono::microseconds> RtcpReceivingSession::repairRoundTrip() const {
    std::lock_guard lock(mMutex);
    if (!mNackEnabled) return std::nullopt;
    return retryTimeLocked();
}

void RtcpReceivingSession::onRtp(uint32_t ssrc, uint16_t sequence, uint32_t timestamp,
                                 std::chrono::steady_clock::time_point now) {
    auto restart = [&] {
        mHasSource = true;
        mRemoteSsrc = ssrc;
        mBaseSequence = mMaxSequence = sequence;
        mCycles = 0;
        mReceived = mExpectedPrior = mReceivedPrior = 0;
        mJitter = 0;
        mHasTransit = false;
        mMissing.clear();
        mBadSequence.reset();
    };
    if (!mHasSource || ssrc != mRemoteSsrc) {
        restart();
        mFirstPacket = now;
    } else {
        const uint16_t ahead = uint16_t(sequence - mMaxSequence);
        if (ahead == 0) {
            return;  // duplicate of the newest packet
        } else if (ahead < kMaxDropout) {
            const uint32_t previous = mCycles + mMaxSequence;
            if (sequence < mMaxSequence) mCycles += 65536;
            const uint32_t extended = mCycles + sequence;
            if (mNackEnabled) {
                uint32_t from = previous + 1;
                if (extended - from > kNackHorizon) from = extended - kNackHorizon;
                for (uint32_t missing = from; missing != extended; ++missing) mMissing.emplace(missing, Missing{});
            }
            mMaxSequence = sequence;
            mBadSequence.reset();
        } else {
            const uint16_t behind = uint16_t(mMaxSequence - sequence);
            uint32_t extended = mCycles + sequence;
            if (sequence > mMaxSequence) extended -= 65536;
            const auto missing = mNackEnabled ? mMissing.find(extended) : mMissing.end();
            if (missing != mMissing.end()) {
                // A repair, however late. Asked for exactly once: this is that request's answer.
                if (missing->second.asked == 1) sampleRoundTrip(now - missing->second.firstAsked);
                mMissing.erase(missing);
            } else if (behind <= kMaxMisorder) {
                if (mNackEnabled) return;  // a duplicate: nothing was missing there
            } else if (mBadSequence && sequence == *mBadSequence) {
                // Two packets in a row far from the rest: the sender restarted its numbering
                // (RFC 3550 appendix A.1). A single one is a stray (a very late repeat) and ignored.
                restart();
            } else {
                mBadSequence = uint16_t(sequence + 1);
                return;
            }
        }
    }
    ++mReceived;
    ++mCounters.packetsReceived;

    // Interarrival jitter (RFC 3550 section 6.4.1) in timestamp units.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    const uint32_t arrival = static_cast<uint32_t>(static_cast<int64_t>(
        static_cast<long double>(ns) * mClockRate / 1e9L));
    const int64_t transit = static_cast<int32_t>(arrival - timestamp);
    if (mHasTransit) {
        const double d = std::fabs(static_cast<double>(transit - mLastTransit));
        mJitter += (d - mJitter) / 16.0;
    }
    mLastTransit = transit;
    mHasTransit = true;
}

void RtcpReceivingSession::appendReport(binary& out, std::chrono::steady_clock::time_point now) {
    rtcp::ReceiverReport rr;
    rr.ssrc = mLocalSsrc;
    if (mHasSource) {
        rtcp::ReportBlock block;
        block.ssrc = mRemoteSsrc;
        const uint32_t extendedMax = mCycles + mMaxSequence;
        const uint64_t expected = uint64_t(extendedMax) - mBaseSequence + 1;
        const int64_t lost = int64_t(expected) - int64_t(mReceived);
        block.cumulativeLost = static_cast<int32_t>(std::clamp<int64_t>(lost, -0x800000, 0x7FFFFF));
        const int64_t expectedInterval = int64_t(expected - mExpectedPrior);
        const int64_t receivedInterval = int64_t(mReceived - mReceivedPrior);
        const int64_t lostInterval = expectedInterval - receivedInterval;
        mExpectedPrior = expected;
        mReceivedPrior = mReceived;
        block.fractionLost = (expectedInterval <= 0 || lostInterval <= 0)
                                 ? 0
                                 : static_cast<uint8_t>(std::min<int64_t>(255, (lostInterval << 8) / expectedInterval));
        block.highestSequence = extendedMax;
        block.jitter = static_cast<uint32_t>(mJitter);
        if (mHasSr) {
            block.lastSenderReport = mLastSrNtpMiddle;
            const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(now - mLastSrArrival).count();
            block.delaySinceLastSenderReport = static_cast<uint32_t>(delay * 65536 / 1000000);
        }
        rr.reports.push_back(block);
        mCounters.cumulativeLost = lost;
    }
    rtcp::write(out, rr);
    rtcp::SourceDescription sdes;
    sdes.chunks.push_back(rtcp::SdesChunk{mLocalSsrc, {rtcp::SdesItem{1, mCname}}});
    rtcp::write(out, sdes);
    ++mCounters.receiverReportsSent;
}

void RtcpReceivingSession::collectNacks(std::chrono::steady_clock::time_point now, std::vector<uint16_t>& out) {
    const uint32_t newest = mCycles + mMaxSequence;
    const auto retry = retryTimeLocked();
    for (auto it = mMissing.begin(); it != mMissing.end();) {
        Missing& m = it->second;
        const bool waited = m.asked > 0 && now - m.lastAsked >= retry;
        if (newest - it->first > kNackHorizon || (m.asked >= mNackMaxRequests && waited)) {
            it = mMissing.erase(it);  // given up: too old, or the last request had its chance
            continue;
        }
        if ((m.asked == 0 || (waited && m.asked < mNackMaxRequests)) && out.size() < MaxNacksPerReport) {
            out.push_back(static_cast<uint16_t>(it->first));
            if (m.asked == 0) m.firstAsked = now;
            ++m.asked;
            m.lastAsked = now;
        }
        ++it;
    }
}

void RtcpReceivingSession::incoming(message_vector& messages, const message_callback& send) {
    const auto now = this->now();
    binary compound;
    {
        std::lock_guard lock(mMutex);
        bool sawRtp = false;
        for (const auto& m : messages) {
            if (!m) continue;
            if (m->type == Message::Binary) {
                if (const auto packet = RtpPacket::parse(*m)) {
                    onRtp(packet->ssrc(), packet->sequenceNumber(), packet->timestamp(), now);
                    sawRtp = true;
                }
            } else if (m->type == Message::Control) {
                const auto packets = rtcp::parse(*m);
                if (!packets) continue;
                for (const auto& p : *packets) {
                    const auto* sr = std::get_if<rtcp::SenderReport>(&p);
                    if (!sr || (mHasSource && sr->ssrc != mRemoteSsrc)) continue;
                    mLastSrNtpMiddle = rtcp::ntpMiddle(sr->ntpTimestamp);
                    mLastSrArrival = now;
                    mHasSr = true;
                    ++mCounters.senderReportsReceived;
                }
            }
        }
        std::vector<uint16_t> nacks;
        if (mNackEnabled && mHasSource) collectNacks(now, nacks);
        const auto since = mReportedOnce ? mLastReport : mFirstPacket.value_or(now);
        const bool reportDue = sawRtp && mHasSource && now - since >= mReportInterval;
        if (!send || (!reportDue && nacks.empty())) return;
        appendReport(compound, now);
        mLastReport = now;
        mReportedOnce = true;
        if (!nacks.empty()) {
            rtcp::write(compound, rtcp::Nack{mLocalSsrc, mRemoteSsrc, nacks});
            mCounters.nacksSent += nacks.size();
        }
    }
    send(make_message(std::move(compound), Message::Control));
}

bool RtcpReceivingSession::requestKeyframe(const message_callback& send) {
    binary compound;
    {
        std::lock_guard lock(mMutex);
        if (!mHasSource || !send) return false;
        appendReport(compound, now());
        rtcp::write(compound, rtcp::PictureLossIndication{mLocalSsrc, mRemoteSsrc});
        ++mCounters.keyframeRequestsSent;
    }
    send(make_message(std::move(compound), Message::Control));
    return true;
}

RtcpReceivingSession::Statistics RtcpReceivingSession::statistics() const {
    std::lock_guard lock(mMutex);
    Statistics s = mCounters;
    s.remoteSsrc = mRemoteSsrc;
    s.extendedHighestSequence = mCycles + mMaxSequence;
    const uint64_t expected = mHasSource ? uint64_t(mCycles + mMaxSequence) - mBaseSequence + 1 : 0;
    s.cumulativeLost = int64_t(expected) - int64_t(mReceived);
    s.jitter = mJitter;
    s.repairRoundTrip = mHasRoundTrip ? mSmoothedRoundTrip : std::chrono::microseconds(0);
    return s;
}

}  // namespace rtc
