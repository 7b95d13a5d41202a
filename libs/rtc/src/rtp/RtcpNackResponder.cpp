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
    std::lock_guard lock(mMutex);
    for (const auto& m : messages) {
        if (!m || m->type != Message::Binary) continue;
        const auto packet = RtpPacket::parse(*m);
        if (!packet) continue;
        Slot& slot = mSlots[packet->sequenceNumber() & (mSlots.size() - 1)];
        slot.packet = m;
        slot.ordinal = ++mStored;
        slot.sequence = packet->sequenceNumber();
        slot.ssrc = packet->ssrc();
    }
}

void RtcpNackResponder::incoming(message_vector& messages, const message_callback& send) {
    // Every (SSRC, sequence) asked for in this batch, once: a hostile NACK repeating numbers
    // costs sorting, not retransmissions.
    std::vector<std::pair<uint32_t, uint16_t>> wanted;
    for (const auto& m : messages) {
        if (!m || m->type != Message::Control) continue;
        const auto packets = rtcp::parse(*m);
        if (!packets) continue;
        for (const auto& p : *packets)
            if (const auto* nack = std::get_if<rtcp::Nack>(&p))
                for (uint16_t sequence : nack->lost) wanted.emplace_back(nack->mediaSsrc, sequence);
    }
    if (wanted.empty()) return;
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());

    message_vector resend;
    {
        std::lock_guard lock(mMutex);
        for (const auto& [ssrc, sequence] : wanted) {
            const Slot& slot = mSlots[sequence & (mSlots.size() - 1)];
            // Kept: stored, the same packet, and among the last mMaxSize sent.
            if (slot.ordinal == 0 || slot.sequence != sequence || slot.ssrc != ssrc ||
                mStored - slot.ordinal >= mMaxSize)
                continue;
            resend.push_back(slot.packet);
        }
        if (!send) return;
        mRetransmitted += resend.size();
    }
    for (auto& packet : resend) send(packet);
}

std::uint64_t RtcpNackResponder::retransmitted() const {
    std::lock_guard lock(mMutex);
    return mRetransmitted;
}

}  // namespace rtc
