#include "input/InputInjector.hpp"

#include <chrono>
#include <cmath>
#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <utility>

#include "input/InputText.hpp"

namespace murel {
namespace {

constexpr const char* kInputBlocked = "Windows blocked remote input (desktop or integrity restriction)";
constexpr const char* kNoKeyMapping = "This physical key has no supported v1 Windows mapping";
constexpr const char* kInvalidText = "Invalid remote text input";
constexpr const char* kInvalidUtf8Text = "Invalid UTF-8 remote text input";
constexpr const char* kInvalidCoordinates = "Invalid desktop coordinates";
constexpr const char* kInvalidMessage = "Invalid protocol message";
constexpr const char* kReleasesBlocked = "Windows blocked one or more input releases";

constexpr std::chrono::milliseconds kWatchdogPeriod{25};

void injected(bool taken) {
    if (!taken) throw ProtocolError(kInputBlocked);
}

// A "key" whose code is a non-negative integer without a table row.
bool isUnmappedKey(const Json& message) {
    const auto kind = message.find("kind");
    if (kind == message.end() || *kind != "key") return false;
    const auto code = message.find("code");
    return code != message.end() && isNonNegativeInteger(*code) &&
           !scanKeyForCode(code->get<std::uint64_t>());
}

bool allFinite(std::initializer_list<double> values) {
    for (const double v : values) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

}  // namespace

InputInjector::InputInjector(std::shared_ptr<InputSink> sink, Clock clock)
    : sink_(std::move(sink)), clock_(std::move(clock)) {
    if (!sink_ || !clock_) throw std::invalid_argument("InputInjector needs a sink and a clock");
    watchdog_ = std::thread(&InputInjector::watchdogMain, this);
}

InputInjector::~InputInjector() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stop_.store(true);
    }
    stopSignal_.notify_all();
    watchdog_.join();
    try {
        disable();
    } catch (...) {
        // Nothing is left to retry with once the injector is gone.
    }
}

void InputInjector::enable(DesktopRect desktopBounds) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    disable();
    desktopBounds_ = desktopBounds;
    enabled_ = true;
}

void InputInjector::disable() {
    std::exception_ptr failure;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        enabled_ = false;
        try {
            releaseAll();
        } catch (...) {
            failure = std::current_exception();
        }
        // Cleared even when a release failed, so the next viewer starts with fresh sequences.
        sequenceState_.clear();
        scrollRemainder_ = 0;
    }
    if (failure) std::rethrow_exception(failure);
}

bool InputInjector::apply(std::string_view bytes, int channel) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!enabled_) return false;
    Json message;
    try {
        message = parseWire(bytes, kInputMessageLimit);
    } catch (const ProtocolError&) {
        return false;
    }
    // Before any other check, so that it leaves the sequence state untouched.
    if (isUnmappedKey(message)) return false;
    if (!validateInputMessage(sequenceState_, message, channel, nowMs())) return false;

    try {
        act(message);
    } catch (...) {
        enabled_ = false;
        releaseAll();  // a failure here replaces the first one
        throw;
    }
    return true;
}

void InputInjector::act(const Json& message) {
    const auto& kind = message.at("kind").get_ref<const std::string&>();
    if (kind == "move") {
        moveTo(message.at("x").get<double>(), message.at("y").get<double>());
    } else if (kind == "button") {
        moveTo(message.at("x").get<double>(), message.at("y").get<double>());
        const int code = message.at("code").get<int>();
        const bool down = message.at("down").get<bool>();
        pressButton(code, down);
        if (down) {
            heldButtons_.insert(code);
        } else {
            heldButtons_.erase(code);
        }
    } else if (kind == "key") {
        const int code = message.at("code").get<int>();
        const bool down = message.at("down").get<bool>();
        pressKey(code, down);
        if (down) {
            heldKeys_.insert(code);
        } else {
            heldKeys_.erase(code);
        }
    } else if (kind == "text") {
        typeText(message.at("text").get_ref<const std::string&>());
    } else if (kind == "scroll") {
        scroll(message.at("delta").get<double>());
    } else if (kind == "release") {
        releaseAll();
    }
    // "keepalive": accepting it has already refreshed the time.
}

