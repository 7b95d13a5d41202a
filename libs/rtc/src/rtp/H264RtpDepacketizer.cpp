#include "rtc/H264RtpDepacketizer.hpp"

#include "rtc/RtpPacket.hpp"
#include "rtp/AccessUnitWriter.hpp"

namespace rtc {

namespace {

constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;

uint8_t u8(std::span<const std::byte> s, std::size_t i) { return std::to_integer<uint8_t>(s[i]); }

// A STAP-A is taken only when every unit in it is well formed and it ends exactly.
bool validStapA(std::span<const std::byte> payload) {
    std::size_t at = 1, units = 0;
    while (at < payload.size()) {
        if (payload.size() - at < 2) return false;
        const std::size_t size = std::size_t(impl::readU16(payload, at));
        at += 2;
        if (size == 0 || size > payload.size() - at) return false;
        const uint8_t header = u8(payload, at);
        if ((header & 0x80) || (header & 0x1F) == 0 || (header & 0x1F) > 23) return false;
        at += size;
        ++units;
    }
    return units > 0;
}

}  // namespace

H264RtpDepacketizer::H264RtpDepacketizer(Separator separator, std::size_t maxBufferedBytes)
    : VideoRtpDepacketizer(maxBufferedBytes), mSeparator(separator) {}

message_ptr H264RtpDepacketizer::reassemble(const message_vector& packets) {
    if (packets.empty()) return nullptr;
    impl::AccessUnitWriter writer(mSeparator);
    std::size_t total = 0;
    for (const auto& m : packets) total += m ? m->size() : 0;
    writer.reserve(total + packets.size() * 4);

    std::optional<uint32_t> timestamp;
    uint8_t payloadType = 0;
    std::optional<uint16_t> previous;
    uint8_t fragmentHeader = 0;

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
        // A fragment series only continues over consecutive packets.
        if (previous && uint16_t(*previous + 1) != packet->sequenceNumber()) writer.abandon();
        previous = packet->sequenceNumber();

        const auto payload = packet->payload();
        if (payload.empty()) continue;  // padding only
        const uint8_t nal = u8(payload, 0);
        const uint8_t type = nal & 0x1F;
        if (nal & 0x80) {
            writer.abandon();
            continue;
        }
        if (type == kFuA) {
            if (payload.size() < 3) {
                writer.abandon();
                continue;
            }
            const uint8_t fu = u8(payload, 1);
            const bool start = fu & 0x80, end = fu & 0x40;
            const uint8_t inner = fu & 0x1F;
            const uint8_t header = uint8_t((nal & 0xE0) | inner);
            if ((fu & 0x20) || inner == 0 || inner > 23 || (start && end)) {
                writer.abandon();
                continue;
            }
            if (start) {
                writer.abandon();
                writer.begin();
                writer.append(std::byte{header});
                fragmentHeader = header;
            } else if (!writer.open() || header != fragmentHeader) {
                writer.abandon();
                continue;
            }
            writer.append(payload.subspan(2));
            if (end) writer.end();
            continue;
        }
        writer.abandon();  // any other packet type interrupts a fragment series
        if (type >= 1 && type <= 23) {
            writer.whole(payload);
        } else if (type == kStapA && validStapA(payload)) {
            std::size_t at = 1;
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
