#include "WorkerPool.hpp"

namespace murel {

WorkerPool::WorkerPool(std::size_t threads, std::size_t queueLimit) : queueLimit_(queueLimit) {
    threads_.reserve(threads);
    try {
        for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
    } catch (...) {
        stop();
        throw;
    }
}

WorkerPool::~WorkerPool() { stop(); }

bool WorkerPool::tryPost(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || queue_.size() >= queueLimit_) return false;
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void WorkerPool::stop() {
    std::deque<Job> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
    }
    wake_.notify_all();
    for (auto& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
    threads_.clear();
    // The dropped jobs (and what they hold) go here, outside the lock.
}

std::size_t WorkerPool::waiting() {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void WorkerPool::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        // A job reports its own failures; one that throws anyway must not end the thread.
        try {
            job();
        } catch (...) {
        }
    }
}

}  // namespace murel
