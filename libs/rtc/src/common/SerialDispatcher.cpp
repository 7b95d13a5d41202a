#include "common/SerialDispatcher.hpp"

#include "common/Log.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace rtc::impl {

struct SerialDispatcher::State {
    const std::size_t maxTasks, maxBytes;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<std::function<void()>, std::size_t>> tasks;
    std::size_t bytes = 0;
    bool stopping = false;

    State(std::size_t maxTasks, std::size_t maxBytes) : maxTasks(maxTasks), maxBytes(maxBytes) {}

    void run() {
        std::unique_lock lock(mutex);
        while (true) {
            wake.wait(lock, [this] { return stopping || !tasks.empty(); });
            if (stopping)
                return;
            auto [task, size] = std::move(tasks.front());
            tasks.pop_front();
            bytes -= size;
            lock.unlock();
            try {
                task();
            } catch (const std::exception& e) {
                // An application callback threw; the connection goes on.
                log(LogLevel::Error, "callback threw: ", e.what());
            } catch (...) {
                log(LogLevel::Error, "callback threw an unknown exception");
            }
            task = nullptr; // whatever it captured goes before the next task runs
            lock.lock();
        }
    }
};

SerialDispatcher::SerialDispatcher(std::size_t maxTasks, std::size_t maxBytes)
    : mState(std::make_shared<State>(maxTasks, maxBytes)) {
    mThread = std::thread([state = mState] { state->run(); });
}

SerialDispatcher::~SerialDispatcher() {
    std::deque<std::pair<std::function<void()>, std::size_t>> dropped;
    {
        std::lock_guard lock(mState->mutex);
        mState->stopping = true;
        dropped.swap(mState->tasks);
        mState->bytes = 0;
    }
    mState->wake.notify_all();
    dropped.clear(); // outside the lock: the captures may own anything, other dispatchers too
    if (mThread.get_id() == std::this_thread::get_id())
        mThread.detach(); // the last owner went away inside a callback; the thread ends after it
    else
        mThread.join();
}

bool SerialDispatcher::post(std::function<void()> task, std::size_t bytes) {
    if (!task)
        return true;
    {
        std::lock_guard lock(mState->mutex);
        const std::size_t limit = mState->maxTasks + (bytes == 0 ? kEventReserve : 0);
        if (mState->stopping || mState->tasks.size() >= limit || bytes > mState->maxBytes - mState->bytes)
            return false;
        mState->tasks.emplace_back(std::move(task), bytes);
        mState->bytes += bytes;
    }
    mState->wake.notify_one();
    return true;
}

bool SerialDispatcher::isCurrentThread() const {
    return mThread.get_id() == std::this_thread::get_id();
}

} // namespace rtc::impl
