#pragma once
// A link in a track's media-handler chain (packetizer, reporters, responders, depacketizer, ...).
//
// Order: frames sent by the application go through the chain from its first handler to its last
// (outgoing); packets received from the network go from the last handler to the first (incoming), so
// that with "packetizer -> sender reports -> NACK responder -> PLI handler" the PLI handler sees
// received RTCP first and the NACK responder records packets after the packetizer made them, and with
// "depacketizer -> receiving session" the receiving session counts RTP packets before the depacketizer
// turns them into frames. Each handler may replace, drop or add messages in the vector it is given;
// `send` puts a packet (RTP as Binary, RTCP as Control) straight onto the network through SRTP,
// bypassing the rest of the chain (used for reports, retransmissions and keyframe requests).
//
// Handlers run on the track's threads; a chain is called by one thread at a time per direction.
//
// Time: a handler that decides by time (NACK repeats, how long a frame waits for repairs) names the
// moment it next needs to run in wakeTime(); the track then runs the incoming chain with an empty
// batch at the earliest such moment, so those decisions do not wait for the next packet.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "rtc/Message.hpp"

namespace rtc {

class MediaHandler : public std::enable_shared_from_this<MediaHandler> {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;

    MediaHandler() = default;
    virtual ~MediaHandler() = default;
    MediaHandler(const MediaHandler&) = delete;
    MediaHandler& operator=(const MediaHandler&) = delete;

    // This handler's own work on one batch.
    virtual void incoming(message_vector& messages, const message_callback& send) {
        (void)messages;
        (void)send;
    }
    virtual void outgoing(message_vector& messages, const message_callback& send) {
        (void)messages;
        (void)send;
    }
    // Asks the sender for a keyframe; true when some handler of the chain sent a request.
    virtual bool requestKeyframe(const message_callback& send) {
        (void)send;
        return false;
    }

    // When this handler next wants incoming() called, with an empty batch if nothing arrived; none
    // when it waits for nothing.
    virtual std::optional<TimePoint> wakeTime() const { return std::nullopt; }
    // The round trip of a repair (NACK to retransmission) this handler measured or assumes, when it
    // asks for repairs; none otherwise. A depacketizer holds incomplete frames by it.
    virtual std::optional<std::chrono::microseconds> repairRoundTrip() const { return std::nullopt; }

    // Replaces the steady clock this handler decides by (tests drive time with it). Set it before
    // the handler is used.
    void setClock(Clock clock) { mClock = std::move(clock); }

    // Appends `handler` (and whatever follows it) at the end of this chain.
    void addToChain(std::shared_ptr<MediaHandler> handler) {
        if (!handler) return;
        last()->setNext(std::move(handler));
    }
    void setNext(std::shared_ptr<MediaHandler> handler) {
        std::lock_guard lock(mNextMutex);
        mNext = std::move(handler);
    }
    std::shared_ptr<MediaHandler> next() const {
        std::lock_guard lock(mNextMutex);
        return mNext;
    }
    std::shared_ptr<MediaHandler> last() {
        std::shared_ptr<MediaHandler> current = shared_from_this();
        while (auto following = current->next()) current = std::move(following);
        return current;
    }

    // Whole-chain traversal, called by the track on the first handler.
    void outgoingChain(message_vector& messages, const message_callback& send) {
        outgoing(messages, send);
        if (auto following = next()) following->outgoingChain(messages, send);
    }
    void incomingChain(message_vector& messages, const message_callback& send) {
        if (auto following = next()) following->incomingChain(messages, send);
        incoming(messages, send);
    }
    bool requestKeyframeChain(const message_callback& send) {
        bool sent = requestKeyframe(send);
        if (auto following = next()) sent = following->requestKeyframeChain(send) || sent;
        return sent;
    }
    // The earliest wakeTime() of this handler and those after it.
    std::optional<TimePoint> wakeTimeChain() const {
        std::optional<TimePoint> earliest = wakeTime();
        for (auto h = next(); h; h = h->next())
            if (auto when = h->wakeTime(); when && (!earliest || *when < *earliest)) earliest = when;
        return earliest;
    }

protected:
    TimePoint now() const { return mClock ? mClock() : std::chrono::steady_clock::now(); }

private:
    Clock mClock;
    mutable std::mutex mNextMutex;
    std::shared_ptr<MediaHandler> mNext;
};

}  // namespace rtc
