#include "rtc/H265RtpDepacketizer.hpp"

#include "rtc/RtpPacket.hpp"
#include "rtp/AccessUnitWriter.hpp"

namespace rtc {

namespace {

constexpr uint8_t kAp = 48;
constexpr uint8_t kFu = 49;

uint8_t u8(std::span<const std::byte> s, std::size_t i) { return std::to_integer<uint8_t>(s[i]); }

// Two-byte NAL unit header: F clear, layer id 0, temporal id plus one non-zero.
bool validHeader(uint8_t b0, uint8_t b1) { return !(b0 & 0x80) && !(b0 & 0x01) && (b1 >> 3) == 0 && (b1 & 0x07) != 0; }

bool validAp(std::span<const std::byte> payload) {
    std::size_t at = 2, units = 0;
    while (at < payload.size()) {
        if (payload.size() - at < 2) return false;
        const std::size_t size = std::size_t(impl::readU16(payload, at));
        at += 2;
        if (size < 2 || size > payload.size() - at) return false;
        const uint8_t b0 = u8(payload, at), b1 = u8(payload, at + 1);
        if (!validHeader(b0, b1) || ((b0 >> 1) & 0x3F) >= 48) return false;
        at += size;
        ++units;
    }
    return units > 0;
}

}  // namespace

H265RtpDepacketizer::H265RtpDepacketizer(Separator separator, std::size_t maxBufferedBytes)
    : VideoRtpDepacketizer(maxBufferedBytes), mSeparator(separator) {}

message_ptr H265RtpDepacketizer::reassemble(const message_vector& packets) {
    if (packets.empty()) return nullptr;
    impl::AccessUnitWriter writer(mSeparator);
    std::size_t total = 0;
    for (const auto& m : packets) total += m ? m->size() : 0;
    writer.reserve(total + packets.size() * 4);

    std::optional<uint32_t> timestamp;
    uint8_t payloadType = 0;
    std::optional<uint16_t> previous;
    uint16_t fragmentHeader = 0;

    for (const auto& m : packets) {
        if (!m) continue;
        const auto packet = RtpPacket::parse(*m);
        if (!packet) {
            writer.abandon();
            continue;
        }
        if (!timestamp) {
            timestamp = packet->timestamp();
            payloadType = packet->payloadType();
        }
        if (previous && uint16_t(*previous + 1) != packet->sequenceNumber()) writer.abandon();
        previous = packet->sequenceNumber();

        const auto payload = packet->payload();
        if (payload.empty()) continue;
        if (payload.size() < 2 || !validHeader(u8(payload, 0), u8(payload, 1))) {
            writer.abandon();
            continue;
        }
        const uint8_t b0 = u8(payload, 0), b1 = u8(payload, 1);
        const uint8_t type = (b0 >> 1) & 0x3F;
        if (type == kFu) {
            if (payload.size() < 4) {
                writer.abandon();
                continue;
            }
            const uint8_t fu = u8(payload, 2);
            const bool start = fu & 0x80, end = fu & 0x40;
            const uint8_t inner = fu & 0x3F;
            if (inner >= 48 || (start && end)) {
                writer.abandon();
                continue;
            }
            const uint8_t h0 = uint8_t((b0 & 0x81) | (inner << 1));
            const uint16_t header = uint16_t(h0 << 8 | b1);
            if (start) {
                writer.abandon();
                writer.begin();
                writer.append(std::byte{h0});
                writer.append(std::byte{b1});
                fragmentHeader = header;
            } else if (!writer.open() || header != fragmentHeader) {
                writer.abandon();
                continue;
            }
            writer.append(payload.subspan(3));
            if (end) writer.end();
            continue;
        }
        writer.abandon();
        if (type < 48) {
            writer.whole(payload);
        } else if (type == kAp && validAp(payload)) {
            std::size_t at = 2;
            while (at < payload.size()) {
                const std::size_t size = std::size_t(impl::readU16(payload, at));
                writer.whole(payload.subspan(at + 2, size));
                at += 2 + size;
            }
        }
    }
    binary frame = writer.take();
    if (frame.empty() || !timestamp) return nullptr;
    return make_message(std::move(frame), Message::Binary, std::make_shared<FrameInfo>(payloadType, *timestamp));
}

}  // namespace rtc
