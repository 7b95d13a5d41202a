#pragma once
// Received video frames waiting for the worker: at most 8 frames and 16 MiB, and after a loss or
// an overflow nothing but a keyframe until the next keyframe arrives. Not thread-safe: the mailbox
// guards it with its lock.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "peer/PeerTypes.hpp"

namespace murel {

class VideoFrameQueue {
public:
    explicit VideoFrameQueue(std::int32_t codec = kCodecH264) : codec_(codec) {}

    struct PushResult {
        bool queued = false;
        bool keyframeWanted = false;
    };

    // Offers one VideoFrame event (its bytes are the access unit).
    PushResult push(PeerEvent frame);
    // Drops every queued frame (counted) and waits for a keyframe.
    void flush();
    // Moves the queued frames, oldest first, to the end of `out`.
    void takeInto(std::vector<PeerEvent>& out);

    std::size_t size() const { return frames_.size(); }
    std::uint64_t bytes() const { return bytes_; }
    std::uint64_t droppedFrames() const { return dropped_; }
    bool waitingForKeyframe() const { return waiting_; }
    std::int32_t codec() const { return codec_; }

private:
    std::deque<PeerEvent> frames_;
    std::uint64_t bytes_ = 0;
    std::uint64_t dropped_ = 0;
    bool waiting_ = true;
    std::int32_t codec_;
};

}  // namespace murel
