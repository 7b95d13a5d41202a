#pragma once
// The host's input sink on Windows: every input is one SendInput call with a count of 1, time 0
// and no extra information; a result other than 1 means the system did not take it (typically
// the secure desktop, or a window of higher integrity in the foreground). The virtual desktop
// comes from GetSystemMetrics, asked afresh each time.

#include "input/InputSink.hpp"

namespace murel::win {

class SendInputSink final : public InputSink {
public:
    DesktopRect virtualDesktop() override;
    // MOVE | VIRTUALDESK | ABSOLUTE with the coordinates as they are.
    bool moveTo(std::int32_t ax, std::int32_t ay) override;
    bool button(MouseButton button, bool down) override;
    // Virtual key 0, the scan code, SCANCODE (+ EXTENDEDKEY, + KEYUP).
    bool key(ScanKey key, bool down) override;
    bool wheel(std::int32_t amount) override;
    // Each UTF-16 unit (two for a character beyond the first plane): UNICODE, then
    // UNICODE | KEYUP.
    bool character(char32_t codePoint) override;
};

}  // namespace murel::win
