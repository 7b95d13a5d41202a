#include "peer/TrackInternal.hpp"

#include "dtls/TimerThread.hpp"

#include <stdexcept>

namespace rtc {

Track::Internal::Internal(std::weak_ptr<MediaSink> sink, Description::Media description, bool remote)
    : sink(std::move(sink)), remote(remote), description(std::move(description)) {}

void Track::Internal::open() {
    if (isClosed)
        return;
    bool notify;
    {
        std::lock_guard lock(mutex);
        isOpen = true;
        openPending = !openCallback;
        notify = !openPending && !openDelivered;
        if (notify)
            openDelivered = true;
    }
    if (notify)
        openCallback();
}

void Track::Internal::close() {
    if (isClosed.exchange(true))
        return;
    isOpen = false;
    bool notify;
    {
        std::lock_guard lock(mutex);
        openPending = false;
        notify = !closedDelivered && closedCallback;
        if (notify)
            closedDelivered = true;
    }
    // Never on the closer's stack: it may hold locks of its own that the callback takes.
    if (notify) {
        impl::TimerThread::instance().post([self = shared_from_this()] { self->closedCallback(); });
    }
}

void Track::Internal::setDescription(Description::Media media) {
    std::lock_guard lock(mutex);
    description = std::move(media);
}

bool Track::Internal::hasRemoteSsrc(uint32_t ssrc) const {
    std::lock_guard lock(mutex);
    for (auto s : remoteSsrcs)
        if (s == ssrc)
            return true;
    return false;
}

void Track::Internal::addRemoteSsrc(uint32_t ssrc) {
    std::lock_guard lock(mutex);
    if (remoteSsrcs.size() >= SDP_MAX_SSRCS)
        return;
    for (auto s : remoteSsrcs)
        if (s == ssrc)
            return;
    remoteSsrcs.push_back(ssrc);
}

std::vector<uint32_t> Track::Internal::localSsrcs() const {
    std::lock_guard lock(mutex);
    return description.getSSRCs();
}

bool Track::Internal::outgoingMessage(message_ptr message) {
    auto out = sink.lock();
    if (!out || !message)
        return false;
    return out->sendMedia(*message, message->type == Message::Control);
}

void Track::Internal::incoming(message_ptr packet) {
    if (isClosed)
        return;
    std::shared_ptr<MediaHandler> chain;
    {
        std::lock_guard lock(mutex);
        chain = handler;
    }
    message_vector messages{std::move(packet)};
    {
        std::lock_guard serial(incomingMutex);
        if (chain) {
            std::weak_ptr<MediaSink> weakSink = sink;
            chain->incomingChain(messages, [weakSink](message_ptr m) {
                if (auto out = weakSink.lock(); out && m)
                    out->sendMedia(*m, m->type == Message::Control);
            });
        }
        for (auto& message : messages)
            deliver(std::move(message));
    }
}

void Track::Internal::deliver(message_ptr message) {
    if (!message)
        return;
    if (message->frameInfo && frameCallback) {
        frameCallback(binary(*message), *message->frameInfo);
        return;
    }
    // Without a handler that assembles frames, the packets themselves (RTCP included) go up.
    messageCallback(message_variant(binary(*message)));
}

Track::Track(std::shared_ptr<Internal> internal) : mInternal(std::move(internal)) {
    if (!mInternal)
        throw std::invalid_argument("Track needs its connection state");
}

Track::~Track() = default;

std::string Track::mid() const {
    std::lock_guard lock(mInternal->mutex);
    return mInternal->description.mid();
}

Description::Direction Track::direction() const {
    std::lock_guard lock(mInternal->mutex);
    return mInternal->description.direction();
}

Description::Media Track::description() const {
    std::lock_guard lock(mInternal->mutex);
    return mInternal->description;
}

bool Track::isOpen() const { return mInternal->isOpen; }
bool Track::isClosed() const { return mInternal->isClosed; }

size_t Track::maxMessageSize() const {
    auto sink = mInternal->sink.lock();
    return sink ? sink->maxMediaPacketSize() : 0;
}

bool Track::send(message_variant data) {
    if (!mInternal->isOpen)
        throw std::runtime_error("Track is closed");
    binary bytes;
    Message::Type type = Message::Binary;
    if (auto* b = std::get_if<binary>(&data)) {
        bytes = std::move(*b);
    } else {
        auto& text = std::get<std::string>(data);
        bytes.assign(reinterpret_cast<const std::byte*>(text.data()),
                     reinterpret_cast<const std::byte*>(text.data()) + text.size());
    }
    // A packet whose second byte is an RTCP type goes out as RTCP.
    if (bytes.size() >= 2) {
        auto second = std::to_integer<unsigned>(bytes[1]);
        if (second >= 192 && second <= 223)
            type = Message::Control;
    }
    message_vector messages{make_message(std::move(bytes), type)};
    std::shared_ptr<MediaHandler> chain;
    {
        std::lock_guard lock(mInternal->mutex);
        chain = mInternal->handler;
    }
    std::lock_guard serial(mInternal->outgoingMutex);
    if (chain) {
        std::weak_ptr<MediaSink> weakSink = mInternal->sink;
        chain->outgoingChain(messages, [weakSink](message_ptr m) {
            if (auto out = weakSink.lock(); out && m)
                out->sendMedia(*m, m->type == Message::Control);
        });
    }
    if (messages.empty())
        return false;
    bool all = true;
    for (auto& message : messages)
        all = mInternal->outgoingMessage(message) && all;
    return all;
}

bool Track::send(const std::byte* data, size_t size) {
    if (!data && size)
        throw std::invalid_argument("Track::send without data");
    return send(message_variant(binary(data, data + size)));
}

bool Track::sendFrame(binary frame, FrameInfo info) {
    if (!mInternal->isOpen)
        throw std::runtime_error("Track is closed");
    message_vector messages{make_message(std::move(frame), Message::Binary, std::make_shared<FrameInfo>(info))};
    std::shared_ptr<MediaHandler> chain;
    {
        std::lock_guard lock(mInternal->mutex);
        chain = mInternal->handler;
    }
    std::lock_guard serial(mInternal->outgoingMutex);
    if (chain) {
        std::weak_ptr<MediaSink> weakSink = mInternal->sink;
        chain->outgoingChain(messages, [weakSink](message_ptr m) {
            if (auto out = weakSink.lock(); out && m)
                out->sendMedia(*m, m->type == Message::Control);
        });
    }
    if (messages.empty())
        return false;
    bool all = true;
    for (auto& message : messages) {
        if (message && message->frameInfo && !chain)
            return false; // a frame needs a packetizer to leave as RTP
        all = mInternal->outgoingMessage(message) && all;
    }
    return all;
}

bool Track::requestKeyframe() {
    if (!mInternal->isOpen)
        return false;
    std::shared_ptr<MediaHandler> chain;
    {
        std::lock_guard lock(mInternal->mutex);
        chain = mInternal->handler;
    }
    if (!chain)
        return false;
    std::weak_ptr<MediaSink> weakSink = mInternal->sink;
    return chain->requestKeyframeChain([weakSink](message_ptr m) {
        if (auto out = weakSink.lock(); out && m)
            out->sendMedia(*m, m->type == Message::Control);
    });
}

void Track::setMediaHandler(std::shared_ptr<MediaHandler> handler) {
    std::lock_guard lock(mInternal->mutex);
    mInternal->handler = std::move(handler);
}

std::shared_ptr<MediaHandler> Track::getMediaHandler() const {
    std::lock_guard lock(mInternal->mutex);
    return mInternal->handler;
}

void Track::close() { mInternal->close(); }

void Track::onOpen(std::function<void()> callback) {
    mInternal->openCallback.set(std::move(callback));
    bool notify = false;
    {
        std::lock_guard lock(mInternal->mutex);
        if (mInternal->openPending && mInternal->openCallback && !mInternal->openDelivered) {
            mInternal->openPending = false;
            mInternal->openDelivered = true;
            notify = true;
        }
    }
    if (notify) {
        std::weak_ptr<Internal> weak = mInternal;
        impl::TimerThread::instance().post([weak] {
            if (auto internal = weak.lock())
                internal->openCallback();
        });
    }
}

void Track::onClosed(std::function<void()> callback) {
    mInternal->closedCallback.set(std::move(callback));
    bool notify = false;
    {
        std::lock_guard lock(mInternal->mutex);
        if (mInternal->isClosed && mInternal->closedCallback && !mInternal->closedDelivered) {
            mInternal->closedDelivered = true;
            notify = true;
        }
    }
    if (notify) {
        std::weak_ptr<Internal> weak = mInternal;
        impl::TimerThread::instance().post([weak] {
            if (auto internal = weak.lock())
                internal->closedCallback();
        });
    }
}

void Track::onError(std::function<void(std::string)> callback) {
    mInternal->errorCallback.set(std::move(callback));
}

void Track::onMessage(std::function<void(message_variant)> callback) {
    mInternal->messageCallback.set(std::move(callback));
}

void Track::onMessage(std::function<void(binary)> binaryCallback,
                      std::function<void(std::string)> stringCallback) {
    if (!binaryCallback && !stringCallback) {
        mInternal->messageCallback.reset();
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

void Track::onFrame(std::function<void(binary, FrameInfo)> callback) {
    mInternal->frameCallback.set(std::move(callback));
}

void Track::resetCallbacks() {
    mInternal->openCallback.reset();
    mInternal->closedCallback.reset();
    mInternal->errorCallback.reset();
    mInternal->messageCallback.reset();
    mInternal->frameCallback.reset();
}

}  // namespace rtc
