#pragma once
// What a callback reported so far, for tests that wait on it from another thread: record() from the
// callback, waitFor() a condition over everything seen, with a time-out.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace murel::test {

template <typename T>
class EventRecorder {
public:
    // Notifies under the lock: a waiter that wakes and destroys the recorder cannot do so while
    // the recording thread still touches the condition variable.
    void record(T event) {
        std::lock_guard<std::mutex> guard(lock_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }

    std::vector<T> snapshot() const {
        std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> guard(lock_);
        return events_.size();
    }
    bool contains(const T& event) const {
        std::lock_guard<std::mutex> guard(lock_);
        return std::find(events_.begin(), events_.end(), event) != events_.end();
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock_);
        events_.clear();
    }

    // Waits until `done(events)` holds for everything recorded so far; whether it did in time.
    template <typename Predicate>
    bool waitFor(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, timeout, [&] { return done(static_cast<const std::vector<T>&>(events_)); });
    }
    bool waitCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        return waitFor([count](const std::vector<T>& events) { return events.size() >= count; }, timeout);
    }
    bool waitContains(const T& event, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        return waitFor(
            [&](const std::vector<T>& events) { return std::find(events.begin(), events.end(), event) != events.end(); },
            timeout);
    }

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<T> events_;
};

}  // namespace murel::test
