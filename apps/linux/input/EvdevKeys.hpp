#pragma once
// Linux evdev key codes (linux/input-event-codes.h numbering; an X server with the evdev keymap
// uses keycode = evdev code + 8) against the set-1 scan codes of remote input.

#include <cstdint>
#include <optional>

#include "input/InputMessage.hpp"

namespace murel {

inline constexpr std::uint32_t kX11KeycodeOffset = 8;

// Host direction: the evdev key that a scan code of the key table presses (Num Lock is the
// plain 0x45, as the keyboard sends it). Nothing for scan codes without a key here.
std::optional<std::uint32_t> evdevKeyForScan(ScanKey key);

// Viewer direction: the scan code and extended flag of an evdev key as Windows keyboard messages
// report them, for ViewerInputCapture (Num Lock 0x45 extended, Pause 0x45 plain). Nothing for
// keys without a scan code here.
std::optional<ScanKey> scanForEvdevKey(std::uint32_t evdevKey);

}  // namespace murel
