#include "rtc/RtcpSrReporter.hpp"

#include "rtc/Rtcp.hpp"
#include "rtc/RtpPacket.hpp"

#include <stdexcept>

namespace rtc {

RtcpSrReporter::RtcpSrReporter(std::shared_ptr<RtpPacketizationConfig> config, std::chrono::milliseconds interval)
    : rtpConfig(std::move(config)), mInterval(interval) {
    if (!rtpConfig) throw std::invalid_argument("sender reporter without a configuration");
}

void RtcpSrReporter::outgoing(message_vector& messages, const message_callback&) {
    const auto now = this->now();
    std::lock_guard lock(mMutex);
    bool sentRtp = false;
    for (const auto& m : messages) {
        if (!m || m->type != Message::Binary) continue;
        const auto packet = RtpPacket::parse(*m);
        if (!packet || packet->ssrc() != rtpConfig->ssrc) continue;
        ++mPackets;
        mOctets += static_cast<uint32_t>(packet->payload().size());
        sentRtp = true;
    }
    if (!sentRtp) return;
    if (!mNeedsReport && now - mLastReport < mInterval) return;

    // The frame just packetized went out now: its timestamp is the RTP time of this instant.
    rtcp::SenderReport sr;
    sr.ssrc = rtpConfig->ssrc;
    sr.ntpTimestamp = rtcp::ntpNow();
    sr.rtpTimestamp = rtpConfig->timestamp;
    sr.packetCount = mPackets;
    sr.octetCount = mOctets;
    rtcp::SourceDescription sdes;
    sdes.chunks.push_back(rtcp::SdesChunk{rtpConfig->ssrc, {rtcp::SdesItem{1, rtpConfig->cname.substr(0, 255)}}});
    binary compound;
    rtcp::write(compound, sr);
    rtcp::write(compound, sdes);

    mNeedsReport = false;
    mLastReport = now;
    mLastReportedTimestamp = sr.rtpTimestamp;
    mLastReportBytes = compound;
    messages.insert(messages.begin(), make_message(std::move(compound), Message::Control));
}

void RtcpSrReporter::setNeedsToReport() {
    std::lock_guard lock(mMutex);
    mNeedsReport = true;
}

uint32_t RtcpSrReporter::packetCount() const {
    std::lock_guard lock(mMutex);
    return mPackets;
}

uint32_t RtcpSrReporter::octetCount() const {
    std::lock_guard lock(mMutex);
    return mOctets;
}

uint32_t RtcpSrReporter::lastReportedTimestamp() const {
    std::lock_guard lock(mMutex);
    return mLastReportedTimestamp;
}

binary RtcpSrReporter::lastReport() const {
    std::lock_guard lock(mMutex);
    return mLastReportBytes;
}

}  // namespace rtc
