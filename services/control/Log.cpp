#include "Log.hpp"

namespace murel {

std::optional<LogLevel> parseLogLevel(std::string_view text) {
    if (text == "error") return LogLevel::Error;
    if (text == "warning" || text == "warn") return LogLevel::Warning;
    if (text == "info") return LogLevel::Info;
    if (text == "debug") return LogLevel::Debug;
    return std::nullopt;
}

const char* logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error: return "error";
        case LogLevel::Warning: return "warning";
        case LogLevel::Info: return "info";
        case LogLevel::Debug: return "debug";
    }
    return "info";
}

std::optional<std::size_t> LogThrottle::admit(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (last_ && now - *last_ < interval_) {
        ++held_;
        return std::nullopt;
    }
    last_ = now;
    const std::size_t held = held_;
    held_ = 0;
    return held;
}

}  // namespace murel
