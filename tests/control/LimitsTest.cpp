// The service's limiters and its bounded hashing queue.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "Log.hpp"
#include "RateLimiter.hpp"
#include "WorkerPool.hpp"

namespace murel {
namespace {

TEST(RateLimiter, BurstThenRatePerKeyWithBoundedKeys) {
    RateLimiter limiter(2, 4, 3);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(limiter.take("a", 100)) << i;
    EXPECT_FALSE(limiter.take("a", 100));
    EXPECT_TRUE(limiter.take("b", 100)) << "keys are independent";
    // Two come back each second, never more than the burst.
    EXPECT_TRUE(limiter.take("a", 101));
    EXPECT_TRUE(limiter.take("a", 101));
    EXPECT_FALSE(limiter.take("a", 101));
    EXPECT_FALSE(limiter.take("a", 100)) << "a clock going back gives nothing";
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(limiter.take("a", 1000)) << i;
    EXPECT_FALSE(limiter.take("a", 1000));
    for (int i = 0; i < 10; ++i) limiter.take("k" + std::to_string(i), 2000 + i);
    EXPECT_LE(limiter.keyCount(), 3u);
}

TEST(LogThrottle, OneLineAnIntervalCountingTheRest) {
    using namespace std::chrono_literals;
    LogThrottle throttle(1s);
    const auto t0 = LogThrottle::Clock::time_point{} + 1h;
    EXPECT_EQ(throttle.admit(t0), std::optional<std::size_t>(0));
    EXPECT_FALSE(throttle.admit(t0 + 10ms));
    EXPECT_FALSE(throttle.admit(t0 + 999ms));
    EXPECT_EQ(throttle.admit(t0 + 1s), std::optional<std::size_t>(2)) << "the next line says two were held back";
    EXPECT_EQ(throttle.admit(t0 + 5s), std::optional<std::size_t>(0));
}

// Polls a condition another thread makes true; false after ten seconds.
template <class Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(WorkerPool, QueueIsBoundedAndEveryAcceptedJobRuns) {
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
    int started = 0;
    std::atomic<int> finished{0};
    auto blocking = [&] {
        std::unique_lock lock(mutex);
        ++started;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        ++finished;
    };
    WorkerPool pool(1, 2);
    ASSERT_TRUE(pool.tryPost(blocking));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return started == 1; }));
    }
    EXPECT_TRUE(pool.tryPost(blocking));
    EXPECT_TRUE(pool.tryPost(blocking));
    EXPECT_EQ(pool.waiting(), 2u);
    EXPECT_FALSE(pool.tryPost(blocking)) << "one job running and two waiting fill it";
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
    EXPECT_TRUE(eventually([&] { return finished.load() == 3; }));
    EXPECT_TRUE(pool.tryPost([&] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }));
    EXPECT_TRUE(eventually([&] { return pool.waiting() == 0; })) << "room again once the queue drains";
    // A job that throws does not take its thread with it.
    EXPECT_TRUE(pool.tryPost([] { throw std::runtime_error("a job that throws"); }));
    std::atomic<bool> after{false};
    EXPECT_TRUE(pool.tryPost([&] { after = true; }));
    EXPECT_TRUE(eventually([&] { return after.load(); }));
    pool.stop();
    EXPECT_FALSE(pool.tryPost([] {})) << "a stopped pool takes nothing";
}

}  // namespace
}  // namespace murel
