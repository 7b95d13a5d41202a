#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

namespace rtc::impl {

// Runs one connection's user callbacks on a thread of its own, one at a time in the order they were
// posted. A slow callback then holds up only its own connection's callbacks, never the layer's
// timers, network threads or another connection.
//
// The queue is bounded by tasks and by the bytes they carry; a post that does not fit is refused
// (the caller reports what it dropped). Events without payload (bytes 0: states, open, close,
// errors) have a reserve of their own beyond the bound, so a backlog of messages or frames does not
// cost a connection its state changes. A task that throws is dropped; the next one runs.
// Destruction drops what is still queued and waits for a running task, unless it runs on the
// dispatcher's own thread.
class SerialDispatcher {
public:
    static constexpr std::size_t kDefaultMaxTasks = 4096;
    static constexpr std::size_t kDefaultMaxBytes = std::size_t(64) << 20;
    static constexpr std::size_t kEventReserve = 256;

    explicit SerialDispatcher(std::size_t maxTasks = kDefaultMaxTasks,
                              std::size_t maxBytes = kDefaultMaxBytes);
    ~SerialDispatcher();
    SerialDispatcher(const SerialDispatcher&) = delete;
    SerialDispatcher& operator=(const SerialDispatcher&) = delete;

    // Queues `task`, which carries `bytes` of payload. False (the task is dropped) when the queue
    // is full or the dispatcher is being destroyed.
    bool post(std::function<void()> task, std::size_t bytes = 0);

    bool isCurrentThread() const;

private:
    struct State;
    std::shared_ptr<State> mState;
    std::thread mThread;
};

} // namespace rtc::impl
