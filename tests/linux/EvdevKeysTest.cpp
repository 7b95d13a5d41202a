#include <gtest/gtest.h>

#include <set>

#include "EvdevKeys.hpp"
#include "X11KeyEvent.hpp"
#include "input/ViewerInputCapture.hpp"

namespace murel {
namespace {

TEST(EvdevKeys, EveryMappedKeyCodeHasAnEvdevKeyThatReadsBackAsTheSameCode) {
    std::set<std::uint32_t> seen;
    for (std::uint64_t code = 0; code < kKeyCodeCount; ++code) {
        const auto scan = scanKeyForCode(code);
        if (!scan) continue;
        const auto evdev = evdevKeyForScan(*scan);
        ASSERT_TRUE(evdev) << "code " << code;
        EXPECT_TRUE(seen.insert(*evdev).second) << "evdev key of code " << code << " used twice";
        // An X11 viewer reads the key back in the keyboard-message form the capture expects.
        const auto back = scanForEvdevKey(*evdev);
        ASSERT_TRUE(back) << "code " << code;
        EXPECT_EQ(keyCodeForKeyMessage(back->scanCode, back->extended), static_cast<int>(code)) << "code " << code;
    }
    EXPECT_EQ(seen.size(), 101u);
}

TEST(EvdevKeys, KnownKeys) {
    EXPECT_EQ(evdevKeyForScan({30, false}), 30u);   // A
    EXPECT_EQ(evdevKeyForScan({0x48, true}), 103u); // Up
    EXPECT_EQ(evdevKeyForScan({0x48, false}), 72u); // keypad 8
    EXPECT_EQ(evdevKeyForScan({0x1C, true}), 96u);  // keypad Enter
    EXPECT_EQ(evdevKeyForScan({0x38, true}), 100u); // right Alt
    EXPECT_EQ(evdevKeyForScan({0x5B, true}), 125u); // left Windows
    EXPECT_EQ(evdevKeyForScan({0x45, false}), 69u); // Num Lock, as the keyboard sends it
    EXPECT_EQ(evdevKeyForScan({87, false}), 87u);   // F11
    EXPECT_EQ(evdevKeyForScan({84, false}), std::nullopt);
    EXPECT_EQ(evdevKeyForScan({0x1E, true}), std::nullopt);
    EXPECT_EQ(evdevKeyForScan({0, false}), std::nullopt);

    // Keyboard-message form for the viewer: Num Lock extended, Pause plain.
    EXPECT_EQ(scanForEvdevKey(69), (ScanKey{0x45, true}));
    EXPECT_EQ(scanForEvdevKey(119), (ScanKey{0x45, false}));
    EXPECT_EQ(scanForEvdevKey(99), (ScanKey{0x37, true}));  // Print Screen
    EXPECT_EQ(scanForEvdevKey(0), std::nullopt);
    EXPECT_EQ(scanForEvdevKey(240), std::nullopt);
}

// X11 numbers, spelled out so that X11's macros stay out of the test: keysyms and state masks.
constexpr unsigned long kXkEscape = 0xFF1B, kXkF4 = 0xFFC1, kXkF11 = 0xFFC8, kXkA = 0x61, kXkNumLock = 0xFF7F,
                        kXkPause = 0xFF13, kXkHangul = 0xFF31, kXkHangulSyllable = 0x100AC00, kXkUp = 0xFF52;
constexpr unsigned kControlMask = 1u << 2, kMod1Mask = 1u << 3, kShiftMask = 1u << 0;

TEST(X11KeyEvent, KeysReachTheCaptureInTheKeyboardMessageForm) {
    const KeyEvent a = x11KeyEvent(38, kXkA, kShiftMask, true, false);
    EXPECT_EQ(keyCodeForKeyMessage(a.scanCode, a.extended), 0);
    EXPECT_EQ(a.role, LocalKey::Character);
    EXPECT_FALSE(a.ctrlHeld || a.altHeld || a.repeat);

    const KeyEvent up = x11KeyEvent(111, kXkUp, 0, false, true);
    EXPECT_EQ(keyCodeForKeyMessage(up.scanCode, up.extended), 126);
    EXPECT_FALSE(up.repeat) << "a release is never a repeat";

    const KeyEvent numLock = x11KeyEvent(77, kXkNumLock, 0, true, false);
    EXPECT_EQ(keyCodeForKeyMessage(numLock.scanCode, numLock.extended), 71);
    const KeyEvent pause = x11KeyEvent(127, kXkPause, 0, true, false);
    EXPECT_EQ(keyCodeForKeyMessage(pause.scanCode, pause.extended), std::nullopt);

    const KeyEvent unknown = x11KeyEvent(3, 0, 0, true, false);  // below the evdev range
    EXPECT_EQ(keyCodeForKeyMessage(unknown.scanCode, unknown.extended), std::nullopt);
}

TEST(X11KeyEvent, LocalKeysAndModifiers) {
    const KeyEvent escape = x11KeyEvent(9, kXkEscape, kControlMask | kMod1Mask, true, false);
    EXPECT_EQ(escape.role, LocalKey::Escape);
    EXPECT_TRUE(escape.ctrlHeld && escape.altHeld);
    const KeyEvent altF4 = x11KeyEvent(70, kXkF4, kMod1Mask, true, false);
    EXPECT_EQ(altF4.role, LocalKey::F4);
    EXPECT_TRUE(altF4.altContext);
    const KeyEvent f11 = x11KeyEvent(95, kXkF11, 0, true, true);
    EXPECT_EQ(f11.role, LocalKey::F11);
    EXPECT_TRUE(f11.repeat);
    EXPECT_EQ(x11KeyEvent(130, kXkHangul, 0, true, false).role, LocalKey::InputMethod);
    EXPECT_EQ(x11KeyEvent(200, kXkHangulSyllable, 0, true, false, true).role, LocalKey::Character);
    EXPECT_TRUE(x11KeyEvent(38, kXkA, 0, true, false, true).inputMethodNative);
    EXPECT_EQ(x11KeyEvent(111, kXkUp, 0, true, false).role, LocalKey::Other);
}

}  // namespace
}  // namespace murel
