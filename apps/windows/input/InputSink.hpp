#pragma once
// Where the host's InputInjector puts its input: the operating system's injection primitive.
// Windows: SendInput + GetSystemMetrics (win/SendInputSink); Linux: XTest (apps/linux/input);
// tests: RecordingInputSink.
//
// Every call injects exactly one input event and says whether the system took it. The injector
// calls a sink only while holding its own lock, so a sink is never entered from two threads at
// once, though successive calls may come from different threads (the Controller's worker and the
// injector's watchdog).

#include <cstdint>

#include "input/InputMessage.hpp"

namespace murel {

// A rectangle in virtual-desktop pixels. Doubles, because the coordinates are checked for
// finiteness and sizes before they are used.
struct DesktopRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const DesktopRect&) const = default;
};

inline constexpr std::int32_t kAbsoluteCoordinateMax = 65535;  // absolute pointer coordinates
inline constexpr std::int32_t kWheelNotch = 120;                // wheel units of one notch

enum class MouseButton : std::int32_t { Left = 0, Right = 1, Middle = 2 };

class InputSink {
public:
    virtual ~InputSink() = default;

    // The whole virtual desktop (every monitor) in pixels: origin and size.
    virtual DesktopRect virtualDesktop() = 0;

    // Pointer to an absolute point: 0..65535 on each axis, 0 the virtual desktop's first pixel and
    // 65535 its last (x = left + ax * (width - 1) / 65535).
    virtual bool moveTo(std::int32_t ax, std::int32_t ay) = 0;

    virtual bool button(MouseButton button, bool down) = 0;

    // A physical key by its set-1 scan code (the key table's form, e.g. Num Lock 0x45 without the
    // extended flag).
    virtual bool key(ScanKey key, bool down) = 0;

    // Vertical wheel in 1/120 notches, positive away from the user; never 0.
    virtual bool wheel(std::int32_t amount) = 0;

    // Types one Unicode scalar value (never a surrogate): its press and release.
    virtual bool character(char32_t codePoint) = 0;
};

}  // namespace murel
