#pragma once
// An InputSink that injects nothing and remembers what it was asked to do, in order. It can be
// told to refuse chosen inputs, as a system refuses input to a desktop it protects. Used by the
// tests and by a host that has no desktop to drive (a synthetic scene).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "input/InputSink.hpp"

namespace murel {

struct RecordedInput {
    enum class Kind : std::uint8_t { Move, Button, Key, Wheel, Character };

    Kind kind = Kind::Move;
    std::int32_t x = 0;  // Move: absolute coordinates
    std::int32_t y = 0;
    MouseButton button = MouseButton::Left;  // Button
    ScanKey key;                             // Key
    bool down = false;                       // Button, Key
    std::int32_t wheel = 0;                  // Wheel
    char32_t character = 0;                  // Character

    static RecordedInput moved(std::int32_t ax, std::int32_t ay);
    static RecordedInput pressed(MouseButton button, bool down);
    static RecordedInput keyed(ScanKey key, bool down);
    static RecordedInput wheeled(std::int32_t amount);
    static RecordedInput typed(char32_t codePoint);

    bool operator==(const RecordedInput&) const = default;
};

// For test failure messages: "move 28093,0", "button 0 down", "key 30 up", "key E0 72 down",
// "wheel -120", "char U+D55C".
std::string describe(const RecordedInput& input);
// Lets test frameworks print a RecordedInput with describe().
inline void PrintTo(const RecordedInput& input, std::ostream* out) { *out << describe(input); }

class RecordingInputSink final : public InputSink {
public:
    // Decides whether the system takes an input; true means refuse it (not recorded).
    using Refusal = std::function<bool(const RecordedInput&)>;

    explicit RecordingInputSink(DesktopRect desktop = {0, 0, 1920, 1080});

    DesktopRect virtualDesktop() override;
    bool moveTo(std::int32_t ax, std::int32_t ay) override;
    bool button(MouseButton button, bool down) override;
    bool key(ScanKey key, bool down) override;
    bool wheel(std::int32_t amount) override;
    bool character(char32_t codePoint) override;

    void setVirtualDesktop(DesktopRect desktop);
    void setRefusal(Refusal refusal);

    std::vector<RecordedInput> inputs() const;
    std::size_t refusedCount() const;
    // Returns what was recorded and forgets it.
    std::vector<RecordedInput> take();
    // Waits until at least `count` inputs are recorded; false when the time ran out first.
    bool waitForInputs(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    bool record(const RecordedInput& input);

    mutable std::mutex mutex_;
    mutable std::condition_variable recorded_;
    DesktopRect desktop_;
    Refusal refusal_;
    std::vector<RecordedInput> inputs_;
    std::size_t refused_ = 0;
};

}  // namespace murel
