#include "input/RecordingInputSink.hpp"

#include <cstdio>
#include <utility>

namespace murel {

RecordedInput RecordedInput::moved(std::int32_t ax, std::int32_t ay) {
    RecordedInput input;
    input.kind = Kind::Move;
    input.x = ax;
    input.y = ay;
    return input;
}

RecordedInput RecordedInput::pressed(MouseButton button, bool down) {
    RecordedInput input;
    input.kind = Kind::Button;
    input.button = button;
    input.down = down;
    return input;
}

RecordedInput RecordedInput::keyed(ScanKey key, bool down) {
    RecordedInput input;
    input.kind = Kind::Key;
    input.key = key;
    input.down = down;
    return input;
}

RecordedInput RecordedInput::wheeled(std::int32_t amount) {
    RecordedInput input;
    input.kind = Kind::Wheel;
    input.wheel = amount;
    return input;
}

RecordedInput RecordedInput::typed(char32_t codePoint) {
    RecordedInput input;
    input.kind = Kind::Character;
    input.character = codePoint;
    return input;
}

std::string describe(const RecordedInput& input) {
    char text[64];
    switch (input.kind) {
    case RecordedInput::Kind::Move:
        std::snprintf(text, sizeof text, "move %d,%d", input.x, input.y);
        break;
    case RecordedInput::Kind::Button:
        std::snprintf(text, sizeof text, "button %d %s", static_cast<int>(input.button),
                      input.down ? "down" : "up");
        break;
    case RecordedInput::Kind::Key:
        std::snprintf(text, sizeof text, "key %s%u %s", input.key.extended ? "E0 " : "",
                      static_cast<unsigned>(input.key.scanCode), input.down ? "down" : "up");
        break;
    case RecordedInput::Kind::Wheel:
        std::snprintf(text, sizeof text, "wheel %d", input.wheel);
        break;
    case RecordedInput::Kind::Character:
        std::snprintf(text, sizeof text, "char U+%04X", static_cast<unsigned>(input.character));
        break;
    }
    return text;
}

RecordingInputSink::RecordingInputSink(DesktopRect desktop) : desktop_(desktop) {}

DesktopRect RecordingInputSink::virtualDesktop() {
    std::lock_guard<std::mutex> lock(mutex_);
    return desktop_;
}

bool RecordingInputSink::moveTo(std::int32_t ax, std::int32_t ay) {
    return record(RecordedInput::moved(ax, ay));
}

bool RecordingInputSink::button(MouseButton button, bool down) {
    return record(RecordedInput::pressed(button, down));
}

bool RecordingInputSink::key(ScanKey key, bool down) { return record(RecordedInput::keyed(key, down)); }

bool RecordingInputSink::wheel(std::int32_t amount) { return record(RecordedInput::wheeled(amount)); }

bool RecordingInputSink::character(char32_t codePoint) {
    return record(RecordedInput::typed(codePoint));
}

void RecordingInputSink::setVirtualDesktop(DesktopRect desktop) {
    std::lock_guard<std::mutex> lock(mutex_);
    desktop_ = desktop;
}

void RecordingInputSink::setRefusal(Refusal refusal) {
    std::lock_guard<std::mutex> lock(mutex_);
    refusal_ = std::move(refusal);
}

std::vector<RecordedInput> RecordingInputSink::inputs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inputs_;
}

std::size_t RecordingInputSink::refusedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
}

std::vector<RecordedInput> RecordingInputSink::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(inputs_, {});
}

bool RecordingInputSink::waitForInputs(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return recorded_.wait_for(lock, timeout, [&] { return inputs_.size() >= count; });
}

bool RecordingInputSink::record(const RecordedInput& input) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (refusal_ && refusal_(input)) {
            ++refused_;
            return false;
        }
        inputs_.push_back(input);
    }
    recorded_.notify_all();
    return true;
}

}  // namespace murel
