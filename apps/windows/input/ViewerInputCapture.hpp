#pragma once
// The viewer's input capture: turns what happens on the video surface (keys, pointer, buttons,
// wheel, input-method text, focus and mouse-capture changes) into the Controller's Input and
// ReleaseInput commands, and decides which keys stay local (Ctrl+Alt+Esc, F11, Escape in full
// screen, Alt+F4, input-method keys).
//
// It is the same state machine for every window system. A viewer window feeds it events in the
// neutral form below and implements ViewerInputPort for what only the window can do (focus,
// mouse capture, full screen, closing, posting to the Controller). Everything runs on the
// interface thread; nothing here locks. Port calls may re-enter the capture synchronously (a
// focus change delivering focusLost, a capture release delivering captureLost): that is safe.
//
// Feeding it from Win32 (the video surface's window procedure):
//   WM_MOUSEMOVE                        pointerMoved(GET_X_LPARAM, GET_Y_LPARAM)
//   WM_[LRM]BUTTONDOWN/UP (and DBLCLK)  buttonChanged(button, down, x, y)   (down for DBLCLK)
//   WM_MOUSEWHEEL                       wheelTurned(client x, client y, GET_WHEEL_DELTA_WPARAM)
//                                       (ScreenToClient on the message's screen position first)
//   WM_KEYDOWN/WM_SYSKEYDOWN/UP         keyChanged(windowsKeyEvent(wParam, lParam, down,
//                                         GetKeyState(VK_CONTROL) < 0, GetKeyState(VK_MENU) < 0,
//                                         input method open in IME_CMODE_NATIVE))
//   WM_IME_COMPOSITION + GCS_RESULTSTR  textEntered(result as UTF-8). Read the result with
//                                       ImmGetCompositionStringW (1..4096 bytes, even, two reads
//                                       agree) and convert strictly (WC_ERR_INVALID_CHARS); the
//                                       capture splits long text itself, so do not apply a
//                                       2048-byte limit to the UTF-8.
//   WM_CHAR, WM_SYSCHAR, WM_IME_STARTCOMPOSITION/ENDCOMPOSITION, other compositions: consume.
//   WM_KILLFOCUS focusLost(); WM_CAPTURECHANGED captureLost().
//   Check box 127 toggled: forwardingToggled(checked). WM_ACTIVATE inactive, closing, full-screen
//   toggle: releaseAll(). The status timer: sessionChanged(status.viewerInputActive,
//   status.videoRect). Connect (the viewer opens for a host): startViewing().
//
// Feeding it from X11: MotionNotify → pointerMoved; ButtonPress/Release 1/3/2 → buttonChanged
// (left/right/middle), 4/5 presses → wheelTurned(±120); KeyPress/KeyRelease →
// keyChanged(x11KeyEvent(...)) from apps/linux/input/X11KeyEvent.hpp; committed input-method text →
// textEntered; FocusOut → focusLost; losing an active pointer grab with buttons down →
// captureLost. X has no mouse capture to take: captureMouse/releaseMouse may do nothing (the
// server grabs the pointer while a button is down). focusSurface asks for the focus
// (XSetInputFocus); surfaceHasFocus may report the request at once rather than wait for FocusIn.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "app/Command.hpp"
#include "app/Status.hpp"

