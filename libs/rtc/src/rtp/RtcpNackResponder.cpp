#include "rtc/RtcpNackResponder.hpp"

#include "rtc/Rtcp.hpp"
#include "rtc/RtpPacket.hpp"

#include <algorithm>
#include <stdexcept>

namespace rtc {

RtcpNackResponder::RtcpNackResponder(std::size_t maxSize) : mMaxSize(maxSize) {
    if (maxSize == 0 || maxSize > 32768) throw std::invalid_argument("NACK responder history outside 1..32768");
    std::size_t slots = 1;
    while (slots < maxSize) slots <<= 1;
    mSlots.resize(slots);
}

void RtcpNackResponder::outgoing(message_vector& messages, const message_callback&) {
    const auto now = this->now();
    std::lock_guard lock(mMutex);
    for (const auto& m : messages) {
        if (!m) continue;
        if (m->type == Message::Control) {
            // Our sender reports, remembered to time the receiver reports that echo them.
            if (const auto packets = rtcp::parse(*m))
                for (const auto& p : *packets)
                    if (const auto* sr = std::get_if<rtcp::SenderReport>(&p)) {
                        mReports[mNextReport] = SentReport{rtcp::ntpMiddle(sr->ntpTimestamp), sr->ssrc, now};
                        mNextReport = (mNextReport + 1) % mReports.size();
                    }
            continue;
        }
        if (m->type != Message::Binary) continue;
        const auto packet = RtpPacket::parse(*m);
        if (!packet) continue;
        Slot& slot = mSlots[packet->sequenceNumber() & (mSlots.size() - 1)];
        slot = Slot{m, ++mStored, packet->sequenceNumber(), packet->ssrc()};
    }
}

void RtcpNackResponder::sampleRoundTrip(std::chrono::microseconds sample) {
    mRoundTrips[mRoundTripSamples++ % mRoundTrips.size()] =
        std::clamp<std::chrono::microseconds>(sample, std::chrono::microseconds(0), MaxRoundTrip);
}

std::chrono::microseconds RtcpNackResponder::roundTripLocked() const {
    if (mRoundTripSamples == 0) return DefaultRoundTrip;
    const auto end = mRoundTrips.begin() + std::min(mRoundTripSamples, mRoundTrips.size());
    return *std::min_element(mRoundTrips.begin(), end);
}

void RtcpNackResponder::noteReports(const std::vector<rtcp::ReportBlock>& blocks, TimePoint now) {
    for (const auto& block : blocks) {
        if (block.lastSenderReport == 0) continue;
        // Newest first: reports sent within the same 1/65536 s carry the same echo.
        for (std::size_t age = 1; age <= mReports.size(); ++age) {
            const SentReport& sent = mReports[(mNextReport + mReports.size() - age) % mReports.size()];
            if (sent.sent == TimePoint{} || sent.ssrc != block.ssrc || sent.ntpMiddle != block.lastSenderReport)
                continue;
            // The receiver's delay is in 1/65536 s.
            const auto held = std::chrono::microseconds(int64_t(block.delaySinceLastSenderReport) * 1000000 / 65536);
            const auto sample = std::chrono::duration_cast<std::chrono::microseconds>(now - sent.sent) - held;
            if (sample >= std::chrono::microseconds(0)) sampleRoundTrip(sample);
            break;
        }
    }
}

void RtcpNackResponder::incoming(message_vector& messages, const message_callback& send) {
    const auto now = this->now();
    std::vector<rtcp::Packet> received;
    for (const auto& m : messages) {
        if (!m || m->type != Message::Control) continue;
        if (auto packets = rtcp::parse(*m)) received.insert(received.end(), packets->begin(), packets->end());
    }
    if (received.empty()) return;
    // Every (SSRC, sequence) asked for in this batch, once: a hostile NACK repeating numbers
    // costs sorting, not retransmissions.
    std::vector<std::pair<uint32_t, uint16_t>> wanted;
    message_vector resend;
    {
        std::lock_guard lock(mMutex);
        for (const auto& p : received) {
            if (const auto* nack = std::get_if<rtcp::Nack>(&p))
                for (uint16_t sequence : nack->lost) wanted.emplace_back(nack->mediaSsrc, sequence);
            else if (const auto* rr = std::get_if<rtcp::ReceiverReport>(&p))
                noteReports(rr->reports, now);
            else if (const auto* sr = std::get_if<rtcp::SenderReport>(&p))
                noteReports(sr->reports, now);
        }
        std::sort(wanted.begin(), wanted.end());
        wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
        const auto roundTrip = roundTripLocked();
        for (const auto& [ssrc, sequence] : wanted) {
            Slot& slot = mSlots[sequence & (mSlots.size() - 1)];
            // Kept: stored, the same packet, and among the last mMaxSize sent.
            if (slot.ordinal == 0 || slot.sequence != sequence || slot.ssrc != ssrc ||
                mStored - slot.ordinal >= mMaxSize)
                continue;
            if (slot.resends > 0 && now - slot.resent < roundTrip) {
                ++mSuppressed;  // the retransmission is still on its way
                continue;
            }
            if (!send) continue;
            slot.resent = now;
            ++slot.resends;
            resend.push_back(slot.packet);
        }
        mRetransmitted += resend.size();
    }
    for (auto& packet : resend) send(packet);
}

std::uint64_t RtcpNackResponder::retransmitted() const {
    std::lock_guard lock(mMutex);
    return mRetransmitted;
}

std::uint64_t RtcpNackResponder::suppressed() const {
    std::lock_guard lock(mMutex);
    return mSuppressed;
}

std::chrono::microseconds RtcpNackResponder::roundTrip() const {
    std::lock_guard lock(mMutex);
    return roundTripLocked();
}

}  // namespace rtc
