#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace rtc::impl {

// One process-wide thread that runs the layer's timers: DTLS retransmissions, SCTP timers and
// deferred tear-down. Tasks run one at a time, never under the scheduler's lock, so a task may
// schedule or cancel others. Tasks must be short and must not block on other tasks.
class TimerThread {
public:
    using Clock = std::chrono::steady_clock;
    using TaskId = std::uint64_t;

    static TimerThread& instance();

    TimerThread(const TimerThread&) = delete;
    TimerThread& operator=(const TimerThread&) = delete;

    TaskId schedule(Clock::time_point when, std::function<void()> task);
    TaskId scheduleAfter(Clock::duration delay, std::function<void()> task);
    TaskId post(std::function<void()> task);

    // Removes a task that has not started; returns false when it already ran or is running.
    bool cancel(TaskId id);

    bool isCurrentThread() const;

private:
    TimerThread();
    ~TimerThread();
    void run();

    struct Key {
        Clock::time_point when;
        TaskId id;
        bool operator<(const Key& other) const {
            return when != other.when ? when < other.when : id < other.id;
        }
    };

    mutable std::mutex mMutex;
    std::condition_variable mCondition;
    std::map<Key, std::function<void()>> mTasks;
    std::map<TaskId, Clock::time_point> mWhen;
    TaskId mNextId = 1;
    bool mStopping = false;
    std::thread mThread;
};

} // namespace rtc::impl
