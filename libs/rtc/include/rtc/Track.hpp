#pragma once
// A media track (one RTP media section) of a PeerConnection.
//
// Sending: sendFrame() hands a frame with its FrameInfo to the media handler's outgoing chain (a
// packetizer turns it into RTP packets); send() hands one message as it is. Whatever leaves the
// chain is protected with SRTP (RTP as Binary, RTCP as Control messages) and sent on the
// connection's transport. Receiving: SRTP/SRTCP packets for this track are unprotected and go
// through the incoming chain; messages that leave it with a FrameInfo reach onFrame, the others
// onMessage.
//
// The track opens when the DTLS handshake finished and the SRTP keys exist, and closes with the
// connection or close(). Callbacks run on the connection's callback thread (see PeerConnection); a
// frame or message that arrives while its queue is full is dropped and reported through onError.

#include "rtc/Description.hpp"
#include "rtc/MediaHandler.hpp"
#include "rtc/Message.hpp"

#include <functional>
#include <memory>
#include <string>

namespace rtc {

namespace detail {
struct TrackInternal;
struct TrackSender;
}

class Track final : public std::enable_shared_from_this<Track> {
public:
    ~Track();
    Track(const Track&) = delete;
    Track& operator=(const Track&) = delete;

    std::string mid() const;
    Description::Direction direction() const;
    Description::Media description() const;

    bool isOpen() const;
    bool isClosed() const;
    // Largest packet send() accepts.
    size_t maxMessageSize() const;

    // Through the whole outgoing chain. Throws std::runtime_error "Track is closed" when the track
    // is not open. Returns false when nothing left the chain or the transport refused a packet.
    // Waits until the frames queued before it have been sent, so it never overtakes them.
    bool send(message_variant data);
    bool send(const std::byte* data, size_t size);
    // Queues the frame (moved, not copied) for the track's sender thread, which runs the outgoing
    // chain, protects and sends its packets in order; the caller is not held for that work.
    // Returns false and drops the frame when no media handler is set or the queue is full (more
    // than kMaxQueuedFrames frames or kMaxQueuedBytes waiting; a frame is always accepted when
    // none waits). Throws std::runtime_error "Track is closed" when the track is not open, and
    // rethrows (as std::runtime_error with the same message) a failure the sender thread met
    // since the previous call; the frame passed with that call is dropped.
    bool sendFrame(binary frame, FrameInfo info);
    static constexpr size_t kMaxQueuedFrames = 16; // a burst of small frames still fits
    static constexpr size_t kMaxQueuedBytes = size_t(32) << 20;
    // Asks the chain for a keyframe request (a picture loss indication); false when no handler sent one.
    bool requestKeyframe();

    void setMediaHandler(std::shared_ptr<MediaHandler> handler);
    std::shared_ptr<MediaHandler> getMediaHandler() const;

    // Ends sending and receiving; onClosed fires. Frames still queued are dropped; waits for the
    // frame being sent unless called on the sender thread itself.
    void close();

    void onOpen(std::function<void()> callback);
    void onClosed(std::function<void()> callback);
    void onError(std::function<void(std::string error)> callback);
    void onMessage(std::function<void(message_variant data)> callback);
    void onMessage(std::function<void(binary data)> binaryCallback,
                   std::function<void(std::string data)> stringCallback);
    void onFrame(std::function<void(binary data, FrameInfo info)> callback);
    void resetCallbacks();

private:
    friend struct detail::TrackInternal; // the connection's side; it makes the handles
    explicit Track(std::shared_ptr<detail::TrackInternal> internal);
    void stopSender();

    const std::shared_ptr<detail::TrackInternal> mInternal;
    const std::shared_ptr<detail::TrackSender> mSender; // queue and thread behind sendFrame
};

}  // namespace rtc
