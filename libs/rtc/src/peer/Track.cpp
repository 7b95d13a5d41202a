#include "peer/TrackInternal.hpp"

#include "common/TimerThread.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <stdexcept>
#include <thread>
#include <utility>

namespace rtc {

struct detail::TrackSender {
    struct Frame {
        binary data;
        FrameInfo info;
    };

    std::mutex mutex;
    std::condition_variable wake; // a frame was queued or the sender stops
    std::condition_variable idle; // the queue drained and no frame is in flight
    std::deque<Frame> frames;
    size_t bytes = 0;
    bool busy = false;
    bool stopping = false;
    bool failed = false;
    std::string failure;
    std::thread thread;
    std::thread::id threadId;

    bool onSenderThread() {
        std::lock_guard lock(mutex);
        return thread.joinable() && threadId == std::this_thread::get_id();
    }
};

namespace {

// Chain, SRTP and transport for one frame. False when nothing left the chain or a packet was refused.
bool sendFrameNow(detail::TrackInternal& internal, binary frame, FrameInfo info) {
    message_vector messages{make_message(std::move(frame), Message::Binary, std::make_shared<FrameInfo>(info))};
    std::shared_ptr<MediaHandler> chain;
    {
        std::lock_guard lock(internal.mutex);
        chain = internal.handler;
    }
    if (!chain)
        return false; // a frame needs a packetizer to leave as RTP
    std::lock_guard serial(internal.outgoingMutex);
    std::weak_ptr<MediaSink> weakSink = internal.sink;
    chain->outgoingChain(messages, [weakSink](message_ptr m) {
        if (auto out = weakSink.lock(); out && m)
            out->sendMedia(*m, m->type == Message::Control);
    });
    bool all = !messages.empty();
    for (auto& message : messages) {
        if (message && message->frameInfo)
            return false; // the chain did not packetize it
        all = internal.outgoingMessage(message) && all;
    }
    return all;
}

// Holds only the track's state, never the Track, so the last handle is not dropped on this thread.
void runSender(std::shared_ptr<detail::TrackSender> sender, std::shared_ptr<detail::TrackInternal> internal) {
    std::unique_lock lock(sender->mutex);
    for (;;) {
        sender->wake.wait(lock, [&] { return sender->stopping || !sender->frames.empty(); });
        if (sender->stopping)
            return;
        auto frame = std::move(sender->frames.front());
        sender->frames.pop_front();
        sender->bytes -= frame.data.size();
        sender->busy = true;
        lock.unlock();
        std::string error;
        bool threw = false;
        if (!internal->isClosed) {
            try {
                sendFrameNow(*internal, std::move(frame.data), frame.info);
            } catch (const std::exception& e) {
                threw = true;
                error = e.what();
            } catch (...) {
                threw = true;
                error = "Track sender failed with an unknown exception";
            }
        }
        lock.lock();
        if (threw && !sender->failed) { // the first failure is the one to report
            sender->failed = true;
            sender->failure = std::move(error);
        }
        sender->busy = false;
        if (sender->frames.empty())
            sender->idle.notify_all();
    }
}

}  // namespace

detail::TrackInternal::TrackInternal(std::weak_ptr<MediaSink> sink, Description::Media description, bool remote,
                          std::shared_ptr<impl::SerialDispatcher> dispatcher)
    : sink(std::move(sink)), remote(remote), dispatcher(std::move(dispatcher)),
      description(std::move(description)) {}

bool detail::TrackInternal::post(std::function<void()> task, size_t bytes) {
    std::weak_ptr<TrackInternal> weak = weak_from_this();
    return dispatcher->post(
        [weak, task = std::move(task)] {
            if (auto self = weak.lock())
                task();
        },
        bytes);
}

void detail::TrackInternal::open() {
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
        post([this] { openCallback(); });
}

void detail::TrackInternal::close() {
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
    if (notify)
        post([this] { closedCallback(); });
}

void detail::TrackInternal::setDescription(Description::Media media) {
    std::lock_guard lock(mutex);
    description = std::move(media);
}

bool detail::TrackInternal::hasRemoteSsrc(uint32_t ssrc) const {
    std::lock_guard lock(mutex);
    for (auto s : remoteSsrcs)
        if (s == ssrc)
            return true;
    return false;
}

void detail::TrackInternal::addRemoteSsrc(uint32_t ssrc) {
    std::lock_guard lock(mutex);
    if (remoteSsrcs.size() >= SDP_MAX_SSRCS)
        return;
    for (auto s : remoteSsrcs)
        if (s == ssrc)
            return;
    remoteSsrcs.push_back(ssrc);
}

std::vector<uint32_t> detail::TrackInternal::localSsrcs() const {
    std::lock_guard lock(mutex);
    return description.getSSRCs();
}

bool detail::TrackInternal::outgoingMessage(message_ptr message) {
    auto out = sink.lock();
    if (!out || !message)
        return false;
    return out->sendMedia(*message, message->type == Message::Control);
}

void detail::TrackInternal::incoming(message_ptr packet) {
    if (isClosed)
        return;
    std::shared_ptr<MediaHandler> chain;
    {
        std::lock_guard lock(mutex);
        chain = handler;
    }
    message_vector messages;
    if (packet)
        messages.push_back(std::move(packet));
    {
        std::lock_guard serial(incomingMutex);
        if (chain) {
            std::weak_ptr<MediaSink> weakSink = sink;
            chain->incomingChain(messages, [weakSink](message_ptr m) {
                if (auto out = weakSink.lock(); out && m)
                    out->sendMedia(*m, m->type == Message::Control);
            });
            scheduleWake(chain);
        }
        for (auto& message : messages)
            deliver(std::move(message));
    }
}

void detail::TrackInternal::scheduleWake(const std::shared_ptr<MediaHandler>& chain) {
    const auto when = chain->wakeTimeChain();
    if (!when || (wakeAt && *wakeAt <= *when))
        return; // nothing wanted, or an earlier wake-up will ask again
    auto& timer = impl::TimerThread::instance();
    if (wakeAt)
        timer.cancel(wakeTask);
    wakeAt = when;
    std::weak_ptr<TrackInternal> weak = weak_from_this();
    wakeTask = timer.schedule(*when, [weak, when = *when] {
        auto self = weak.lock();
        if (!self)
            return;
        {
            std::lock_guard serial(self->incomingMutex);
            if (self->wakeAt != when)
                return; // replaced by an earlier one
            self->wakeAt.reset();
        }
        self->incoming(nullptr);
    });
}

void detail::TrackInternal::deliver(message_ptr message) {
    if (!message)
        return;
    const size_t bytes = std::max<size_t>(1, message->size());
    bool queued;
    if (message->frameInfo && frameCallback) {
        queued = post([this, message] { frameCallback(binary(*message), *message->frameInfo); }, bytes);
    } else {
        // Without a handler that assembles frames, the packets themselves (RTCP included) go up.
        queued = post([this, message] { messageCallback(message_variant(binary(*message))); }, bytes);
    }
    // The application does not keep up: the frame is lost, and says so.
    if (!queued)
        post([this] { errorCallback("Received frame dropped: the callback queue is full"); });
}

std::shared_ptr<Track> detail::TrackInternal::handle(std::shared_ptr<TrackInternal> internal) {
    return std::shared_ptr<Track>(new Track(std::move(internal)));
}

Track::Track(std::shared_ptr<detail::TrackInternal> internal)
    : mInternal(std::move(internal)), mSender(std::make_shared<detail::TrackSender>()) {
    if (!mInternal)
        throw std::invalid_argument("Track needs its connection state");
}

Track::~Track() { stopSender(); }

void Track::stopSender() {
    std::thread thread;
    {
        std::lock_guard lock(mSender->mutex);
        mSender->stopping = true;
        mSender->frames.clear();
        mSender->bytes = 0;
        thread = std::move(mSender->thread);
    }
    mSender->wake.notify_all();
    mSender->idle.notify_all();
    if (!thread.joinable())
        return;
    // Called from the chain on the sender thread itself: it ends once the current frame returns.
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

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
    // Frames queued before this message leave first.
    if (!mSender->onSenderThread()) {
        std::unique_lock lock(mSender->mutex);
        mSender->idle.wait(lock, [&] { return mSender->stopping || (mSender->frames.empty() && !mSender->busy); });
    }
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
    {
        std::lock_guard lock(mInternal->mutex);
        if (!mInternal->handler)
            return false; // a frame needs a packetizer to leave as RTP
    }
    std::lock_guard lock(mSender->mutex);
    if (mSender->failed) {
        mSender->failed = false;
        throw std::runtime_error(std::exchange(mSender->failure, {}));
    }
    if (mSender->stopping)
        throw std::runtime_error("Track is closed");
    if (!mSender->frames.empty() &&
        (mSender->frames.size() >= kMaxQueuedFrames || mSender->bytes + frame.size() > kMaxQueuedBytes))
        return false;
    if (!mSender->thread.joinable()) {
        mSender->thread = std::thread(runSender, mSender, mInternal);
        mSender->threadId = mSender->thread.get_id();
    }
    mSender->bytes += frame.size();
    mSender->frames.push_back(detail::TrackSender::Frame{std::move(frame), info});
    mSender->wake.notify_one();
    return true;
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

void Track::close() {
    // Closed first, so the sender drops the rest even before it sees the stop.
    mInternal->close();
    stopSender();
}

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
    if (notify)
        mInternal->post([internal = mInternal.get()] { internal->openCallback(); });
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
    if (notify)
        mInternal->post([internal = mInternal.get()] { internal->closedCallback(); });
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
