#pragma once
// The viewer's receive handler: only complete, internally consistent frames become access units.
// Every packet of a frame is checked (continuity across frames, SSRC, RTP header, the H.264 or
// HEVC payload structure) before the codec's own depacketizer builds the access unit; a frame with
// a hole, a broken fragment or malformed payload is dropped and reported to the mailbox as a loss,
// which drops what waits and asks for a keyframe.

#include <cstdint>
#include <memory>

#include "rtc/RtpDepacketizer.hpp"

namespace murel {

class Mailbox;

class CompleteVideoDepacketizer final : public rtc::VideoRtpDepacketizer {
public:
    // A sequence number this far behind the one expected is a restarted stream, not a late packet.
    static constexpr int kResyncDistance = 4096;

    CompleteVideoDepacketizer(std::weak_ptr<Mailbox> mailbox, std::int32_t codec);

    rtc::message_ptr reassemble(const rtc::message_vector& packets) override;

private:
    void reportLoss();

    const std::weak_ptr<Mailbox> mailbox_;
    const std::int32_t codec_;
    std::uint16_t expectedSequence_ = 0;
    bool hasExpectedSequence_ = false;
    std::uint32_t lastSsrc_ = 0;
    bool hasLastSsrc_ = false;
    std::shared_ptr<rtc::VideoRtpDepacketizer> assembler_;
};

}  // namespace murel
