#pragma once

#include "sctp/Dcep.hpp"
#include "common/SafeCallback.hpp"
#include "common/Transport.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace rtc::impl {

class SctpTransport;

// A received or sent message: binary bytes or UTF-8 text.
using Message = std::variant<std::vector<std::byte>, std::string>;

// One data channel on an SCTP association (one SCTP stream, the same id in both directions).
// Created by SctpTransport::createChannel (locally) or announced by SctpTransport::onChannel
// (opened by the peer).
//
// Callbacks run on the layer's threads (SCTP processing or the TimerThread), never under a lock
// that a public call takes. Messages are delivered in order; those that arrive before onMessage
// is set are kept (bounded) and delivered once it is set. onOpen/onClosed set after the event
// still fire once.
class DataChannel : public std::enable_shared_from_this<DataChannel> {
public:
    enum class State { Connecting, Open, Closing, Closed };

    static constexpr std::size_t kMaxPendingMessages = 1024;
    static constexpr std::size_t kMaxPendingBytes = 4 * 1024 * 1024;

    struct Token {};
    DataChannel(Token, std::weak_ptr<SctpTransport> transport, std::uint16_t stream,
                std::string label, std::string protocol, ChannelReliability reliability,
                bool negotiated, std::size_t maxMessageSize);
    ~DataChannel();

    std::uint16_t stream() const { return mStream; }
    const std::string& label() const { return mLabel; }
    const std::string& protocol() const { return mProtocol; }
    const ChannelReliability& reliability() const { return mReliability; }
    bool negotiated() const { return mNegotiated; }

    State state() const { return mState.load(); }
    bool isOpen() const { return state() == State::Open; }
    bool isClosed() const { return state() == State::Closed; }

    // Queues one message. Throws std::runtime_error "DataChannel is closed" when the channel is
    // not open and std::invalid_argument "Message size exceeds limit" when the message is larger
    // than maxMessageSize() (it is refused whole, never truncated). Returns false when the
    // transport's bounded send queue cannot take it.
    bool send(ByteSpan binary);
    bool send(std::string_view text);
    bool sendMessage(const Message& message);

    // Resets the stream; the peer sees the channel closed. onClosed fires when done.
    void close();

    // Bytes accepted by send() and not yet handed to SCTP.
    std::size_t bufferedAmount() const { return mBuffered.load(); }
    void setBufferedAmountLowThreshold(std::size_t bytes) { mLowThreshold.store(bytes); }
    std::size_t maxMessageSize() const { return mMaxMessageSize; }

    void onOpen(std::function<void()> callback);
    void onClosed(std::function<void()> callback);
    void onError(std::function<void(std::string)> callback);
    void onMessage(std::function<void(Message)> callback);
    void onBufferedAmountLow(std::function<void()> callback);
    void resetCallbacks();

    // For SctpTransport.
    void triggerOpen();
    void triggerClosed();
    void triggerError(std::string error);
    void enqueueMessage(Message message);
    void addBuffered(std::size_t bytes) { mBuffered.fetch_add(bytes); }
    void removeBuffered(std::size_t bytes);
    void setState(State state) { mState.store(state); }
    bool beginClosing(); // Open/Connecting -> Closing; false when already closing or closed

private:
    void deliverPending();

    const std::weak_ptr<SctpTransport> mTransport;
    const std::uint16_t mStream;
    const std::string mLabel;
    const std::string mProtocol;
    const ChannelReliability mReliability;
    const bool mNegotiated;
    const std::size_t mMaxMessageSize;

    std::atomic<State> mState{State::Connecting};
    std::atomic<std::size_t> mBuffered{0};
    std::atomic<std::size_t> mLowThreshold{0};

    SafeCallback<> mOpenCallback;
    SafeCallback<> mClosedCallback;
    SafeCallback<std::string> mErrorCallback;
    SafeCallback<Message> mMessageCallback;
    SafeCallback<> mLowCallback;

    std::mutex mMutex; // pending flags and the message queue
    bool mOpenPending = false;
    bool mClosedPending = false;
    bool mOpenDelivered = false;
    bool mClosedDelivered = false;
    std::deque<Message> mPending;
    std::size_t mPendingBytes = 0;

    std::mutex mDeliveryMutex; // serialises message delivery; public calls never take it
};

} // namespace rtc::impl
