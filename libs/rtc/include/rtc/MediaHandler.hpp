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

#include <memory>
#include <mutex>

#include "rtc/Message.hpp"

namespace rtc {

class MediaHandler : public std::enable_shared_from_this<MediaHandler> {
public:
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

private:
    mutable std::mutex mNextMutex;
    std::shared_ptr<MediaHandler> mNext;
};

}  // namespace rtc
