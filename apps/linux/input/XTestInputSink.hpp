#pragma once
// The host's input sink on Linux: XTest on an X display of its own connection.
//
// Pointer moves go to absolute root-window pixels, buttons 0/1/2 are X buttons 1/3/2, wheel units
// accumulate and every whole notch (120) is one click of button 4 (away from the user) or 5.
// Keys go by evdev code (X keycode = evdev + 8). A character is typed on a spare keycode (one
// the keymap leaves empty) that is given the character's keysym in every column, so held
// modifiers do not change it. A keycode keeps its character while it is in use; the least
// recently used one is reassigned when all are taken, and all are emptied again when the sink
// is destroyed. Line feed and carriage return type Return (a CR LF pair types it once), tab Tab.
//
// Not thread-safe by itself: the InputInjector calls it under its lock.

#include <cstdint>
#include <memory>
#include <string>

#include "input/InputSink.hpp"

namespace murel {

class XTestInputSink final : public InputSink {
public:
    // Connects to `display` (empty: $DISPLAY). Throws ProtocolError when the display cannot be
    // opened or has no XTest extension.
    explicit XTestInputSink(const std::string& display = {});
    ~XTestInputSink() override;

    XTestInputSink(const XTestInputSink&) = delete;
    XTestInputSink& operator=(const XTestInputSink&) = delete;

    DesktopRect virtualDesktop() override;
    bool moveTo(std::int32_t ax, std::int32_t ay) override;
    bool button(MouseButton button, bool down) override;
    bool key(ScanKey key, bool down) override;
    bool wheel(std::int32_t amount) override;
    bool character(char32_t codePoint) override;

    // How many keycodes are free for typing characters.
    std::size_t spareKeycodes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace murel
