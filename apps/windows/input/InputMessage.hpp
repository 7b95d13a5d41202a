#pragma once
// Remote-input messages (protocol version 1): the physical key-code table shared by viewer and host,
// the host's acceptance rules with per-channel sequence state, the silence rule, and builders for
// the messages the viewer sends.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/Wire.hpp"

namespace murel {

inline constexpr std::uint64_t kInputProtocolVersion = 1;
inline constexpr std::uint64_t kKeyCodeCount = 128;      // key codes are 0..127
inline constexpr std::size_t kInputTextLimit = 2048;     // bytes of UTF-8 in a "text" message
inline constexpr double kScrollDeltaLimit = 1000.0;
inline constexpr std::int64_t kInputSilenceLimitMs = 749;  // silent for longer than this: release

// A Windows set-1 keyboard scan code and whether the key sends the 0xE0 prefix.
struct ScanKey {
    std::uint16_t scanCode = 0;
    bool extended = false;

    bool operator==(const ScanKey&) const = default;
};

// Host direction: the scan code of a key code; nothing for codes without a Windows mapping.
std::optional<ScanKey> scanKeyForCode(std::uint64_t keyCode);

// Viewer direction: the key code of a scan code and extended flag (first table row with both
// equal); nothing when no row matches, and then the key is not sent.
std::optional<int> keyCodeForScan(std::uint32_t scanCode, bool extended);

// What the receiver remembers between messages. Cleared whenever the host starts or stops
// accepting input.
struct InputSequenceState {
    std::array<std::uint64_t, 2> lastSequence{};  // indexed by channel
    std::array<bool, 2> hasSequence{};
    std::int64_t lastAcceptedMs = 0;               // steady clock, either channel
    bool hasAccepted = false;

    void clear() { *this = InputSequenceState{}; }
};

// Checks one parsed message that arrived on `channel` (kControlChannel or kPointerChannel) at
// `nowMs`. On acceptance the channel's sequence and the time of the last accepted message are
// updated and true is returned; otherwise the state is left exactly as it was. Never throws.
bool validateInputMessage(InputSequenceState& state, const Json& message, int channel,
                          std::int64_t nowMs) noexcept;

// True when something was accepted before and either the clock went backwards since or more than
// 749 ms have passed.
bool inputTimedOut(const InputSequenceState& state, std::int64_t nowMs) noexcept;

// Viewer-side builders. Control-channel messages are built with sequence 0 and get their real
// sequence from the sender's counter just before sending (setInputSequence).
Json makeMoveInput(std::uint64_t sequence, double x, double y);
Json makeButtonInput(int button, bool down, double x, double y, std::uint64_t sequence = 0);
Json makeKeyInput(int keyCode, bool down, std::uint64_t sequence = 0);
Json makeScrollInput(double delta, std::uint64_t sequence = 0);
Json makeTextInput(std::string_view utf8Text, std::uint64_t sequence = 0);
Json makeReleaseInput(std::uint64_t sequence = 0);
Json makeKeepaliveInput(std::uint64_t sequence = 0);

void setInputSequence(Json& message, std::uint64_t sequence);

// Compact serialisation of an input message (no spaces, keys ascending, UTF-8 unescaped); invalid
// UTF-8 throws the JSON library's exception. The size limit is the data channel's to enforce.
std::string serializeInputMessage(const Json& message);

}  // namespace murel
