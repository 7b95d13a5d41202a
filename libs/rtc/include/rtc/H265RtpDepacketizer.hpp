#pragma once
// H.265 access units from RTP (RFC 7798, without decoding-order numbers, i.e.
// sprop-max-don-diff 0): single NAL unit packets, aggregation packets (AP) and fragmentation
// units (FU). Each NAL unit is written after the separator given (4-byte start codes with
// StartSequence). NAL units that cannot be rebuilt intact are left out, as for H.264; PACI
// packets and reserved types are skipped.

#include "rtc/NalUnit.hpp"
#include "rtc/RtpDepacketizer.hpp"

namespace rtc {

class H265RtpDepacketizer final : public VideoRtpDepacketizer {
public:
    using Separator = NalUnit::Separator;

    explicit H265RtpDepacketizer(Separator separator = Separator::LongStartSequence,
                                 std::size_t maxBufferedBytes = DefaultMaxBufferedBytes);

    message_ptr reassemble(const message_vector& packets) override;

private:
    const Separator mSeparator;
};

}  // namespace rtc
