#include "peer/DataChannelInternal.hpp"

#include <algorithm>
#include <stdexcept>

namespace rtc {

impl::ChannelReliability toImpl(const Reliability& reliability) {
    impl::ChannelReliability out;
    out.unordered = reliability.unordered;
    if (reliability.maxRetransmits)
        out.maxRetransmits = static_cast<std::uint32_t>(*reliability.maxRetransmits);
    out.maxPacketLifeTime = reliability.maxPacketLifeTime;
    return out;
}

Reliability fromImpl(const impl::ChannelReliability& reliability) {
    Reliability out;
    out.unordered = reliability.unordered;
    if (reliability.maxRetransmits)
        out.maxRetransmits = static_cast<unsigned int>(*reliability.maxRetransmits);
    out.maxPacketLifeTime = reliability.maxPacketLifeTime;
    return out;
}

detail::DataChannelInternal::DataChannelInternal(std::string label, DataChannelInit init, size_t localMaxMessageSize,
                                std::shared_ptr<impl::SerialDispatcher> dispatcher)
    : label(std::move(label)), protocol(std::move(init.protocol)), reliability(init.reliability),
      negotiated(init.negotiated), requestedId(init.id), localMaxMessageSize(localMaxMessageSize),
      dispatcher(std::move(dispatcher)) {}

detail::DataChannelInternal::DataChannelInternal(std::shared_ptr<impl::DataChannel> channel,
                                std::shared_ptr<impl::SerialDispatcher> dispatcher)
    : label(channel->label()), protocol(channel->protocol()),
      reliability(fromImpl(channel->reliability())), negotiated(channel->negotiated()),
      requestedId(channel->stream()), localMaxMessageSize(channel->maxMessageSize()),
      dispatcher(std::move(dispatcher)), bound(std::move(channel)) {}

namespace {

size_t payloadOf(const message_variant& message) {
    // At least one byte: an empty message is still payload, not an event with a reserve.
    return std::max<size_t>(1, std::visit([](const auto& m) { return m.size(); }, message));
}

} // namespace

void detail::DataChannelInternal::post(std::function<void()> task) {
    dispatcher->post(std::move(task));
}

std::function<void()> detail::DataChannelInternal::dispatched(std::function<void()> callback) {
    if (!callback)
        return nullptr;
    return [weak = std::weak_ptr<impl::SerialDispatcher>(dispatcher), generation = generation,
            current = generation->load(), callback = std::move(callback)] {
        if (auto target = weak.lock())
            target->post([generation, current, callback] {
                if (generation->load() == current)
                    callback();
            });
    };
}

std::function<void(std::string)> detail::DataChannelInternal::dispatched(std::function<void(std::string)> callback) {
    if (!callback)
        return nullptr;
    return [weak = std::weak_ptr<impl::SerialDispatcher>(dispatcher), generation = generation,
            current = generation->load(), callback = std::move(callback)](std::string error) {
        if (auto target = weak.lock())
            target->post([generation, current, callback, error = std::move(error)] {
                if (generation->load() == current)
                    callback(error);
            });
    };
}

std::function<void(message_variant)> detail::DataChannelInternal::dispatched(
    std::function<void(message_variant)> callback) {
    if (!callback)
        return nullptr;
    std::weak_ptr<DataChannelInternal> self = shared_from_this();
    return [self, weak = std::weak_ptr<impl::SerialDispatcher>(dispatcher), generation = generation,
            current = generation->load(), callback = std::move(callback)](message_variant message) {
        auto target = weak.lock();
        if (!target)
            return;
        const size_t bytes = payloadOf(message);
        auto shared = std::make_shared<message_variant>(std::move(message));
        if (target->post(
                [generation, current, callback, shared] {
                    if (generation->load() == current)
                        callback(std::move(*shared));
                },
                bytes))
            return;
        // The application does not keep up: the message is lost, and says so.
        if (auto internal = self.lock())
            if (auto channel = internal->channel())
                channel->triggerError("Received message dropped: the callback queue is full");
    };
}

bool detail::DataChannelInternal::bind(std::shared_ptr<impl::DataChannel> channel) {
    std::lock_guard lock(mutex);
    if (closed || bound)
        return false;
    bound = std::move(channel);
    // Setting a callback on the transport channel never calls anything synchronously (pending
    // events are posted), so this may run under our lock.
    if (openCallback)
        bound->onOpen(dispatched(std::move(openCallback)));
    if (closedCallback)
        bound->onClosed(dispatched(std::move(closedCallback)));
    if (errorCallback)
        bound->onError(dispatched(std::move(errorCallback)));
    if (lowCallback)
        bound->onBufferedAmountLow(dispatched(std::move(lowCallback)));
    if (messageCallback)
        bound->onMessage(dispatched(std::move(messageCallback)));
    bound->setBufferedAmountLowThreshold(lowThreshold);
    openCallback = closedCallback = lowCallback = nullptr;
    errorCallback = nullptr;
    messageCallback = nullptr;
    return true;
}

void detail::DataChannelInternal::closeUnbound() {
    std::function<void()> notify;
    {
        std::lock_guard lock(mutex);
        if (bound || closed)
            return;
        closed = true;
        if (closedCallback && !closedNotified) {
            closedNotified = true;
            notify = closedCallback;
        }
    }
    // Never from inside the caller's stack: it may hold its own locks.
    if (notify)
        post(std::move(notify));
}

bool detail::DataChannelInternal::closedUnbound() const {
    std::lock_guard lock(mutex);
    return closed && !bound;
}

std::shared_ptr<impl::DataChannel> detail::DataChannelInternal::channel() const {
    std::lock_guard lock(mutex);
    return bound;
}

std::shared_ptr<DataChannel> detail::DataChannelInternal::handle(std::shared_ptr<DataChannelInternal> internal) {
    return std::shared_ptr<DataChannel>(new DataChannel(std::move(internal)));
}

DataChannel::DataChannel(std::shared_ptr<detail::DataChannelInternal> internal) : mInternal(std::move(internal)) {
    if (!mInternal)
        throw std::invalid_argument("DataChannel needs its connection state");
}

DataChannel::~DataChannel() = default;

std::string DataChannel::label() const { return mInternal->label; }
std::string DataChannel::protocol() const { return mInternal->protocol; }
Reliability DataChannel::reliability() const { return mInternal->reliability; }

std::optional<uint16_t> DataChannel::id() const {
    if (auto channel = mInternal->channel())
        return channel->stream();
    return mInternal->requestedId;
}

bool DataChannel::isOpen() const {
    auto channel = mInternal->channel();
    return channel && channel->isOpen();
}

bool DataChannel::isClosed() const {
    if (auto channel = mInternal->channel())
        return channel->isClosed();
    return mInternal->closedUnbound();
}

size_t DataChannel::bufferedAmount() const {
    auto channel = mInternal->channel();
    return channel ? channel->bufferedAmount() : 0;
}

size_t DataChannel::maxMessageSize() const {
    auto channel = mInternal->channel();
    return channel ? channel->maxMessageSize() : mInternal->localMaxMessageSize;
}

bool DataChannel::send(message_variant data) {
    auto channel = mInternal->channel();
    if (!channel)
        throw std::runtime_error("DataChannel is closed");
    return channel->sendMessage(data);
}

bool DataChannel::send(const binary& data) {
    auto channel = mInternal->channel();
    if (!channel)
        throw std::runtime_error("DataChannel is closed");
    return channel->send(impl::ByteSpan(data));
}

bool DataChannel::send(const std::string& text) {
    auto channel = mInternal->channel();
    if (!channel)
        throw std::runtime_error("DataChannel is closed");
    return channel->send(std::string_view(text));
}

bool DataChannel::send(const char* text) { return send(std::string(text ? text : "")); }

bool DataChannel::send(const std::byte* data, size_t size) {
    auto channel = mInternal->channel();
    if (!channel)
        throw std::runtime_error("DataChannel is closed");
    if (!data && size)
        throw std::invalid_argument("DataChannel::send without data");
    return channel->send(impl::ByteSpan(data, size));
}

void DataChannel::close() {
    if (auto channel = mInternal->channel())
        channel->close();
    else
        mInternal->closeUnbound();
}

void DataChannel::onOpen(std::function<void()> callback) {
    std::lock_guard lock(mInternal->mutex);
    if (mInternal->bound)
        mInternal->bound->onOpen(mInternal->dispatched(std::move(callback)));
    else
        mInternal->openCallback = std::move(callback);
}

void DataChannel::onClosed(std::function<void()> callback) {
    std::function<void()> notify;
    {
        std::lock_guard lock(mInternal->mutex);
        if (mInternal->bound) {
            mInternal->bound->onClosed(mInternal->dispatched(std::move(callback)));
            return;
        }
        mInternal->closedCallback = std::move(callback);
        if (mInternal->closed && !mInternal->closedNotified && mInternal->closedCallback) {
            mInternal->closedNotified = true;
            notify = mInternal->closedCallback;
        }
    }
    if (notify)
        mInternal->post(std::move(notify));
}

void DataChannel::onError(std::function<void(std::string)> callback) {
    std::lock_guard lock(mInternal->mutex);
    if (mInternal->bound)
        mInternal->bound->onError(mInternal->dispatched(std::move(callback)));
    else
        mInternal->errorCallback = std::move(callback);
}

void DataChannel::onMessage(std::function<void(message_variant)> callback) {
    std::lock_guard lock(mInternal->mutex);
    if (mInternal->bound)
        mInternal->bound->onMessage(mInternal->dispatched(std::move(callback)));
    else
        mInternal->messageCallback = std::move(callback);
}

void DataChannel::onMessage(std::function<void(binary)> binaryCallback,
                            std::function<void(std::string)> stringCallback) {
    if (!binaryCallback && !stringCallback) {
        onMessage(std::function<void(message_variant)>());
        return;
    }
    onMessage([binaryCallback = std::move(binaryCallback),
               stringCallback = std::move(stringCallback)](message_variant data) {
        if (auto* bytes = std::get_if<binary>(&data)) {
            if (binaryCallback)
                binaryCallback(std::move(*bytes));
        } else if (stringCallback) {
            stringCallback(std::move(std::get<std::string>(data)));
        }
    });
}

void DataChannel::onBufferedAmountLow(std::function<void()> callback) {
    std::lock_guard lock(mInternal->mutex);
    if (mInternal->bound)
        mInternal->bound->onBufferedAmountLow(mInternal->dispatched(std::move(callback)));
    else
        mInternal->lowCallback = std::move(callback);
}

void DataChannel::setBufferedAmountLowThreshold(size_t amount) {
    std::lock_guard lock(mInternal->mutex);
    mInternal->lowThreshold = amount;
    if (mInternal->bound)
        mInternal->bound->setBufferedAmountLowThreshold(amount);
}

void DataChannel::resetCallbacks() {
    std::lock_guard lock(mInternal->mutex);
    ++*mInternal->generation; // calls already queued are not made
    if (mInternal->bound)
        mInternal->bound->resetCallbacks();
    mInternal->openCallback = mInternal->closedCallback = mInternal->lowCallback = nullptr;
    mInternal->errorCallback = nullptr;
    mInternal->messageCallback = nullptr;
}

}  // namespace rtc
