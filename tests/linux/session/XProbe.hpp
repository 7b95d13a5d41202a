#pragma once
// A test's own client of an X display: finds the viewer's window, reads what it shows and closes
// it as a window manager's close box does. Kept apart from the tests so that X11's macros never
// meet the test framework's names.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct _XDisplay;

namespace murel::test {

struct Grabbed {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> bgra;  // rows of width * 4 bytes
};

class XProbe {
public:
    explicit XProbe(const std::string& displayName);
    ~XProbe();

    XProbe(const XProbe&) = delete;
    XProbe& operator=(const XProbe&) = delete;

    // A mapped top-level window whose WM_CLASS name is `className`, waiting up to `timeout`.
    std::optional<unsigned long> findWindow(const std::string& className, std::chrono::milliseconds timeout);
    bool exists(unsigned long window);
    // The window's contents (24-bit TrueColor displays).
    std::optional<Grabbed> grab(unsigned long window);
    // WM_DELETE_WINDOW, as a close box sends it.
    void requestClose(unsigned long window);
    // Takes the keyboard focus away from every window, as switching to another program does.
    void dropFocus();
    // Where the pointer is on the root window.
    std::pair<int, int> pointer();
    // Binds each keysym to a keycode that had none, for good. xdotool would bind a character the
    // layout lacks only while it types it, and a client that reads the keymap after the key event
    // (as Xlib does, lazily) may find it unbound again: typed text then goes missing under load.
    void bindKeysyms(const std::vector<unsigned long>& keysyms);

private:
    _XDisplay* display_ = nullptr;
};

}  // namespace murel::test
