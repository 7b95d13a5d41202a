#pragma once
// Log levels of murel-control and a throttle for lines that a client can provoke at will.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>

namespace murel {

enum class LogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// Receives every line with its level; the sink decides what to print.
using LogSink = std::function<void(LogLevel, std::string_view)>;

// "error", "warning" (or "warn"), "info", "debug".
std::optional<LogLevel> parseLogLevel(std::string_view text);
const char* logLevelName(LogLevel level);

// Lets one line through per interval and counts the ones it holds back, so that a flood of
// refusals costs one line a second instead of one each. Thread-safe.
class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogThrottle(std::chrono::milliseconds interval = std::chrono::seconds(1)) : interval_(interval) {}

    // The number of lines held back since the last one let through, when this one may be
    // logged; nullopt when it is to be dropped.
    std::optional<std::size_t> admit(Clock::time_point now = Clock::now());

private:
    std::mutex mutex_;
    std::chrono::milliseconds interval_;
    std::optional<Clock::time_point> last_;
    std::size_t held_ = 0;
};

}  // namespace murel
