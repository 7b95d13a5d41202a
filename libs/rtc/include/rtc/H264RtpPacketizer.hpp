#pragma once
// H.264 over RTP (RFC 6184, packetization mode 1): each NAL unit of an access unit goes out as a
// single NAL unit packet when it fits into the maximum fragment size, else as FU-A fragments of
// nearly equal size. No aggregation.

#include "rtc/NalUnit.hpp"
#include "rtc/RtpPacketizer.hpp"

namespace rtc {

class H264RtpPacketizer final : public RtpPacketizer {
public:
    using Separator = NalUnit::Separator;
    static constexpr std::size_t DefaultMaxFragmentSize = 1220;

    // maxFragmentSize: largest RTP payload (at least 3). Throws std::invalid_argument otherwise.
    H264RtpPacketizer(Separator separator, std::shared_ptr<RtpPacketizationConfig> config,
                      std::size_t maxFragmentSize = DefaultMaxFragmentSize);

    Separator separator() const { return mSeparator; }
    std::size_t maxFragmentSize() const { return mMaxFragmentSize; }

protected:
    void fragment(std::span<const std::byte> frame, std::vector<Payload>& payloads) override;

private:
    const Separator mSeparator;
    const std::size_t mMaxFragmentSize;
};

}  // namespace rtc
