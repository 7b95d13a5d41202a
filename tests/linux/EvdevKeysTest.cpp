#include <gtest/gtest.h>

#include <set>

#include "EvdevKeys.hpp"
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

}  // namespace
}  // namespace murel
