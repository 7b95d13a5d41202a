#include "common/Log.hpp"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

namespace rtc {

namespace {

// -1 when off, so the check on every call site is one relaxed load.
std::atomic<int> gLevel{-1};
std::mutex gMutex;
std::shared_ptr<const LogSink> gSink;

} // namespace

void setLogSink(LogLevel level, LogSink sink) {
    auto shared = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(gMutex);
    gLevel.store(shared ? static_cast<int>(level) : -1, std::memory_order_relaxed);
    gSink.swap(shared);
}

bool logEnabled(LogLevel level) {
    return static_cast<int>(level) <= gLevel.load(std::memory_order_relaxed);
}

std::string_view toString(LogLevel level) {
    switch (level) {
    case LogLevel::Error:
        return "error";
    case LogLevel::Warning:
        return "warning";
    case LogLevel::Info:
        return "info";
    case LogLevel::Debug:
        return "debug";
    }
    return "unknown";
}

namespace impl {

void emitLog(LogLevel level, std::string_view line) {
    std::shared_ptr<const LogSink> sink;
    {
        std::lock_guard lock(gMutex);
        // Checked again under the lock: the sink may have been replaced since the caller looked.
        if (static_cast<int>(level) > gLevel.load(std::memory_order_relaxed))
            return;
        sink = gSink;
    }
    if (!sink)
        return;
    try {
        (*sink)(level, line);
    } catch (...) {
        // A failing sink must not turn a diagnostic into a failure of the connection.
    }
}

std::string errnoText(int code) { return std::system_category().message(code); }

} // namespace impl

} // namespace rtc
