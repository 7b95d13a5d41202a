#pragma once
// The X11 viewer's reading of a key event for ViewerInputCapture: the evdev key (keycode − 8) in
// the keyboard-message form of scan codes, the modifier state, and what the key means locally
// (from its keysym).

#include <cstdint>

#include "input/ViewerInputCapture.hpp"

namespace murel {

// keycode, keysym (XLookupKeysym(event, 0)) and state as the XKeyEvent carries them; `repeat` for
// a KeyPress that the server auto-repeated (with detectable auto-repeat: a press without a
// release before it); `inputMethodComposing` while an input method turns keys into text.
KeyEvent x11KeyEvent(unsigned keycode, unsigned long keysym, unsigned state, bool down, bool repeat,
                     bool inputMethodComposing = false);

}  // namespace murel
