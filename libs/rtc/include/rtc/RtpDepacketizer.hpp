#pragma once
// Last handler of a receiving chain: collects the RTP packets of one frame and hands them, in
// sequence order, to reassemble(), whose frame (Binary, with FrameInfo) replaces them in the
// chain. RTCP (Control) messages pass through.
//
// One RTP timestamp's packets are buffered, ordered by sequence number, duplicates dropped.
// They are handed over, and the buffer emptied,
//  - when the packet with the marker bit is there and the sequence numbers are contiguous (from
//    the one after the previous frame's marker packet when that frame was complete), so that
//    reordered packets and retransmissions still make whole frames; or
//  - when a packet of another timestamp with a later sequence number arrives (the frame is then
//    incomplete: reassemble() decides what to make of it); or
//  - when the buffer exceeds its byte or packet bound (the rest of that timestamp is discarded).
// Packets shorter than an RTP header or of another version are dropped, as are packets at or
// before the last packet already handed over (late or repeated), and packets of an older frame
// than the one buffered. A change of SSRC or a jump of the sequence number far backwards starts
// afresh.
//
// reassemble() runs on the receiving thread with no lock of this object held.

#include "rtc/MediaHandler.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace rtc {

class VideoRtpDepacketizer : public MediaHandler {
public:
    static constexpr std::size_t DefaultMaxBufferedBytes = 16 * 1024 * 1024;
    static constexpr std::size_t MaxBufferedPackets = 16384;

    explicit VideoRtpDepacketizer(std::size_t maxBufferedBytes = DefaultMaxBufferedBytes);

    void incoming(message_vector& messages, const message_callback& send) override;

    // Builds one frame from the packets of one RTP timestamp, ordered by sequence number without
    // duplicates. Returns nullptr when nothing usable comes out. The frame carries a FrameInfo
    // whose timestamp is the packets' RTP timestamp.
    virtual message_ptr reassemble(const message_vector& packets) = 0;

private:
    struct Buffered {
        int32_t key;  // sequence distance from the anchor
        message_ptr packet;
    };
    void flush(message_vector& out, bool complete);
    bool ready() const;
    void reset();

    const std::size_t mMaxBufferedBytes;
    std::vector<Buffered> mBuffer;
    uint16_t mAnchor = 0;
    uint32_t mTimestamp = 0;
    uint32_t mSsrc = 0;
    std::size_t mBytes = 0;
    std::optional<int32_t> mMarkerKey;
    bool mHasSsrc = false;
    std::optional<uint16_t> mLastHandedOver;  // highest sequence number handed to reassemble
    std::optional<uint16_t> mExpectedStart;   // first sequence number of the next frame, if known
    std::optional<uint32_t> mDiscardTimestamp;
};

}  // namespace rtc