void InputInjector::expire() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (inputTimedOut(sequenceState_, nowMs())) releaseAll();
}

void InputInjector::releaseAll() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    bool failed = false;
    for (auto it = heldKeys_.begin(); it != heldKeys_.end();) {
        try {
            pressKey(*it, false);
            it = heldKeys_.erase(it);
        } catch (...) {
            failed = true;
            ++it;
        }
    }
    for (auto it = heldButtons_.begin(); it != heldButtons_.end();) {
        try {
            pressButton(*it, false);
            it = heldButtons_.erase(it);
        } catch (...) {
            failed = true;
            ++it;
        }
    }
    if (failed) throw ProtocolError(kReleasesBlocked);
}

bool InputInjector::enabled() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return enabled_;
}

std::set<int> InputInjector::heldKeys() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return heldKeys_;
}

std::set<int> InputInjector::heldButtons() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return heldButtons_;
}

double InputInjector::scrollRemainder() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return scrollRemainder_;
}

std::int64_t InputInjector::nowMs() const { return clock_() / 1000000; }

void InputInjector::moveTo(double x, double y) {
    const DesktopRect v = sink_->virtualDesktop();
    const DesktopRect& d = desktopBounds_;
    if (!allFinite({v.x, v.y, v.width, v.height, d.x, d.y, d.width, d.height, x, y}) ||
        !(d.width > 0) || !(d.height > 0) || !(v.width > 1) || !(v.height > 1) || !(x >= 0 && x <= 1) ||
        !(y >= 0 && y <= 1)) {
        throw ProtocolError(kInvalidCoordinates);
    }
    if (d.x < v.x || d.y < v.y || d.x + d.width > v.x + v.width || d.y + d.height > v.y + v.height) {
        throw ProtocolError(kInvalidMessage);
    }
    // std::round takes halves away from zero.
    const double ax = std::round(((d.width - 1) * x + d.x - v.x) * kAbsoluteCoordinateMax / (v.width - 1));
    const double ay = std::round(((d.height - 1) * y + d.y - v.y) * kAbsoluteCoordinateMax / (v.height - 1));
    injected(sink_->moveTo(static_cast<std::int32_t>(ax), static_cast<std::int32_t>(ay)));
}

void InputInjector::pressButton(int code, bool down) {
    injected(sink_->button(static_cast<MouseButton>(code), down));
}

void InputInjector::pressKey(int code, bool down) {
    const auto key = scanKeyForCode(static_cast<std::uint64_t>(code));
    if (!key) throw ProtocolError(kNoKeyMapping);
    injected(sink_->key(*key, down));
}

void InputInjector::scroll(double delta) {
    scrollRemainder_ = delta * kWheelNotch / 40 + scrollRemainder_;
    const double whole = std::trunc(scrollRemainder_);
    scrollRemainder_ -= whole;
    if (whole != 0) injected(sink_->wheel(static_cast<std::int32_t>(whole)));
}

void InputInjector::typeText(std::string_view text) {
    if (text.empty() || text.size() > kInputTextLimit) throw ProtocolError(kInvalidText);
    const auto characters = decodeUtf8(text);
    if (!characters) throw ProtocolError(kInvalidUtf8Text);
    for (const char32_t c : *characters) injected(sink_->character(c));
}

void InputInjector::watchdogMain() {
    std::unique_lock<std::mutex> lock(stopMutex_);
    while (!stop_.load()) {
        lock.unlock();
        try {
            expire();
        } catch (...) {
            // Whatever could not be let go stays held and is tried again on the next pass.
        }
        watchdogPasses_.fetch_add(1);
        lock.lock();
        stopSignal_.wait_for(lock, kWatchdogPeriod, [this] { return stop_.load(); });
    }
}

}  // namespace murel
