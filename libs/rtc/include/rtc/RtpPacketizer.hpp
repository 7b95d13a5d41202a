#pragma once
// First handler of a sending chain: turns each outgoing frame (Binary message with FrameInfo)
// into RTP packets of the configured stream. RTCP (Control) messages pass through untouched.
//
// The packets' timestamp is the frame's FrameInfo::timestamp (FrameInfo::timestampSeconds, when
// set, counted from the config's startTimestamp instead); a frame without FrameInfo keeps the
// config's current timestamp. The marker bit is set on the last packet of each frame. Every
// packet is allocated with spare capacity for the SRTP trailer.

#include "rtc/MediaHandler.hpp"
#include "rtc/RtpPacketizationConfig.hpp"

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace rtc {

class RtpPacketizer : public MediaHandler {
public:
    // Spare capacity reserved behind every packet (SRTP protects in place without reallocating).
    static constexpr std::size_t kTrailerReserve = 148;

    explicit RtpPacketizer(std::shared_ptr<RtpPacketizationConfig> config);

    const std::shared_ptr<RtpPacketizationConfig> rtpConfig;

    void outgoing(message_vector& messages, const message_callback& send) override;

    // The payload of one RTP packet: up to 3 bytes of payload header written by the packetizer,
    // then a piece of the frame.
    struct Payload {
        std::array<std::byte, 3> prefix{};
        uint8_t prefixSize = 0;
        std::span<const std::byte> data;
    };

protected:
    // Splits one frame into packet payloads, in sending order. The default sends the whole frame
    // as one payload.
    virtual void fragment(std::span<const std::byte> frame, std::vector<Payload>& payloads);

    // Builds the RTP packets of one frame.
    void packetize(std::span<const std::byte> frame, const FrameInfo* info, message_vector& out);

private:
    std::vector<Payload> mPayloads;  // reused between frames
};

}  // namespace rtc
