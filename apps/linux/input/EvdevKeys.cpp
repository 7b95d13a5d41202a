#include "EvdevKeys.hpp"

namespace murel {
namespace {

constexpr std::uint32_t kNumLock = 69;
constexpr std::uint32_t kPause = 119;

// Keys sent with the 0xE0 prefix: scan code, evdev code.
struct ExtendedRow {
    std::uint16_t scan;
    std::uint16_t evdev;
};
constexpr ExtendedRow kExtended[] = {
    {0x1C, 96},   // keypad Enter
    {0x1D, 97},   // right Ctrl
    {0x35, 98},   // keypad divide
    {0x37, 99},   // Print Screen
    {0x38, 100},  // right Alt
    {0x47, 102},  // Home
    {0x48, 103},  // Up
    {0x49, 104},  // Page Up
    {0x4B, 105},  // Left
    {0x4D, 106},  // Right
    {0x4F, 107},  // End
    {0x50, 108},  // Down
    {0x51, 109},  // Page Down
    {0x52, 110},  // Insert
    {0x53, 111},  // Delete
    {0x5B, 125},  // left Windows
    {0x5C, 126},  // right Windows
    {0x5D, 127},  // Menu
};

// Plain scan codes 1..88 are the evdev codes themselves, except the two that Linux numbers
// apart from the PC keyboard's set.
bool plainScanIsEvdev(std::uint32_t scan) { return scan >= 1 && scan <= 88 && scan != 84 && scan != 85; }

}  // namespace

std::optional<std::uint32_t> evdevKeyForScan(ScanKey key) {
    if (!key.extended) {
        if (plainScanIsEvdev(key.scanCode)) return key.scanCode;
        return std::nullopt;
    }
    for (const ExtendedRow& row : kExtended) {
        if (row.scan == key.scanCode) return row.evdev;
    }
    return std::nullopt;
}

std::optional<ScanKey> scanForEvdevKey(std::uint32_t evdevKey) {
    if (evdevKey == kNumLock) return ScanKey{0x45, true};
    if (evdevKey == kPause) return ScanKey{0x45, false};
    if (plainScanIsEvdev(evdevKey)) return ScanKey{static_cast<std::uint16_t>(evdevKey), false};
    for (const ExtendedRow& row : kExtended) {
        if (row.evdev == evdevKey) return ScanKey{row.scan, true};
    }
    return std::nullopt;
}

}  // namespace murel
