#include "platform/SignalingSocket.hpp"

#include <array>
#include <utility>

#include "platform/HttpClient.hpp"
#include "protocol/Wipe.hpp"

namespace murel {

namespace {

class SteadyHeartbeatClock final : public HeartbeatClock {
public:
    std::chrono::nanoseconds now() override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }

    void waitUntil(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                   std::chrono::nanoseconds deadline, const std::function<bool()>& ready) override {
        const std::chrono::steady_clock::time_point until(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(deadline));
        wake.wait_until(lock, until, ready);
    }
};

constexpr std::size_t kReceiveBuffer = 8192;

}  // namespace

SignalingUpgradeRejected::SignalingUpgradeRejected(unsigned status)
    : ProtocolError("Signaling upgrade rejected; sign in again or disconnect the other instance"), status_(status) {}

HeartbeatClock& steadyHeartbeatClock() {
    static SteadyHeartbeatClock clock;
    return clock;
}

SignalingSocket::SignalingSocket(std::unique_ptr<WebSocketTransport> transport,
                                 std::string_view deviceToken, MessageHandler onMessage,
                                 FailureHandler onFailure, HeartbeatClock& clock)
    : transport_(std::move(transport)),
      onMessage_(std::move(onMessage)),
      onFailure_(std::move(onFailure)),
      clock_(clock) {
    try {
        validateCredential(deviceToken);
    } catch (const ProtocolError&) {
        throw ProtocolError("Invalid credential");
    }
    std::string headers = buildHeaderBlock(deviceToken, false);
    WipeOnExit wipeHeaders(headers);
    const unsigned status = transport_->upgrade("/v1/signaling", headers);
    wipe(headers);
    if (status != 101) throw SignalingUpgradeRejected(status);
    transport_->completeUpgrade();

    // The heartbeat schedule starts with the connection, not whenever the sender gets to run.
    const std::chrono::nanoseconds firstHeartbeat = clock_.now() + kHeartbeatInterval;
    receiver_ = std::thread(&SignalingSocket::receiveLoop, this);
    try {
        sender_ = std::thread(&SignalingSocket::sendLoop, this, firstHeartbeat);
    } catch (...) {
        // The destructor will not run: stop the receiver quietly before the members go.
        stopped_.exchange(true);
        transport_->close();
        receiver_.join();
        throw;
    }
}

SignalingSocket::~SignalingSocket() {
    close();
}

void SignalingSocket::fail(const char* reason) {
    if (stopped_.exchange(true)) return;
    {
        // Taking the lock orders this with the sender's predicate check, so the wake is not lost.
        std::lock_guard<std::mutex> guard(lock_);
    }
    wake_.notify_all();
    try {
        onFailure_(reason);
    } catch (...) {
        // A report handler must not throw; a thread of this socket has nowhere to send it.
    }
}

bool SignalingSocket::send(const Json& message) {
    std::string text;
    try {
        text = toCompactJson(message);
    } catch (...) {
        return false;  // not serialisable (invalid UTF-8): nothing can be sent
    }
    if (text.size() > kSignalingMessageLimit) return false;
    std::unique_lock<std::mutex> guard(lock_);
    if (stopped_.load()) return false;
    if (queue_.size() >= kSignalingQueueLimit) {
        guard.unlock();
        fail("Signaling queue full; reconnect to continue");
        return false;
    }
    queue_.push_back(std::move(text));
    wake_.notify_one();
    return true;
}

void SignalingSocket::close() {
    std::lock_guard<std::mutex> closing(closeLock_);
    if (closed_) return;
    closed_ = true;
    stopped_.exchange(true);
    {
        std::lock_guard<std::mutex> guard(lock_);
    }
    wake_.notify_all();
    if (sender_.joinable()) sender_.join();
    // No send is in flight from here on; closing makes the blocked receive return.
    transport_->close();
    if (receiver_.joinable()) receiver_.join();
    std::lock_guard<std::mutex> guard(lock_);
    queue_.clear();
}

void SignalingSocket::receiveLoop() {
    std::array<char, kReceiveBuffer> buffer;
    std::string message;
    message.reserve(kSignalingMessageLimit);
    while (!stopped_.load()) {
        WebSocketReceived got;
        try {
            got = transport_->receive(buffer);
        } catch (...) {
            fail("Signaling connection lost");
            return;
        }
        if (got.size > buffer.size()) {
            fail("Signaling connection lost");
            return;
        }
        switch (got.type) {
        case WebSocketFrame::Close:
            fail("Signaling closed by server");
            return;
        case WebSocketFrame::BinaryMessage:
        case WebSocketFrame::BinaryFragment:
            fail("Unexpected signaling frame type");
            return;
        case WebSocketFrame::Utf8Fragment:
        case WebSocketFrame::Utf8Message:
            if (message.size() + got.size > kSignalingMessageLimit) {
                fail("Signaling message too large");
                return;
            }
            message.append(buffer.data(), got.size);
            if (got.type == WebSocketFrame::Utf8Message) {
                try {
                    Json parsed = parseWire(message, kSignalingMessageLimit);
                    message.clear();
                    if (!stopped_.load()) onMessage_(std::move(parsed));
                } catch (...) {
                    fail("Invalid signaling message");
                    return;
                }
            }
            break;
        }
    }
}

void SignalingSocket::sendLoop(std::chrono::nanoseconds deadline) {
    const std::function<bool()> ready = [this] { return stopped_.load() || !queue_.empty(); };
    while (!stopped_.load()) {
        std::string message;
        {
            std::unique_lock<std::mutex> guard(lock_);
            clock_.waitUntil(wake_, guard, deadline, ready);
            if (stopped_.load()) return;
            const std::chrono::nanoseconds now = clock_.now();
            if (now < deadline) {
                if (queue_.empty()) continue;  // woken early; wait again
                message = std::move(queue_.front());
                queue_.pop_front();
            } else {
                // A heartbeat that falls due goes ahead of queued messages.
                message = kHeartbeatMessage;
                deadline = now + kHeartbeatInterval;
            }
        }
        try {
            transport_->sendText(message);
        } catch (...) {
            fail("Signaling send failed");
            return;
        }
    }
}

}  // namespace murel
