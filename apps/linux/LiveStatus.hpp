#pragma once
// The live figures of `murel host` and `murel view` on one status line: rewritten in place on a
// terminal, printed as a line of its own at most once per interval into a log.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace murel {

struct LiveFigures {
    bool host = false;
    double decodeFps = 0;   // viewer
    double presentFps = 0;  // viewer
    double sentFps = 0;     // host
    std::optional<double> bitsPerSecond;
    std::optional<double> roundTripMs;
    std::optional<std::int32_t> codec;  // 0 H.264, 1 HEVC; nothing until known
    std::int32_t width = 0;             // the picture: decoded (viewer) or encoded (host); 0 none
    std::int32_t height = 0;
    std::int32_t modeFps = 0;           // the stream configuration's rate; 0 none
};

// "decoded 30.0/s, presented 29.9/s, 2.41 Mbit/s, rtt 0.8 ms, H.264 1280x720@30", "-" for what
// is not known yet.
std::string formatFigures(const LiveFigures& figures);

// A counter turned into a rate over windows of at least one second.
class RateMeter {
public:
    // Total so far at nowMs; the rate per second of the last complete window, nothing before the
    // first. A counter that went back (a new session) starts a new window.
    std::optional<double> update(std::int64_t nowMs, std::uint64_t total);
    void reset() { *this = RateMeter{}; }

private:
    std::optional<std::int64_t> windowStartMs_;
    std::uint64_t windowStartTotal_ = 0;
    std::optional<double> rate_;
};

class StatusPrinter {
public:
    StatusPrinter(std::ostream& out, bool terminal, std::int64_t logIntervalMs = 1000)
        : out_(out), terminal_(terminal), logIntervalMs_(logIntervalMs) {}

    // A line of its own ("status: ...", a verdict); on a terminal the live line is cleared first
    // and drawn again below it by the next live().
    void line(const std::string& text);
    // The live line. Terminal: redrawn when it changed. Log: printed when it changed and at least
    // the interval has passed since the last one.
    void live(const std::string& text, std::int64_t nowMs);
    // Ends the live line on a terminal so what follows starts on a line of its own.
    void end();

private:
    std::ostream& out_;
    bool terminal_;
    std::int64_t logIntervalMs_;
    std::string shown_;  // the live line on screen (terminal) or last printed (log)
    bool onScreen_ = false;
    std::optional<std::int64_t> lastLogMs_;
};

}  // namespace murel
