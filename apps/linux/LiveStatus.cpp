#include "LiveStatus.hpp"

#include <cstdio>

namespace murel {
namespace {

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string bitRate(double bitsPerSecond) {
    if (bitsPerSecond >= 1e6) return fixed(bitsPerSecond / 1e6, 2) + " Mbit/s";
    if (bitsPerSecond >= 1e3) return fixed(bitsPerSecond / 1e3, 1) + " kbit/s";
    return fixed(bitsPerSecond, 0) + " bit/s";
}

// The terminal's "erase to the end of the line".
constexpr const char* kEraseLine = "\r\033[K";

}  // namespace

std::string formatFigures(const LiveFigures& f) {
    std::string line;
    if (f.host) {
        line = "sent " + fixed(f.sentFps, 1) + "/s";
    } else {
        line = "decoded " + fixed(f.decodeFps, 1) + "/s, presented " + fixed(f.presentFps, 1) + "/s";
    }
    line += ", " + (f.bitsPerSecond ? bitRate(*f.bitsPerSecond) : std::string("- bit/s"));
    line += ", rtt " + (f.roundTripMs ? fixed(*f.roundTripMs, 1) + " ms" : std::string("-"));
    line += ", ";
    line += !f.codec ? "-" : *f.codec == 1 ? "HEVC" : "H.264";
    line += " ";
    line += f.width > 0 && f.height > 0 ? std::to_string(f.width) + "x" + std::to_string(f.height) : "-";
    if (f.modeFps > 0) line += "@" + std::to_string(f.modeFps);
    return line;
}

std::optional<double> RateMeter::update(std::int64_t nowMs, std::uint64_t total) {
    if (!windowStartMs_ || total < windowStartTotal_ || nowMs < *windowStartMs_) {
        windowStartMs_ = nowMs;
        windowStartTotal_ = total;
        rate_.reset();
        return rate_;
    }
    const std::int64_t elapsed = nowMs - *windowStartMs_;
    if (elapsed >= 1000) {
        rate_ = static_cast<double>(total - windowStartTotal_) * 1000.0 / static_cast<double>(elapsed);
        windowStartMs_ = nowMs;
        windowStartTotal_ = total;
    }
    return rate_;
}

void StatusPrinter::line(const std::string& text) {
    if (terminal_ && onScreen_) {
        out_ << kEraseLine;
        onScreen_ = false;
        shown_.clear();
    }
    out_ << text << '\n';
    out_.flush();
}

void StatusPrinter::live(const std::string& text, std::int64_t nowMs) {
    if (text == shown_ && (terminal_ ? onScreen_ : true)) return;
    if (terminal_) {
        out_ << kEraseLine << text;
        onScreen_ = true;
    } else {
        if (lastLogMs_ && nowMs - *lastLogMs_ < logIntervalMs_) return;
        out_ << "stats: " << text << '\n';
        lastLogMs_ = nowMs;
    }
    shown_ = text;
    out_.flush();
}

void StatusPrinter::end() {
    if (terminal_ && onScreen_) {
        out_ << '\n';
        onScreen_ = false;
        shown_.clear();
        out_.flush();
    }
}

}  // namespace murel
