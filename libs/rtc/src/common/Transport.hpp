#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <span>

namespace rtc::impl {

using ByteSpan = std::span<const std::byte>;

// A datagram transport: the layer below DTLS (the ICE agent, or an in-memory pair in tests), and the
// shape every layer above it offers to the next one.
//
// Contract for implementations:
// - send() may be called from any thread and must not call back into the upper layer
//   synchronously (no receive or state callback from inside send()).
// - Received datagrams are delivered one at a time from the implementation's own thread(s), never
//   while a lock that send() takes is held.
// - Callbacks may be replaced or cleared at any time; a callback already in flight may still run
//   once after it was replaced, so the upper layer's callbacks hold only weak references.
class Transport {
public:
    enum class State { Disconnected, Connecting, Connected, Failed, Closed };

    using ReceiveCallback = std::function<void(ByteSpan)>;
    using StateCallback = std::function<void(State)>;

    virtual ~Transport() = default;

    // Sends one datagram; false when it was not accepted (closed, too large, queue full).
    virtual bool send(ByteSpan data) = 0;

    void onReceive(ReceiveCallback callback);
    void onStateChange(StateCallback callback);
    void resetCallbacks();

    State state() const { return mState.load(); }

protected:
    // For implementations: hand a received datagram to the upper layer.
    void deliver(ByteSpan data);
    // For implementations: record a state; the callback fires only when the state changed.
    // Returns whether it changed.
    bool changeState(State state);

private:
    mutable std::mutex mCallbackMutex;
    std::shared_ptr<const ReceiveCallback> mReceive;
    std::shared_ptr<const StateCallback> mStateCallback;
    std::atomic<State> mState{State::Disconnected};
};

const char* toString(Transport::State state);

} // namespace rtc::impl
