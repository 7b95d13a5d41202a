#include "input/InputMessage.hpp"

#include <cmath>

namespace murel {
namespace {

struct KeyRow {
    std::uint8_t code;
    std::uint8_t scanCode;
    bool extended;
};

// Key codes follow the macOS virtual key numbering (US names); scan codes are Windows set 1.
// Ordered by code: the viewer's reverse lookup takes the first row that matches.
constexpr KeyRow kKeyRows[] = {
    {0, 30, false},   // A
    {1, 31, false},   // S
    {2, 32, false},   // D
    {3, 33, false},   // F
    {4, 35, false},   // H
    {5, 34, false},   // G
    {6, 44, false},   // Z
    {7, 45, false},   // X
    {8, 46, false},   // C
    {9, 47, false},   // V
    {10, 86, false},  // 102nd key (ISO)
    {11, 48, false},  // B
    {12, 16, false},  // Q
    {13, 17, false},  // W
    {14, 18, false},  // E
    {15, 19, false},  // R
    {16, 21, false},  // Y
    {17, 20, false},  // T
    {18, 2, false},   // 1
    {19, 3, false},   // 2
    {20, 4, false},   // 3
    {21, 5, false},   // 4
    {22, 7, false},   // 6
    {23, 6, false},   // 5
    {24, 13, false},  // equals
    {25, 10, false},  // 9
    {26, 8, false},   // 7
    {27, 12, false},  // minus
    {28, 9, false},   // 8
    {29, 11, false},  // 0
    {30, 27, false},  // right bracket
    {31, 24, false},  // O
    {32, 22, false},  // U
    {33, 26, false},  // left bracket
    {34, 23, false},  // I
    {35, 25, false},  // P
    {36, 28, false},  // Enter
    {37, 38, false},  // L
    {38, 36, false},  // J
    {39, 40, false},  // apostrophe
    {40, 37, false},  // K
    {41, 39, false},  // semicolon
    {42, 43, false},  // backslash
    {43, 51, false},  // comma
    {44, 53, false},  // slash
    {45, 49, false},  // N
    {46, 50, false},  // M
    {47, 52, false},  // period
    {48, 15, false},  // Tab
    {49, 57, false},  // Space
    {50, 41, false},  // grave accent
    {51, 14, false},  // Backspace
    {53, 1, false},   // Escape
    {54, 92, true},   // right Windows
    {55, 91, true},   // left Windows
    {56, 42, false},  // left Shift
    {57, 58, false},  // Caps Lock
    {58, 56, false},  // left Alt
    {59, 29, false},  // left Ctrl
    {60, 54, false},  // right Shift
    {61, 56, true},   // right Alt
    {62, 29, true},   // right Ctrl
    {65, 83, false},  // keypad decimal
    {67, 55, false},  // keypad multiply
    {69, 78, false},  // keypad plus
    {71, 69, false},  // Num Lock
    {75, 53, true},   // keypad divide
    {76, 28, true},   // keypad Enter
    {78, 74, false},  // keypad minus
    {82, 82, false},  // keypad 0
    {83, 79, false},  // keypad 1
    {84, 80, false},  // keypad 2
    {85, 81, false},  // keypad 3
    {86, 75, false},  // keypad 4
    {87, 76, false},  // keypad 5
    {88, 77, false},  // keypad 6
    {89, 71, false},  // keypad 7
    {91, 72, false},  // keypad 8
    {92, 73, false},  // keypad 9
    {96, 63, false},  // F5
    {97, 64, false},  // F6
    {98, 65, false},  // F7
    {99, 61, false},  // F3
    {100, 66, false}, // F8
    {101, 67, false}, // F9
    {103, 87, false}, // F11
    {109, 68, false}, // F10
    {111, 88, false}, // F12
    {114, 82, true},  // Insert
    {115, 71, true},  // Home
    {116, 73, true},  // Page Up
    {117, 83, true},  // Delete
    {118, 62, false}, // F4
    {119, 79, true},  // End
    {120, 60, false}, // F2
    {121, 81, true},  // Page Down
    {122, 59, false}, // F1
    {123, 75, true},  // Left
    {124, 77, true},  // Right
    {125, 80, true},  // Down
    {126, 72, true},  // Up
};

// Direct index for the host direction; code 0 is mapped, so presence needs its own flag.
struct CodeSlot {
    ScanKey key;
    bool mapped = false;
};

constexpr std::array<CodeSlot, kKeyCodeCount> buildCodeSlots() {
    std::array<CodeSlot, kKeyCodeCount> slots{};
    for (const KeyRow& row : kKeyRows) {
        slots[row.code] = CodeSlot{ScanKey{row.scanCode, row.extended}, true};
    }
    return slots;
}

constexpr auto kCodeSlots = buildCodeSlots();

const Json* member(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

bool isUnitCoordinate(const Json* value) {
    if (value == nullptr || !value->is_number()) return false;
    const double v = value->get<double>();
    return v >= 0.0 && v <= 1.0;  // false for NaN too
}

bool hasPointerPosition(const Json& message) {
    return isUnitCoordinate(member(message, "x")) && isUnitCoordinate(member(message, "y"));
}

bool hasCodeAtMost(const Json& message, std::uint64_t maximum) {
    const Json* code = member(message, "code");
    return code != nullptr && isNonNegativeInteger(*code) && code->get<std::uint64_t>() <= maximum;
}

bool hasDownFlag(const Json& message) {
    const Json* down = member(message, "down");
    return down != nullptr && down->is_boolean();
}

bool isAcceptableText(const Json* value) {
    if (value == nullptr || !value->is_string()) return false;
    const auto& text = value->get_ref<const std::string&>();
    if (text.empty() || text.size() > kInputTextLimit) return false;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0x7F) return false;
        if (u < 0x20 && u != 0x09 && u != 0x0A && u != 0x0D) return false;
    }
    return true;
}

bool checkMessage(InputSequenceState& state, const Json& message, int channel, std::int64_t nowMs) {
    if (channel != kControlChannel && channel != kPointerChannel) return false;
    if (!message.is_object()) return false;
    if (toCompactJson(message).size() > kInputMessageLimit) return false;

    const Json* version = member(message, "version");
    if (version == nullptr || !isNonNegativeInteger(*version) ||
        version->get<std::uint64_t>() != kInputProtocolVersion) {
        return false;
    }
    const Json* sequenceValue = member(message, "sequence");
    if (sequenceValue == nullptr || !isNonNegativeInteger(*sequenceValue)) return false;
    const auto sequence = sequenceValue->get<std::uint64_t>();

    const Json* kindValue = member(message, "kind");
    if (kindValue == nullptr || !kindValue->is_string()) return false;
    const auto& kind = kindValue->get_ref<const std::string&>();
    if (kind.size() > 16) return false;

    // Pointer moves only on the lossy channel; everything whose loss could leave a key or button
    // stuck only on the reliable one.
    const bool isMove = kind == "move";
    if (isMove != (channel == kPointerChannel)) return false;

    if (isMove) {
        if (!hasPointerPosition(message)) return false;
    } else if (kind == "button") {
        if (!hasPointerPosition(message) || !hasCodeAtMost(message, 2) || !hasDownFlag(message)) {
            return false;
        }
    } else if (kind == "key") {
        if (!hasCodeAtMost(message, kKeyCodeCount - 1) || !hasDownFlag(message)) return false;
    } else if (kind == "scroll") {
        const Json* delta = member(message, "delta");
        if (delta == nullptr || !delta->is_number()) return false;
        if (!(std::fabs(delta->get<double>()) <= kScrollDeltaLimit)) return false;
    } else if (kind == "text") {
        if (!isAcceptableText(member(message, "text"))) return false;
    } else if (kind != "release" && kind != "keepalive") {
        return false;
    }

    const auto index = static_cast<std::size_t>(channel);
    if (state.hasSequence[index] && sequence <= state.lastSequence[index]) return false;

    state.lastSequence[index] = sequence;
    state.hasSequence[index] = true;
    state.lastAcceptedMs = nowMs;
    state.hasAccepted = true;
    return true;
}

Json baseInput(const char* kind, std::uint64_t sequence) {
    return Json{{"version", kInputProtocolVersion}, {"kind", kind}, {"sequence", sequence}};
}

}  // namespace

