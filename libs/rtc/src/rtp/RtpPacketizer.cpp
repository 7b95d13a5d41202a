#include "rtc/RtpPacketizer.hpp"

#include "common/ByteOrder.hpp"

#include <cmath>
#include <random>
#include <stdexcept>

namespace rtc {

RtpPacketizationConfig::RtpPacketizationConfig(uint32_t ssrc, std::string cname, uint8_t payloadType,
                                               uint32_t clockRate, uint8_t videoOrientationId)
    : ssrc(ssrc), cname(std::move(cname)), payloadType(payloadType), clockRate(clockRate),
      videoOrientationId(videoOrientationId) {
    if (payloadType > 127) throw std::invalid_argument("RTP payload type above 127");
    if (clockRate == 0) throw std::invalid_argument("RTP clock rate 0");
    if (videoOrientationId > 14) throw std::invalid_argument("RTP extension id above 14");
    std::random_device random;
    sequenceNumber = static_cast<uint16_t>(random());
    timestamp = startTimestamp = static_cast<uint32_t>(random());
}

RtpPacketizer::RtpPacketizer(std::shared_ptr<RtpPacketizationConfig> config) : rtpConfig(std::move(config)) {
    if (!rtpConfig) throw std::invalid_argument("RTP packetizer without a configuration");
}

void RtpPacketizer::fragment(std::span<const std::byte> frame, std::vector<Payload>& payloads) {
    Payload whole;
    whole.data = frame;
    payloads.push_back(whole);
}

void RtpPacketizer::outgoing(message_vector& messages, const message_callback&) {
    bool anyFrame = false;
    for (const auto& m : messages)
        if (m && m->type == Message::Binary) anyFrame = true;
    if (!anyFrame) return;

    message_vector result;
    result.reserve(messages.size());
    for (auto& m : messages) {
        if (!m) continue;
        if (m->type != Message::Binary) {
            result.push_back(std::move(m));
            continue;
        }
        packetize(*m, m->frameInfo.get(), result);
    }
    messages = std::move(result);
}

void RtpPacketizer::packetize(std::span<const std::byte> frame, const FrameInfo* info, message_vector& out) {
    if (frame.empty()) return;
    auto& config = *rtpConfig;
    uint32_t timestamp = config.timestamp;
    uint8_t payloadType = config.payloadType;
    if (info) {
        timestamp = info->timestamp;
        if (info->timestampSeconds)
            timestamp = config.startTimestamp +
                        static_cast<uint32_t>(std::llround(info->timestampSeconds->count() * config.clockRate));
        if (info->payloadType != 0 && info->payloadType <= 127) payloadType = info->payloadType;
    }

    mPayloads.clear();
    fragment(frame, mPayloads);
    if (mPayloads.empty()) return;
    config.timestamp = timestamp;

    const bool playoutDelay = config.playoutDelayId >= 1 && config.playoutDelayId <= 14;
    const bool orientation = config.videoOrientationId >= 1 && config.videoOrientationId <= 14;

    out.reserve(out.size() + mPayloads.size());
    for (std::size_t i = 0; i < mPayloads.size(); ++i) {
        const Payload& payload = mPayloads[i];
        const bool first = i == 0;
        const bool last = i + 1 == mPayloads.size();
        const bool withDelay = playoutDelay && first;
        const bool withOrientation = orientation && last;
        // One-byte extension block: playout delay 1+3 bytes, orientation 1+1 bytes, padded to 4.
        std::size_t extension = 0;
        if (withDelay || withOrientation) {
            std::size_t elements = (withDelay ? 4 : 0) + (withOrientation ? 2 : 0);
            extension = 4 + (elements + 3) / 4 * 4;
        }
        const std::size_t size = 12 + extension + payload.prefixSize + payload.data.size();

        auto message = std::make_shared<Message>();
        message->reserve(size + kTrailerReserve);
        message->resize(12 + extension);
        auto* h = reinterpret_cast<uint8_t*>(message->data());
        h[0] = 0x80 | (extension ? 0x10 : 0);
        h[1] = uint8_t((last ? 0x80 : 0) | payloadType);
        const uint16_t seq = config.sequenceNumber++;
        impl::writeU16(h + 2, seq);
        impl::writeU32(h + 4, timestamp);
        impl::writeU32(h + 8, config.ssrc);
        if (extension) {
            uint8_t* e = h + 12;
            const std::size_t words = (extension - 4) / 4;
            e[0] = 0xBE;
            e[1] = 0xDE;
            impl::writeU16(e + 2, uint16_t(words));
            std::size_t at = 4;
            if (withDelay) {
                const uint32_t min = config.playoutDelayMin & 0xFFF, max = config.playoutDelayMax & 0xFFF;
                e[at++] = uint8_t(config.playoutDelayId << 4 | 2);
                e[at++] = uint8_t(min >> 4);
                e[at++] = uint8_t((min & 0xF) << 4 | max >> 8);
                e[at++] = uint8_t(max);
            }
            if (withOrientation) {
                e[at++] = uint8_t(config.videoOrientationId << 4 | 0);
                e[at++] = config.videoOrientation;
            }
            while (at < extension) e[at++] = 0;
        }
        message->insert(message->end(), payload.prefix.begin(), payload.prefix.begin() + payload.prefixSize);
        message->insert(message->end(), payload.data.begin(), payload.data.end());
        out.push_back(std::move(message));
    }
}

}  // namespace rtc
