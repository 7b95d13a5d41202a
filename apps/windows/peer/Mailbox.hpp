#pragma once
// The native peer's mailbox: the one place where the peer's network threads leave what happened
// for the worker. Every operation takes the mailbox's only lock for its whole work and never calls
// out while holding it, except `wake`, which must only signal the worker.
//
// Three states: open; failed (sticky: nothing is queued any more and every drain returns the one
// failure); closed (nothing is queued, drain returns nothing). Both failed and closed are final.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "peer/PeerTypes.hpp"
#include "peer/VideoFrameQueue.hpp"

namespace rtc {
class Candidate;
class DataChannel;
class Description;
}  // namespace rtc

namespace murel {

class Mailbox {
public:
    using Channel = std::shared_ptr<rtc::DataChannel>;

    explicit Mailbox(std::function<void()> wake);
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // Queues one event (video frames go to the video queue; a second waiting KeyframeRequest is
    // discarded; the 65th waiting item makes the sticky "mailbox-overflow").
    void push(PeerEvent event);
    // Sets the sticky failure unless the mailbox is already failed or closed.
    void fail(PeerFailure reason);

    struct Drained {
        std::vector<PeerEvent> events;
        // The video queue is open and waits for a keyframe (the peer may ask the sender for one).
        bool waitingForKeyframe = false;
    };
    // Everything waiting, in arrival order, then one VideoLoss when the receive path asked for a
    // keyframe, then the queued video frames.
    Drained drain();

    // Final: clears every queue and the local-signal state and hands out both channels.
    std::pair<Channel, Channel> close();
    bool isClosed() const;

    // Stores a valid channel in its slot (kControlChannel or kPointerChannel). False, storing
    // nothing, when the mailbox is closed or the slot is taken.
    bool attach(std::int32_t channel, Channel dataChannel);
    // A channel opened: pushes ChannelsOpen when both slots are filled and `bothOpen(control,
    // pointer)` holds, at most once per mailbox.
    void channelOpened(const std::function<bool(rtc::DataChannel& control, rtc::DataChannel& pointer)>& bothOpen);

    struct InputChannel {
        bool failed = false;
        Channel channel;
    };
    InputChannel inputChannel(std::int32_t channel) const;

    // The viewer chose its codec: a fresh video queue waiting for a keyframe, and a VideoCodec event.
    void chooseCodec(std::int32_t codec);
    // A frame was lost: drop what is queued, wait for a keyframe and ask for one.
    void reportLoss();
    // The worker asks for a keyframe itself: flushes the queue; the total dropped count, or
    // nothing when closed.
    std::optional<std::uint64_t> restartVideo();

    // Local signals (from the connection's threads); problems end the mailbox with a sticky failure.
    void localDescription(rtc::Description description, const std::string& sessionId);
    void localCandidate(const rtc::Candidate& candidate, const std::string& sessionId);

    // For tests and diagnostics.
    std::size_t waitingItems() const;  // queued events plus pending local candidates
    std::uint64_t droppedFrames() const;

private:
    void pushLocked(PeerEvent event);
    void failLocked(PeerFailure reason);
    void notifyLocked();
    void localCandidateLocked(const std::string& mid, const std::string& text, const std::string& sessionId);
    void emitCandidateLocked(const std::string& mid, const std::string& text, const std::string& sessionId);

    struct PendingCandidate {
        std::string mid;
        std::string text;
    };

    mutable std::mutex mutex_;
    std::function<void()> wake_;
    bool closed_ = false;
    bool failed_ = false;
    PeerFailure reason_ = PeerFailure::None;
    std::deque<PeerEvent> events_;
    std::size_t queuedKeyframeRequests_ = 0;
    VideoFrameQueue video_;
    bool keyframeRequested_ = false;
    Channel control_;
    Channel pointer_;
    bool channelsOpenReported_ = false;

    std::string lastSdp_;
    std::string lastType_;
    std::vector<std::string> mids_;
    std::deque<PendingCandidate> pending_;
    std::set<std::pair<std::string, std::string>> sent_;
};

}  // namespace murel
