#pragma once
// Bounded JSON parsing, the one error type, and the shared validators of everything that arrives
// from outside (control-service replies, signaling, saved credentials, remote input).

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace murel {

using Json = nlohmann::json;

// The one failure type. Its text is an English sentence shown to the user unchanged.
class ProtocolError : public std::exception {
public:
    explicit ProtocolError(const char* message) : message_(message) {}
    explicit ProtocolError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

inline constexpr std::size_t kControlBodyLimit = 131072;
inline constexpr std::size_t kSignalingMessageLimit = 131072;
inline constexpr std::size_t kCredentialRecordLimit = 2560;
inline constexpr std::size_t kInputMessageLimit = 4096;

// The session's two data channels, numbered as input messages and channel events name them.
inline constexpr std::int32_t kControlChannel = 0;  // "murel.control.v1": reliable, ordered
inline constexpr std::int32_t kPointerChannel = 1;  // "murel.pointer.v1": unordered, never retransmitted
inline constexpr int kMaxJsonDepth = 32;

// Parses one received message: 1..limit bytes, strict JSON, at most 32 containers deep, an object
// at top level.
Json parseWire(std::string_view message, std::size_t limit);
// parseWire that also refuses a member name given twice in one object (kDuplicateMemberName), for
// text that is passed on: parsers disagree on which of the two counts.
inline constexpr const char* kDuplicateMemberName = "Duplicate member name";
Json parseWireUnique(std::string_view message, std::size_t limit);

// 1..256 bytes of ASCII letters, digits, '-' and '_'.
void validateIdentifier(std::string_view value);
// 1..4096 bytes in 0x21..0x7E.
void validateCredential(std::string_view value);

struct ServerOrigin {
    std::string origin;
    std::string host;
    std::uint16_t port = 0;
    bool secure = false;

    bool operator==(const ServerOrigin&) const = default;
};

ServerOrigin parseServerOrigin(std::string_view text);

// Member accessors: a missing member or a wrong type is "Invalid protocol message".
std::string requireString(const Json& object, std::string_view key, std::size_t maxBytes);
bool requireBool(const Json& object, std::string_view key);
bool isNonNegativeInteger(const Json& value);

inline void throwUnless(bool condition, const char* message) {
    if (!condition) throw ProtocolError(message);
}

// Compact serialisation (no spaces, keys ascending, UTF-8 unescaped); invalid UTF-8 throws.
inline std::string toCompactJson(const Json& value) { return value.dump(); }

}  // namespace murel
