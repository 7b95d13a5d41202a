#pragma once
// Last handler of a receiving chain: collects the RTP packets of each frame and hands them, in
// sequence order, to reassemble(), whose frame (Binary, with FrameInfo) replaces them in the
// chain. RTCP (Control) messages pass through.
//
// Packets are buffered per RTP timestamp, ordered by sequence number, duplicates dropped. Frames
// are handed over strictly in sending order, each one
//  - as soon as it is complete: its marker packet is there, its sequence numbers are contiguous
//    and it starts right after the frame handed over before it (so reordered packets and
//    retransmissions still make whole frames); or
//  - incomplete, once it has waited the hold time since it became overdue (its marker packet came,
//    or a newer frame began) without being repaired (reassemble() decides what to make of an
//    incomplete set). The hold time follows the repair round trip that a following handler asks
//    for repairs by (a receiving session with NACKs on): twice that round trip, MinHoldTime to
//    MaxHoldTime. It is only spent when a repair is lost too or the machine stalls, and a frame
//    given up costs a keyframe, so the floor is generous. Without repairs only reordering is
//    waited for: ReorderHoldTime, and no longer than until the next frame is complete. A frame
//    that is never overdue (its last packets lost, nothing newer arriving) waits MaxHoldTime
//    from the last packet received. The track runs the chain at wakeTime(), so these waits end
//    on time even when no packet arrives;
//  - incomplete, when the buffers exceed their byte, packet or frame bound: the oldest frames are
//    given up first; a frame that alone exceeds a bound is handed over as it is and the rest of
//    its timestamp discarded.
// Packets shorter than an RTP header or of another version are dropped, as are packets at or
// before the last packet already handed over (late or repeated) and late packets of the frame
// handed over last (they still tell where that frame ended). A change of SSRC or a jump of the
// sequence number far backwards starts afresh.
//
// reassemble() runs on the receiving thread with no lock of this object held. Like every handler,
// this one is called by one thread at a time (wakeTime() included).

#include "rtc/MediaHandler.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace rtc {

class VideoRtpDepacketizer : public MediaHandler {
public:
    static constexpr std::size_t DefaultMaxBufferedBytes = 16 * 1024 * 1024;
    static constexpr std::size_t MaxBufferedPackets = 16384;
    static constexpr std::size_t MaxBufferedFrames = 64;
    static constexpr std::chrono::milliseconds ReorderHoldTime{20};
    static constexpr std::chrono::milliseconds MinHoldTime{100};
    static constexpr std::chrono::milliseconds MaxHoldTime{300};

    explicit VideoRtpDepacketizer(std::size_t maxBufferedBytes = DefaultMaxBufferedBytes);

    void incoming(message_vector& messages, const message_callback& send) override;
    // When the oldest waiting frame is due to be given up.
    std::optional<TimePoint> wakeTime() const override;

    // Builds one frame from the packets of one RTP timestamp, ordered by sequence number without
    // duplicates. Returns nullptr when nothing usable comes out. The frame carries a FrameInfo
    // whose timestamp is the packets' RTP timestamp.
    virtual message_ptr reassemble(const message_vector& packets) = 0;

private:
    struct Header {
        bool marker;
        uint16_t sequence;
        uint32_t timestamp;
        uint32_t ssrc;
    };
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
        std::optional<TimePoint> overdueSince;

        bool insert(message_ptr packet, uint16_t sequence, bool marker);  // false: a duplicate
        bool contiguous() const;
        uint16_t first() const { return uint16_t(anchor + packets.front().key); }
        uint16_t last() const { return uint16_t(anchor + packets.back().key); }
        std::optional<uint16_t> end() const;  // the sequence number after its marker packet, when last
    };

    void place(message_ptr packet, const Header& header, TimePoint now, message_vector& out);
    void noteLate(uint16_t sequence, bool marker);
    bool ready(const Frame& frame) const;
    bool overdue(const Frame& frame, TimePoint now) const;
    bool nextCompletesBefore(const Frame& frame) const;
    std::optional<TimePoint> deadline(const Frame& frame) const;
    void release(TimePoint now, message_vector& out);
    void handOver(message_vector& out, bool complete);  // the oldest frame
    void flushAll(message_vector& out);
    void reset();
    void updateHoldTime();

    const std::size_t mMaxBufferedBytes;
    std::deque<Frame> mFrames;  // oldest first
    std::size_t mBytes = 0, mPackets = 0;
    uint32_t mSsrc = 0;
    bool mHasSsrc = false;
    std::optional<uint16_t> mLastHandedOver;  // highest sequence number handed to reassemble
    uint32_t mLastHandedOverTimestamp = 0;
    std::optional<uint16_t> mExpectedStart;   // first sequence number of the next frame, if known
    std::vector<std::pair<uint16_t, bool>> mLate;  // late packets of the last frame, not yet contiguous
    std::optional<uint32_t> mDiscardTimestamp;
    bool mRepairs = false;  // a following handler asks for repairs
    std::chrono::microseconds mHold{ReorderHoldTime};
    TimePoint mLastArrival{};
};

}  // namespace rtc
