#pragma once

#include <functional>
#include <string_view>

namespace rtc {

// Most severe first: a sink set for Info also receives Warning and Error.
enum class LogLevel { Error, Warning, Info, Debug };

using LogSink = std::function<void(LogLevel, std::string_view)>;

// The one process-wide sink for the layer's diagnostics. Off by default; a null sink turns it off
// again. The sink may be called from any of the layer's threads, one line at a time, and must not
// call back into the layer. Lines above `level` are not even formatted.
void setLogSink(LogLevel level, LogSink sink);

bool logEnabled(LogLevel level);

std::string_view toString(LogLevel level);

} // namespace rtc
