#pragma once
// The meeting point of the interface thread, the signaling socket's threads and the worker: the
// bounded command queue, the coalesced pointer slot, the bounded signaling event queue, the stop
// and overflow flags and the published status, all under one mutex. No handler runs under it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/Command.hpp"
#include "app/Status.hpp"
#include "protocol/Wire.hpp"

namespace murel::app {

inline constexpr std::size_t kCommandQueueLimit = 64;
inline constexpr std::size_t kSignalingEventLimit = 64;

// Shared with every wake callback handed to other layers, so a callback that fires after the
// Controller is gone touches only this object.
struct WorkerWake {
    std::condition_variable condition;
    std::atomic<bool> pending{false};

    // Safe from any thread; never blocks.
    void wake() {
        pending.exchange(true);
        condition.notify_one();
    }
};

struct SignalingEvent {
    std::uint64_t generation = 0;  // the signaling generation the socket was opened under
    Json message;                  // null for a closure
    bool closed = false;
};

// Zeros a password's whole buffer and empties it. A short string moved away keeps its characters
// after the first in its inline buffer, so zeroing only the current length is not enough once a
// command has been moved.
void wipePassword(std::string& password) noexcept;

// Calls wipePassword when it leaves scope, on every path.
class WipePasswordOnExit {
public:
    explicit WipePasswordOnExit(std::string& password) noexcept : password_(password) {}
    ~WipePasswordOnExit() { wipePassword(password_); }
    WipePasswordOnExit(const WipePasswordOnExit&) = delete;
    WipePasswordOnExit& operator=(const WipePasswordOnExit&) = delete;

private:
    std::string& password_;
};

// What one pass of the worker takes out of the queues.
struct WorkBatch {
    bool stop = false;      // a stop was requested; nothing else was taken
    bool overflow = false;  // a queue overflowed since the last pass
    std::deque<Command> commands;  // in posting order; the coalesced pointer move last
    std::deque<SignalingEvent> events;
};

class CommandQueue {
public:
    explicit CommandQueue(std::shared_ptr<WorkerWake> wake);

    // Accepts or refuses at once, judging by the last published status: nothing after a stop;
    // no Connect while a reservation is pending or a session is active; while busy only SignOut,
    // EndSession, DisableHosting, ReleaseInput and Input. Pointer moves (Input on the pointer
    // channel) replace each other in one slot; everything else waits in the queue of 64, and a
    // full queue refuses the command and flags the overflow.
    bool post(Command command);

    // Appends one event of the signaling socket; dropped after a stop; a full queue flags the
    // overflow instead. Any thread.
    void pushSignalingEvent(std::uint64_t generation, Json message, bool closed);

    void requestStop();
    bool stopRequested() const { return stopRequested_.load(); }

    // Waits at most `wait` for work, a stop, an overflow or a wake, then takes everything queued.
    WorkBatch take(std::chrono::nanoseconds wait);

    // True when a command of this kind waits in the queue (not the pointer slot).
    bool hasQueued(CommandKind kind) const;

    // Final close: sets the stop, empties the queue and the slot, and returns how many operation
    // commands were dropped.
    std::uint64_t close();

    void publish(const Status& status);
    Status snapshot() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<WorkerWake> wake_;
    std::deque<Command> commands_;
    std::optional<Command> pointer_;
    std::deque<SignalingEvent> events_;
    std::atomic<bool> stopRequested_{false};  // written under the mutex; read anywhere
    bool overflow_ = false;
    Status published_;
};

}  // namespace murel::app
