#include "sctp/DataChannel.hpp"

#include "sctp/SctpTransport.hpp"
#include "common/TimerThread.hpp"

#include <stdexcept>

namespace rtc::impl {

namespace {

std::size_t sizeOf(const Message& message) {
    return std::visit([](const auto& m) { return m.size(); }, message);
}

} // namespace

DataChannel::DataChannel(Token, std::weak_ptr<SctpTransport> transport, std::uint16_t stream,
                         std::string label, std::string protocol, ChannelReliability reliability,
                         bool negotiated, std::size_t maxMessageSize)
    : mTransport(std::move(transport)), mStream(stream), mLabel(std::move(label)),
      mProtocol(std::move(protocol)), mReliability(reliability), mNegotiated(negotiated),
      mMaxMessageSize(maxMessageSize) {}

DataChannel::~DataChannel() = default;

bool DataChannel::send(ByteSpan binary) {
    return sendMessage(Message(std::vector<std::byte>(binary.begin(), binary.end())));
}

bool DataChannel::send(std::string_view text) { return sendMessage(Message(std::string(text))); }

bool DataChannel::sendMessage(const Message& message) {
    if (state() != State::Open)
        throw std::runtime_error("DataChannel is closed");
    if (sizeOf(message) > mMaxMessageSize)
        throw std::invalid_argument("Message size exceeds limit");
    auto transport = mTransport.lock();
    if (!transport)
        throw std::runtime_error("DataChannel is closed");
    return transport->sendMessage(shared_from_this(), message);
}

void DataChannel::close() {
    if (auto transport = mTransport.lock()) {
        transport->closeChannel(shared_from_this());
        return;
    }
    if (beginClosing() || state() == State::Closing) {
        setState(State::Closed);
        triggerClosed();
    }
}

void DataChannel::onOpen(std::function<void()> callback) {
    mOpenCallback.set(std::move(callback));
    bool pending;
    {
        std::lock_guard lock(mMutex);
        pending = mOpenPending;
    }
    if (pending) {
        std::weak_ptr<DataChannel> weak = weak_from_this();
        TimerThread::instance().post([weak] {
            if (auto self = weak.lock())
                self->triggerOpen();
        });
    }
}

void DataChannel::onClosed(std::function<void()> callback) {
    mClosedCallback.set(std::move(callback));
    bool pending;
    {
        std::lock_guard lock(mMutex);
        pending = mClosedPending;
    }
    if (pending) {
        std::weak_ptr<DataChannel> weak = weak_from_this();
        TimerThread::instance().post([weak] {
            if (auto self = weak.lock())
                self->triggerClosed();
        });
    }
}

void DataChannel::onError(std::function<void(std::string)> callback) {
    mErrorCallback.set(std::move(callback));
}

void DataChannel::onMessage(std::function<void(Message)> callback) {
    mMessageCallback.set(std::move(callback));
    bool pending;
    {
        std::lock_guard lock(mMutex);
        pending = !mPending.empty();
    }
    if (pending) {
        std::weak_ptr<DataChannel> weak = weak_from_this();
        TimerThread::instance().post([weak] {
            if (auto self = weak.lock())
                self->deliverPending();
        });
    }
}

void DataChannel::onBufferedAmountLow(std::function<void()> callback) {
    mLowCallback.set(std::move(callback));
}

void DataChannel::resetCallbacks() {
    mOpenCallback.reset();
    mClosedCallback.reset();
    mErrorCallback.reset();
    mMessageCallback.reset();
    mLowCallback.reset();
}

void DataChannel::triggerOpen() {
    {
        std::lock_guard lock(mMutex);
        if (mOpenDelivered || mClosedPending || mClosedDelivered)
            return;
        mOpenPending = true;
        if (!mOpenCallback)
            return; // delivered when a callback is set
        mOpenPending = false;
        mOpenDelivered = true;
    }
    mOpenCallback();
}

void DataChannel::triggerClosed() {
    {
        std::lock_guard lock(mMutex);
        if (mClosedDelivered)
            return;
        mOpenPending = false;
        mClosedPending = true;
        if (!mClosedCallback)
            return;
        mClosedPending = false;
        mClosedDelivered = true;
    }
    mClosedCallback();
}

void DataChannel::triggerError(std::string error) { mErrorCallback(std::move(error)); }

void DataChannel::enqueueMessage(Message message) {
    bool overflow = false;
    {
        std::lock_guard lock(mMutex);
        std::size_t size = sizeOf(message);
        if (mPending.size() >= kMaxPendingMessages || mPendingBytes + size > kMaxPendingBytes) {
            overflow = true;
        } else {
            mPendingBytes += size;
            mPending.push_back(std::move(message));
        }
    }
    if (overflow)
        triggerError("Received message dropped: the receive queue is full");
    deliverPending();
}

void DataChannel::deliverPending() {
    std::lock_guard delivery(mDeliveryMutex);
    while (true) {
        Message message;
        {
            std::lock_guard lock(mMutex);
            if (mPending.empty() || !mMessageCallback)
                return;
            message = std::move(mPending.front());
            mPending.pop_front();
            mPendingBytes -= sizeOf(message);
        }
        mMessageCallback(std::move(message));
    }
}

void DataChannel::removeBuffered(std::size_t bytes) {
    std::size_t before = mBuffered.fetch_sub(bytes);
    std::size_t after = before - bytes;
    std::size_t threshold = mLowThreshold.load();
    if (before > threshold && after <= threshold)
        mLowCallback();
}

bool DataChannel::beginClosing() {
    State expected = State::Open;
    if (mState.compare_exchange_strong(expected, State::Closing))
        return true;
    expected = State::Connecting;
    return mState.compare_exchange_strong(expected, State::Closing);
}

} // namespace rtc::impl
