#pragma once
// The signaling channel's connection: a receive thread that assembles and parses messages, a send
// thread that drains a bounded queue and sends a heartbeat every 15 s, and exactly one failure
// report per connection. Works over any WebSocketTransport.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/WebSocketTransport.hpp"
#include "protocol/SignalingSession.hpp"
#include "protocol/Wire.hpp"

namespace murel {

inline constexpr std::size_t kSignalingQueueLimit = 64;
inline constexpr std::chrono::nanoseconds kHeartbeatInterval = std::chrono::seconds(15);
// kHeartbeatMessage, the exact bytes of a heartbeat, is the protocol's (SignalingSession.hpp).

// The send thread's time source. Production uses the steady clock; tests substitute a clock they
// advance by hand so heartbeat timing is checked without waiting.
class HeartbeatClock {
public:
    virtual ~HeartbeatClock() = default;
    virtual std::chrono::nanoseconds now() = 0;
    // Waits on `wake` (with `lock` held on entry and exit) until `ready()` is true or now() reaches
    // `deadline`. Spurious returns are allowed; the caller re-checks.
    virtual void waitUntil(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                           std::chrono::nanoseconds deadline,
                           const std::function<bool()>& ready) = 0;
};

// The steady clock, shared by every production socket.
HeartbeatClock& steadyHeartbeatClock();

inline constexpr unsigned kUpgradeUnauthorized = 401;  // the device token is not accepted
inline constexpr unsigned kUpgradeConflict = 409;      // another connection of the device is live

// The service answered the upgrade with something other than 101. The text is the same whatever the
// status; status() lets a caller tell a registration the service no longer accepts (401) from a
// second live connection (409).
class SignalingUpgradeRejected : public ProtocolError {
public:
    explicit SignalingUpgradeRejected(unsigned status);
    unsigned status() const { return status_; }

private:
    unsigned status_;
};

class SignalingSocket {
public:
    using MessageHandler = std::function<void(Json)>;
    using FailureHandler = std::function<void(const std::string&)>;

    // Upgrades `transport` at "/v1/signaling" with `deviceToken` as bearer and starts both threads.
    // Returns only when they run; otherwise throws ProtocolError ("Invalid credential", the
    // transport's step failures, or SignalingUpgradeRejected: "Signaling upgrade rejected; sign in
    // again or disconnect the other instance") after releasing what it opened.
    SignalingSocket(std::unique_ptr<WebSocketTransport> transport, std::string_view deviceToken,
                    MessageHandler onMessage, FailureHandler onFailure,
                    HeartbeatClock& clock = steadyHeartbeatClock());
    // Virtual: the Windows socket derives from this one and may be owned through a base pointer.
    virtual ~SignalingSocket();

    SignalingSocket(const SignalingSocket&) = delete;
    SignalingSocket& operator=(const SignalingSocket&) = delete;

    // Queues one message for the send thread. True when queued; false when too large, stopped, or
    // the queue was full (which also stops the connection with a report). Any thread.
    bool send(const Json& message);

    // Stops the connection and joins both threads; reports nothing. Not from the socket's own
    // threads (that would join a thread from itself).
    void close();

private:
    void fail(const char* reason);
    void receiveLoop();
    void sendLoop(std::chrono::nanoseconds firstHeartbeat);

    std::unique_ptr<WebSocketTransport> transport_;
    MessageHandler onMessage_;
    FailureHandler onFailure_;
    HeartbeatClock& clock_;
    std::atomic<bool> stopped_{false};
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::string> queue_;
    std::mutex closeLock_;
    bool closed_ = false;
    std::thread receiver_;
    std::thread sender_;
};

}  // namespace murel
