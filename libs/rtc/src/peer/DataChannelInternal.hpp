#pragma once
// The connection's side of a public rtc::DataChannel: its settings, and the transport channel once
// the SCTP association exists. A local channel is created before there is any association (and
// before the DTLS role, which decides its stream id, is known); callbacks set meanwhile are kept
// here and installed on the transport channel when it is bound.

#include "rtc/DataChannel.hpp"

#include "common/SerialDispatcher.hpp"
#include "sctp/DataChannel.hpp"

#include <atomic>
#include <mutex>

namespace rtc {

struct detail::DataChannelInternal : std::enable_shared_from_this<detail::DataChannelInternal> {
    DataChannelInternal(std::string label, DataChannelInit init, size_t localMaxMessageSize,
                        std::shared_ptr<impl::SerialDispatcher> dispatcher);
    // A channel the peer opened: bound from the start.
    DataChannelInternal(std::shared_ptr<impl::DataChannel> channel,
                        std::shared_ptr<impl::SerialDispatcher> dispatcher);

    // The application's handle on this channel.
    static std::shared_ptr<rtc::DataChannel> handle(std::shared_ptr<DataChannelInternal> internal);

    const std::string label;
    const std::string protocol;
    const Reliability reliability;
    const bool negotiated;
    const std::optional<uint16_t> requestedId;
    const size_t localMaxMessageSize;
    const std::shared_ptr<impl::SerialDispatcher> dispatcher;
    const std::shared_ptr<std::atomic<uint64_t>> generation = std::make_shared<std::atomic<uint64_t>>(0);

    // Attaches the transport channel and installs the callbacks set so far. False when this
    // channel was closed meanwhile (the caller then closes the transport channel).
    bool bind(std::shared_ptr<impl::DataChannel> channel);
    // The connection went away before the channel was bound: it ends closed.
    void closeUnbound();
    bool closedUnbound() const;

    std::shared_ptr<impl::DataChannel> channel() const;

    // The user's callback as the transport channel calls it: the call is queued on the connection's
    // dispatcher, and a call still queued when resetCallbacks() runs is dropped. Empty stays empty
    // (the transport channel then keeps its events pending).
    std::function<void()> dispatched(std::function<void()> callback);
    std::function<void(std::string)> dispatched(std::function<void(std::string)> callback);
    std::function<void(message_variant)> dispatched(std::function<void(message_variant)> callback);
    // Runs `task` on the dispatcher (events that do not come from the transport channel).
    void post(std::function<void()> task);


    mutable std::mutex mutex;
    std::shared_ptr<impl::DataChannel> bound;
    bool closed = false;
    bool closedNotified = false;
    std::function<void()> openCallback, closedCallback, lowCallback;
    std::function<void(std::string)> errorCallback;
    std::function<void(message_variant)> messageCallback;
    size_t lowThreshold = 0;
};

impl::ChannelReliability toImpl(const Reliability& reliability);
Reliability fromImpl(const impl::ChannelReliability& reliability);

}  // namespace rtc
