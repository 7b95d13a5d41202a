#pragma once
// The connection's side of a public rtc::DataChannel: its settings, and the transport channel once
// the SCTP association exists. A local channel is created before there is any association (and
// before the DTLS role, which decides its stream id, is known); callbacks set meanwhile are kept
// here and installed on the transport channel when it is bound.

#include "rtc/DataChannel.hpp"

#include "sctp/DataChannel.hpp"

#include <mutex>

namespace rtc {

struct DataChannel::Internal {
    Internal(std::string label, DataChannelInit init, size_t localMaxMessageSize);
    // A channel the peer opened: bound from the start.
    explicit Internal(std::shared_ptr<impl::DataChannel> channel);

    const std::string label;
    const std::string protocol;
    const Reliability reliability;
    const bool negotiated;
    const std::optional<uint16_t> requestedId;
    const size_t localMaxMessageSize;

    // Attaches the transport channel and installs the callbacks set so far. False when this
    // channel was closed meanwhile (the caller then closes the transport channel).
    bool bind(std::shared_ptr<impl::DataChannel> channel);
    // The connection went away before the channel was bound: it ends closed.
    void closeUnbound();
    bool closedUnbound() const;

    std::shared_ptr<impl::DataChannel> channel() const;

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
