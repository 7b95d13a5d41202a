#pragma once
// Settings of one outgoing RTP stream, shared by the packetizer (which advances sequence number
// and timestamp) and the sender-report reporter (which reads them). Both run on the track's
// sending thread.

#include <cstdint>
#include <string>

namespace rtc {

class RtpPacketizationConfig {
public:
    // Sequence number and timestamp start at random values (RFC 3550 section 5.1).
    RtpPacketizationConfig(uint32_t ssrc, std::string cname, uint8_t payloadType, uint32_t clockRate,
                           uint8_t videoOrientationId = 0);

    uint32_t ssrc;
    std::string cname;
    uint8_t payloadType;
    uint32_t clockRate;

    uint16_t sequenceNumber;  // of the next packet
    uint32_t timestamp;       // of the last frame sent
    uint32_t startTimestamp;  // of the first frame

    // Coordination of video orientation (3GPP TS 26.114): extension id 1..14, 0 for none. The
    // value goes on the last packet of every frame.
    uint8_t videoOrientationId;
    uint8_t videoOrientation = 0;

    // Playout delay (http://www.webrtc.org/experiments/rtp-hdrext/playout-delay): extension id
    // 1..14, 0 for none; limits in 10 ms units (12 bits each). Sent on the first packet of a frame.
    uint8_t playoutDelayId = 0;
    uint16_t playoutDelayMin = 0;
    uint16_t playoutDelayMax = 0;
};

}  // namespace rtc
