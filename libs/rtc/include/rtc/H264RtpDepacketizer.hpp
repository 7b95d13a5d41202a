#pragma once
// H.264 access units from RTP (RFC 6184): single NAL unit packets, STAP-A and FU-A. Each NAL unit
// is written after the separator given (4-byte start codes with StartSequence). NAL units that
// cannot be rebuilt intact are left out: a fragment series with a missing fragment (sequence
// numbers not consecutive), without its start or end, or whose fragments disagree on the NAL
// header; a malformed aggregation packet; packet types this profile does not use (STAP-B, MTAP,
// FU-B, reserved) and NAL headers with the forbidden bit set.

#include "rtc/NalUnit.hpp"
#include "rtc/RtpDepacketizer.hpp"

namespace rtc {

class H264RtpDepacketizer final : public VideoRtpDepacketizer {
public:
    using Separator = NalUnit::Separator;

    explicit H264RtpDepacketizer(Separator separator = Separator::LongStartSequence,
                                 std::size_t maxBufferedBytes = DefaultMaxBufferedBytes);

    message_ptr reassemble(const message_vector& packets) override;

private:
    const Separator mSeparator;
};

}  // namespace rtc
