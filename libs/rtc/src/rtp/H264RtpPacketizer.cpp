#include "rtc/H264RtpPacketizer.hpp"

#include <stdexcept>

namespace rtc {

namespace {
constexpr uint8_t kFuA = 28;
}

H264RtpPacketizer::H264RtpPacketizer(Separator separator, std::shared_ptr<RtpPacketizationConfig> config,
                                     std::size_t maxFragmentSize)
    : RtpPacketizer(std::move(config)), mSeparator(separator), mMaxFragmentSize(maxFragmentSize) {
    if (maxFragmentSize < 3) throw std::invalid_argument("H.264 packetizer: maximum fragment size below 3");
}

void H264RtpPacketizer::fragment(std::span<const std::byte> frame, std::vector<Payload>& payloads) {
    for (const auto nal : NalUnit::split(frame, mSeparator)) {
        if (nal.size() <= mMaxFragmentSize) {
            Payload single;
            single.data = nal;
            payloads.push_back(single);
            continue;
        }
        // FU-A: the NAL header travels in the FU indicator (F, NRI) and FU header (type).
        const uint8_t header = std::to_integer<uint8_t>(nal[0]);
        const auto body = nal.subspan(1);
        const std::size_t room = mMaxFragmentSize - 2;
        const std::size_t count = (body.size() + room - 1) / room;
        const std::size_t base = body.size() / count, extra = body.size() % count;
        std::size_t at = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t length = base + (i < extra ? 1 : 0);
            Payload fu;
            fu.prefix[0] = std::byte((header & 0xE0) | kFuA);
            fu.prefix[1] = std::byte((i == 0 ? 0x80 : 0) | (i + 1 == count ? 0x40 : 0) | (header & 0x1F));
            fu.prefixSize = 2;
            fu.data = body.subspan(at, length);
            payloads.push_back(fu);
            at += length;
        }
    }
}

}  // namespace rtc
