#include "peer/VideoFrameQueue.hpp"

#include "peer/VideoAccessUnit.hpp"

namespace murel {

void VideoFrameQueue::flush() {
    dropped_ += frames_.size();
    frames_.clear();
    bytes_ = 0;
    waiting_ = true;
}

VideoFrameQueue::PushResult VideoFrameQueue::push(PeerEvent frame) {
    PushResult result;
    const std::size_t size = frame.bytes.size();
    const bool validSize = size >= 1 && size <= kVideoFrameLimit;
    if (!validSize || frames_.size() >= kVideoQueueFrames || bytes_ + size > kVideoQueueBytes) {
        flush();
        result.keyframeWanted = true;
        if (!validSize) {
            ++dropped_;
            return result;
        }
    }
    if (codec_ == kCodecHevc) {
        const HevcAccessUnit unit = analyseHevcAccessUnit(frame.bytes);
        if (!unit.valid) {
            flush();
            result.keyframeWanted = true;
            ++dropped_;
            return result;
        }
        if (unit.hasRasl || (waiting_ && !unit.keyframe)) {
            ++dropped_;
            return result;
        }
    } else if (waiting_ && !isH264Keyframe(frame.bytes)) {
        ++dropped_;
        return result;
    }
    waiting_ = false;
    bytes_ += size;
    frames_.push_back(std::move(frame));
    result.queued = true;
    return result;
}

void VideoFrameQueue::takeInto(std::vector<PeerEvent>& out) {
    for (auto& frame : frames_) out.push_back(std::move(frame));
    frames_.clear();
    bytes_ = 0;
}

}  // namespace murel
