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
//  - when the frame is still incomplete and packets of two newer timestamps have arrived, or the
//    next frame is complete: a frame missing packets is held while the next one arrives, so that
//    a retransmission answering a NACK can still complete it (reassemble() then decides what to
//    make of an incomplete set); or
//  - when the buffers exceed their byte or packet bound (the rest of that timestamp is discarded).
// Frames are always handed over in sending order. Packets shorter than an RTP header or of
// another version are dropped, as are packets at or before the last packet already handed over
// (late or repeated), and packets of an older frame than those buffered. A change of SSRC or a
// jump of the sequence number far backwards starts afresh.
//
// reassemble() runs on the receiving thread with no lock of this object held.

#include "rtc/MediaHandler.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

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
        int32_t key;  // sequence distance from the frame's anchor
        message_ptr packet;
    };
    struct Frame {
        std::vector<Buffered> packets;
        uint16_t anchor = 0;
        uint32_t timestamp = 0;
        std::size_t bytes = 0;
        std::optional<int32_t> markerKey;

        bool empty() const { return packets.empty(); }
        bool insert(message_ptr packet, uint16_t sequence, bool marker);  // false: a duplicate
        bool contiguous() const;
        uint16_t first() const { return uint16_t(anchor + packets.front().key); }
        uint16_t last() const { return uint16_t(anchor + packets.back().key); }
    };

    bool ready(const Frame& frame, std::optional<uint16_t> expectedStart) const;
    void flush(Frame& frame, message_vector& out, bool complete);
    void flushAll(message_vector& out);
    void reset();

    const std::size_t mMaxBufferedBytes;
    Frame mCurrent;
    std::optional<Frame> mHeld;  // an older, incomplete frame waiting for repairs
    uint32_t mSsrc = 0;
    bool mHasSsrc = false;
    std::optional<uint16_t> mLastHandedOver;  // highest sequence number handed to reassemble
    std::optional<uint16_t> mExpectedStart;   // first sequence number of the next frame, if known
    std::optional<uint32_t> mDiscardTimestamp;
};

}  // namespace rtc