namespace murel {

// What a key means to the viewer itself, apart from the physical key it is.
enum class LocalKey : std::uint8_t {
    Other,
    Character,    // space, digits, letters, punctuation: typed through an open input method
    Escape,
    F4,
    F11,
    InputMethod,  // Kana/Hangul, IME on, IME off, and keys the input method is processing
};

struct KeyEvent {
    // The set-1 scan code and extended flag as the window system reports the key (Windows
    // keyboard messages: Num Lock is 0x45 extended, Pause is 0x45 plain).
    std::uint32_t scanCode = 0;
    bool extended = false;
    bool down = true;
    bool repeat = false;       // an auto-repeated key-down
    bool ctrlHeld = false;     // either Ctrl is down
    bool altHeld = false;      // either Alt is down
    bool altContext = false;   // Alt was down when this key was pressed (Windows lParam bit 29)
    bool inputMethodNative = false;  // an input method is open in native conversion mode
    LocalKey role = LocalKey::Other;
};

// The Windows reading of a keyboard message: virtual key, lParam (scan code bits 16-23, extended
// bit 24, Alt context bit 29, previous state bit 30) and the modifier and input-method state.
KeyEvent windowsKeyEvent(std::uint32_t virtualKey, std::uint32_t lParam, bool down, bool ctrlHeld,
                         bool altHeld, bool inputMethodNative);

// The role of a Windows virtual-key code.
LocalKey windowsKeyRole(std::uint32_t virtualKey);

// The key code to send for a key as keyboard messages report it: the key table's row, except
// that Num Lock arrives extended and Pause (no code) arrives as Num Lock's plain scan code.
std::optional<int> keyCodeForKeyMessage(std::uint32_t scanCode, bool extended);

// A point of the surface's client area as a point of the picture, each coordinate 0..1; the
// edges belong to the picture. Nothing outside it, for a rectangle that is empty or not finite,
// or for a point that is not finite.
std::optional<std::pair<double, double>> mapToFrame(double px, double py, const app::VideoRect& rect);

// What only the viewer window can do. Implemented by each window system's viewer.
class ViewerInputPort {
public:
    virtual ~ViewerInputPort() = default;
    // The Controller's post; false when refused.
    virtual bool post(app::Command command) = 0;
    // The video surface has the keyboard focus.
    virtual bool surfaceHasFocus() = 0;
    virtual void focusSurface() = 0;
    // Hands the keyboard to the input-forwarding check box (the surface loses the focus).
    virtual void focusForwardingToggle() = 0;
    // Takes the mouse for the surface until it is released (SetCapture).
    virtual void captureMouse() = 0;
    // Lets the mouse go if the surface holds it (ReleaseCapture).
    virtual void releaseMouse() = 0;
    virtual bool isFullscreen() = 0;
    // Switches between full screen and windowed (the window's own toggle, which also calls
    // releaseAll()).
    virtual void toggleFullscreen() = 0;
    // Closes the viewer window, which ends the session.
    virtual void closeViewer() = 0;
};

class ViewerInputCapture {
public:
    explicit ViewerInputCapture(ViewerInputPort& port, bool forwarding = true);

    // A new connection: pointer sequences start again.
    void startViewing();
    // From each Status snapshot.
    void sessionChanged(bool viewerInputActive, const app::VideoRect& videoRect);

    // Client-pixel positions of the video surface.
    void pointerMoved(double px, double py);
    // button: 0 left, 1 right, 2 middle (others are ignored).
    void buttonChanged(int button, bool down, double px, double py);
    // wheelDelta: 120 per notch, positive away from the user.
    void wheelTurned(double px, double py, int wheelDelta);
    void keyChanged(const KeyEvent& key);
    // Committed input-method text (or any typed text), UTF-8.
    void textEntered(std::string_view utf8);

    void focusLost();
    void captureLost();
    // The input-forwarding check box was toggled to `checked`.
    void forwardingToggled(bool checked);

    // Lets go of everything: clears the held buttons, asks the host to release all, and lets the
    // mouse go.
    void releaseAll();

    bool forwarding() const { return forwarding_; }
    std::uint32_t heldButtons() const { return heldButtons_; }
    std::uint64_t pointerSequence() const { return pointerSequence_; }
    bool isSwallowed(LocalKey key) const { return swallowedKeys_.count(key) != 0; }

private:
    bool sending();
    void postInput(Json message, int channel);

    ViewerInputPort& port_;
    bool forwarding_;
    bool viewerInputActive_ = false;
    app::VideoRect videoRect_;
    std::uint32_t heldButtons_ = 0;
    std::uint64_t pointerSequence_ = 0;
    std::set<LocalKey> swallowedKeys_;
};

}  // namespace murel
