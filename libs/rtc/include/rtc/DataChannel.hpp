#pragma once
// A WebRTC data channel of a PeerConnection.
//
// Channels come from PeerConnection::createDataChannel (local) or PeerConnection::onDataChannel
// (opened by the peer). A local channel exists before the connection does; it opens once the SCTP
// association is up and the peer acknowledged it.
//
// Callbacks run on the connection's callback thread (see PeerConnection), one at a time and in the
// order of their events, never under a lock that a public call takes, so they may call any method
// (also close() or the PeerConnection's close()). Messages that arrive before onMessage is set are
// kept (bounded) and delivered once it is set; onOpen and onClosed set after the event still fire
// once. A message that arrives while the callback thread's queue is full is dropped and reported
// through onError. resetCallbacks() does not wait for a callback already running; calls still
// queued are not made.

#include "rtc/Message.hpp"
#include "rtc/Reliability.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace rtc {

namespace detail {
struct DataChannelInternal;
}

class DataChannel final : public std::enable_shared_from_this<DataChannel> {
public:
    ~DataChannel();
    DataChannel(const DataChannel&) = delete;
    DataChannel& operator=(const DataChannel&) = delete;

    std::string label() const;
    std::string protocol() const;
    Reliability reliability() const;
    // The SCTP stream id; empty until the connection assigned one.
    std::optional<uint16_t> id() const;

    bool isOpen() const;
    bool isClosed() const;
    // Bytes accepted by send() and not yet handed to the transport.
    size_t bufferedAmount() const;
    // Largest message send() accepts: what the peer announced (a=max-message-size), 65536 when it
    // announced nothing; before the connection knows it, this end's own limit.
    size_t maxMessageSize() const;

    // Sends one message. Throws std::runtime_error "DataChannel is closed" when the channel is not
    // open and std::invalid_argument "Message size exceeds limit" above maxMessageSize() (a
    // message is refused whole, never cut). Returns false when the bounded send queue is full and
    // the message was not taken.
    bool send(message_variant data);
    bool send(const binary& data);
    bool send(const std::string& text);
    bool send(const char* text);
    bool send(const std::byte* data, size_t size);

    // Resets the stream; both ends see onClosed.
    void close();

    void onOpen(std::function<void()> callback);
    void onClosed(std::function<void()> callback);
    void onError(std::function<void(std::string error)> callback);
    void onMessage(std::function<void(message_variant data)> callback);
    void onMessage(std::function<void(binary data)> binaryCallback,
                   std::function<void(std::string data)> stringCallback);
    void onBufferedAmountLow(std::function<void()> callback);
    void setBufferedAmountLowThreshold(size_t amount);
    void resetCallbacks();

private:
    friend struct detail::DataChannelInternal; // the connection's side; it makes the handles
    explicit DataChannel(std::shared_ptr<detail::DataChannelInternal> internal);

    const std::shared_ptr<detail::DataChannelInternal> mInternal;
};

}  // namespace rtc
