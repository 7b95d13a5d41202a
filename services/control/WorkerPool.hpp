#pragma once
// A few threads running jobs from a bounded queue: the slow requests (password hashing) wait here,
// and a full queue refuses more instead of growing.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace murel {

class WorkerPool {
public:
    using Job = std::function<void()>;

    // `queueLimit` jobs may wait while every thread is busy.
    WorkerPool(std::size_t threads, std::size_t queueLimit);
    // Calls stop().
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues the job; false when the queue is full or the pool stopped (the job is not run).
    bool tryPost(Job job);
    // Refuses new jobs, drops the waiting ones and joins the threads once their running jobs end.
    // Not from a job.
    void stop();

    std::size_t waiting();

private:
    void run();

    const std::size_t queueLimit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace murel