std::optional<ScanKey> scanKeyForCode(std::uint64_t keyCode) {
    if (keyCode >= kKeyCodeCount || !kCodeSlots[keyCode].mapped) return std::nullopt;
    return kCodeSlots[keyCode].key;
}

std::optional<int> keyCodeForScan(std::uint32_t scanCode, bool extended) {
    for (const KeyRow& row : kKeyRows) {
        if (row.scanCode == scanCode && row.extended == extended) return row.code;
    }
    return std::nullopt;
}

bool validateInputMessage(InputSequenceState& state, const Json& message, int channel,
                          std::int64_t nowMs) noexcept {
    try {
        // The state is only written after every check has passed, so a refusal leaves it as is.
        return checkMessage(state, message, channel, nowMs);
    } catch (...) {
        return false;
    }
}

bool inputTimedOut(const InputSequenceState& state, std::int64_t nowMs) noexcept {
    if (!state.hasAccepted) return false;
    if (nowMs < state.lastAcceptedMs) return true;
    // Unsigned difference: exact even when the two readings are far apart.
    const auto elapsed =
        static_cast<std::uint64_t>(nowMs) - static_cast<std::uint64_t>(state.lastAcceptedMs);
    return elapsed > static_cast<std::uint64_t>(kInputSilenceLimitMs);
}

Json makeMoveInput(std::uint64_t sequence, double x, double y) {
    Json message = baseInput("move", sequence);
    message["x"] = x;
    message["y"] = y;
    return message;
}

Json makeButtonInput(int button, bool down, double x, double y, std::uint64_t sequence) {
    Json message = baseInput("button", sequence);
    message["code"] = button;
    message["down"] = down;
    message["x"] = x;
    message["y"] = y;
    return message;
}

Json makeKeyInput(int keyCode, bool down, std::uint64_t sequence) {
    Json message = baseInput("key", sequence);
    message["code"] = keyCode;
    message["down"] = down;
    return message;
}

Json makeScrollInput(double delta, std::uint64_t sequence) {
    Json message = baseInput("scroll", sequence);
    message["delta"] = delta;
    return message;
}

Json makeTextInput(std::string_view utf8Text, std::uint64_t sequence) {
    Json message = baseInput("text", sequence);
    message["text"] = std::string(utf8Text);
    return message;
}

Json makeReleaseInput(std::uint64_t sequence) { return baseInput("release", sequence); }

Json makeKeepaliveInput(std::uint64_t sequence) { return baseInput("keepalive", sequence); }

void setInputSequence(Json& message, std::uint64_t sequence) { message["sequence"] = sequence; }

std::string serializeInputMessage(const Json& message) { return toCompactJson(message); }

}  // namespace murel
