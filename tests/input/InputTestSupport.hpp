#pragma once
// Shared pieces of the input tests: a clock moved by hand and message builders with their bytes.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "input/InputMessage.hpp"

namespace murel::test {

// Nanoseconds that move only when the test says so; starts an hour in, far from any real
// steady-clock reading a watchdog on the wrong clock would see.
class ManualInputClock {
public:
    std::function<std::int64_t()> clock() {
        return [this] { return now_.load(); };
    }
    void advanceMs(std::int64_t ms) { now_.fetch_add(ms * 1000000); }
    void setMs(std::int64_t ms) { now_.store(ms * 1000000); }
    std::int64_t ms() const { return now_.load() / 1000000; }

private:
    std::atomic<std::int64_t> now_{3600LL * 1000 * 1000000};
};

inline std::string bytes(const Json& message) { return serializeInputMessage(message); }

// Waits (polling, generous bound) until `done` holds; false when it never did.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace murel::test
