#include "common/TimerThread.hpp"

#include "common/Log.hpp"

namespace rtc::impl {

TimerThread& TimerThread::instance() {
    static TimerThread timer;
    return timer;
}

TimerThread::TimerThread() : mThread([this] { run(); }) {}

TimerThread::~TimerThread() {
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
    }
    mCondition.notify_all();
    if (mThread.joinable())
        mThread.join();
}

TimerThread::TaskId TimerThread::schedule(Clock::time_point when, std::function<void()> task) {
    TaskId id;
    bool earliest;
    {
        std::lock_guard lock(mMutex);
        id = mNextId++;
        Key key{when, id};
        auto it = mTasks.emplace(key, std::move(task)).first;
        mWhen.emplace(id, when);
        earliest = it == mTasks.begin();
    }
    if (earliest)
        mCondition.notify_one();
    return id;
}

TimerThread::TaskId TimerThread::scheduleAfter(Clock::duration delay, std::function<void()> task) {
    return schedule(Clock::now() + delay, std::move(task));
}

TimerThread::TaskId TimerThread::post(std::function<void()> task) {
    return schedule(Clock::now(), std::move(task));
}

bool TimerThread::cancel(TaskId id) {
    std::function<void()> dropped; // destroyed outside the lock: it may own objects
    std::lock_guard lock(mMutex);
    auto when = mWhen.find(id);
    if (when == mWhen.end())
        return false;
    auto task = mTasks.find(Key{when->second, id});
    if (task != mTasks.end()) {
        dropped = std::move(task->second);
        mTasks.erase(task);
    }
    mWhen.erase(when);
    return true;
}

bool TimerThread::isCurrentThread() const {
    return std::this_thread::get_id() == mThread.get_id();
}

void TimerThread::run() {
    std::unique_lock lock(mMutex);
    while (true) {
        if (mStopping) {
            // Process exit: pending tasks are dropped (outside the lock, they may own objects).
            auto pending = std::move(mTasks);
            mTasks.clear();
            mWhen.clear();
            lock.unlock();
            pending.clear();
            return;
        }
        if (mTasks.empty()) {
            mCondition.wait(lock);
            continue;
        }
        auto first = mTasks.begin();
        auto now = Clock::now();
        if (first->first.when > now) {
            const auto when = first->first.when; // a copy: the task may be cancelled meanwhile
            mCondition.wait_until(lock, when);
            continue;
        }
        std::function<void()> task = std::move(first->second);
        mWhen.erase(first->first.id);
        mTasks.erase(first);
        lock.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            // A failing task must not take the layer's only timer thread down with it.
            log(LogLevel::Error, "timer task threw: ", e.what());
        } catch (...) {
            log(LogLevel::Error, "timer task threw an unknown exception");
        }
        task = nullptr;
        lock.lock();
    }
}

} // namespace rtc::impl
