#include "X11KeyEvent.hpp"

#include <X11/X.h>
#include <X11/keysym.h>

#include "EvdevKeys.hpp"

namespace murel {
namespace {

LocalKey roleOf(unsigned long keysym) {
    switch (keysym) {
    case XK_Escape:
        return LocalKey::Escape;
    case XK_F4:
        return LocalKey::F4;
    case XK_F11:
        return LocalKey::F11;
    case XK_Hangul:
    case XK_Hangul_Hanja:
    case XK_Kanji:
    case XK_Henkan:
    case XK_Muhenkan:
    case XK_Hiragana_Katakana:
    case XK_Zenkaku_Hankaku:
        return LocalKey::InputMethod;
    default:
        break;
    }
    // Keysyms that type a character: Latin-1 and the Unicode range.
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF) ||
        (keysym & 0xFF000000) == 0x01000000) {
        return LocalKey::Character;
    }
    return LocalKey::Other;
}

}  // namespace

KeyEvent x11KeyEvent(unsigned keycode, unsigned long keysym, unsigned state, bool down, bool repeat,
                     bool inputMethodComposing) {
    KeyEvent key;
    if (keycode >= kX11KeycodeOffset) {
        if (const auto scan = scanForEvdevKey(keycode - kX11KeycodeOffset)) {
            key.scanCode = scan->scanCode;
            key.extended = scan->extended;
        }
    }
    key.down = down;
    key.repeat = down && repeat;
    key.ctrlHeld = (state & ControlMask) != 0;
    key.altHeld = (state & Mod1Mask) != 0;
    key.altContext = key.altHeld;
    key.inputMethodNative = inputMethodComposing;
    key.role = roleOf(keysym);
    return key;
}

}  // namespace murel
