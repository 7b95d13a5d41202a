#pragma once
// Request IDs of stream-settings changes: GUID text without braces, 36 upper-case hexadecimal
// characters in groups 8-4-4-4-12.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "protocol/Wire.hpp"

namespace murel {

// Field layout of a Windows GUID, so a platform source can copy one across field by field.
struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::uint8_t data4[8] = {};

    bool operator==(const Guid&) const = default;
};

inline constexpr std::size_t kRequestIdLength = 36;

// Produces a fresh GUID, or nothing when the platform cannot make one. May also throw.
using GuidSource = std::function<std::optional<Guid>()>;

// Portable source: a random (version 4, RFC 4122 variant) GUID from std::random_device.
GuidSource randomGuidSource();

// Reads a GUID from its 16-byte in-memory form, whose first three fields are little-endian.
Guid guidFromBytes(std::span<const std::uint8_t, 16> bytes);

// The GUID as the platform's own formatter writes it, without the braces.
std::string formatRequestId(const Guid& guid);

// A new ID from the source; any failure of the source is "Cannot create stream settings request".
std::string newRequestId(const GuidSource& source);

// A received requestID in upper case, or nothing when it is not a 36-character GUID text.
std::optional<std::string> parseRequestId(const Json& value);

}  // namespace murel
