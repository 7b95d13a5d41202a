#pragma once
// The connection's side of a public rtc::Track.

#include "rtc/Track.hpp"

#include "common/SafeCallback.hpp"
#include "common/SerialDispatcher.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace rtc {

// What a track needs from its connection: the way out to the network.
class MediaSink {
public:
    virtual ~MediaSink() = default;
    // Protects and sends one RTP (control false) or RTCP (control true) packet. False when it could
    // not be sent (not connected, refused by SRTP or the transport).
    virtual bool sendMedia(binary packet, bool control) = 0;
    // Largest packet before protection.
    virtual size_t maxMediaPacketSize() const = 0;
};

struct detail::TrackInternal : std::enable_shared_from_this<detail::TrackInternal> {
    TrackInternal(std::weak_ptr<MediaSink> sink, Description::Media description, bool remote,
                  std::shared_ptr<impl::SerialDispatcher> dispatcher);

    // The application's handle on this track.
    static std::shared_ptr<Track> handle(std::shared_ptr<TrackInternal> internal);

    // Called by the connection.
    void open();
    void close();
    // A received, unprotected RTP (Binary) or RTCP (Control) packet of this track; null runs the
    // chain with nothing new, for the handlers' time-based work.
    void incoming(message_ptr packet);
    void setDescription(Description::Media description);
    // Whether the packet's SSRC belongs to this track (remote SSRCs announced in the remote
    // description or learned from earlier packets).
    bool hasRemoteSsrc(uint32_t ssrc) const;
    void addRemoteSsrc(uint32_t ssrc);
    std::vector<uint32_t> localSsrcs() const;

    bool outgoingMessage(message_ptr message);
    // Hands a message that left the incoming chain to the user's onFrame or onMessage.
    void deliver(message_ptr message);
    // Runs `task` on the connection's dispatcher while this track exists; `bytes` of payload count
    // against its bound. False when it was dropped.
    bool post(std::function<void()> task, size_t bytes = 0);
    // With incomingMutex held: runs the chain again when its handlers next want it.
    void scheduleWake(const std::shared_ptr<MediaHandler>& chain);

    const std::weak_ptr<MediaSink> sink;
    const bool remote; // announced by the peer (onTrack)
    const std::shared_ptr<impl::SerialDispatcher> dispatcher;

    mutable std::mutex mutex;
    Description::Media description;
    std::vector<uint32_t> remoteSsrcs;
    std::shared_ptr<MediaHandler> handler;

    std::atomic<bool> isOpen{false};
    std::atomic<bool> isClosed{false};
    bool openPending = false;
    bool openDelivered = false;
    bool closedDelivered = false;

    std::mutex outgoingMutex; // one outgoing chain traversal at a time
    std::mutex incomingMutex; // one incoming chain traversal at a time
    std::optional<MediaHandler::TimePoint> wakeAt; // under incomingMutex
    uint64_t wakeTask = 0;

    impl::SafeCallback<> openCallback;
    impl::SafeCallback<> closedCallback;
    impl::SafeCallback<std::string> errorCallback;
    impl::SafeCallback<message_variant> messageCallback;
    impl::SafeCallback<binary, FrameInfo> frameCallback;
};

}  // namespace rtc
