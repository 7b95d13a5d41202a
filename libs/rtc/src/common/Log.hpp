#pragma once

#include "rtc/Log.hpp"

#include <sstream>
#include <string>

namespace rtc::impl {

void emitLog(LogLevel level, std::string_view line);

// Formats its parts only when a sink wants the level.
template <typename... Parts> void log(LogLevel level, const Parts&... parts) {
    if (!logEnabled(level))
        return;
    std::ostringstream line;
    (line << ... << parts);
    emitLog(level, line.str());
}

// The text of a C library error number, thread-safe.
std::string errnoText(int code);

} // namespace rtc::impl
