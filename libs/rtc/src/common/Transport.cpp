#include "common/Transport.hpp"

namespace rtc::impl {

void Transport::onReceive(ReceiveCallback callback) {
    auto shared = callback ? std::make_shared<const ReceiveCallback>(std::move(callback)) : nullptr;
    std::lock_guard lock(mCallbackMutex);
    mReceive.swap(shared);
}

void Transport::onStateChange(StateCallback callback) {
    auto shared = callback ? std::make_shared<const StateCallback>(std::move(callback)) : nullptr;
    std::lock_guard lock(mCallbackMutex);
    mStateCallback.swap(shared);
}

void Transport::resetCallbacks() {
    std::shared_ptr<const ReceiveCallback> receive;
    std::shared_ptr<const StateCallback> state;
    std::lock_guard lock(mCallbackMutex);
    receive.swap(mReceive);
    state.swap(mStateCallback);
}

void Transport::deliver(ByteSpan data) {
    std::shared_ptr<const ReceiveCallback> callback;
    {
        std::lock_guard lock(mCallbackMutex);
        callback = mReceive;
    }
    if (callback)
        (*callback)(data);
}

bool Transport::changeState(State state) {
    if (mState.exchange(state) == state)
        return false;
    std::shared_ptr<const StateCallback> callback;
    {
        std::lock_guard lock(mCallbackMutex);
        callback = mStateCallback;
    }
    if (callback)
        (*callback)(state);
    return true;
}

const char* toString(Transport::State state) {
    switch (state) {
    case Transport::State::Disconnected: return "disconnected";
    case Transport::State::Connecting: return "connecting";
    case Transport::State::Connected: return "connected";
    case Transport::State::Failed: return "failed";
    case Transport::State::Closed: return "closed";
    }
    return "unknown";
}

} // namespace rtc::impl
