#include "protocol/RequestId.hpp"

#include <exception>
#include <random>

namespace murel {
namespace {

constexpr const char* kCannotCreate = "Cannot create stream settings request";
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool isDashPosition(std::size_t index) { return index == 8 || index == 13 || index == 18 || index == 23; }

void appendHex(std::string& out, std::uint64_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHexDigits[(value >> shift) & 0xF];
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

GuidSource randomGuidSource() {
    return []() -> std::optional<Guid> {
        std::random_device device;
        std::uint8_t bytes[16];
        for (std::size_t i = 0; i < sizeof bytes; i += 4) {
            const std::uint32_t word = device();
            for (std::size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
        }
        Guid guid = guidFromBytes(std::span<const std::uint8_t, 16>(bytes));
        guid.data3 = static_cast<std::uint16_t>((guid.data3 & 0x0FFF) | 0x4000);
        guid.data4[0] = static_cast<std::uint8_t>((guid.data4[0] & 0x3F) | 0x80);
        return guid;
    };
}

Guid guidFromBytes(std::span<const std::uint8_t, 16> bytes) {
    Guid guid;
    guid.data1 = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                 static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    guid.data2 = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
    guid.data3 = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
    for (std::size_t i = 0; i < 8; ++i) guid.data4[i] = bytes[8 + i];
    return guid;
}

std::string formatRequestId(const Guid& guid) {
    std::string text;
    text.reserve(kRequestIdLength);
    appendHex(text, guid.data1, 8);
    text += '-';
    appendHex(text, guid.data2, 4);
    text += '-';
    appendHex(text, guid.data3, 4);
    text += '-';
    appendHex(text, guid.data4[0], 2);
    appendHex(text, guid.data4[1], 2);
    text += '-';
    for (std::size_t i = 2; i < 8; ++i) appendHex(text, guid.data4[i], 2);
    return text;
}

std::string newRequestId(const GuidSource& source) {
    std::optional<Guid> guid;
    try {
        if (source) guid = source();
    } catch (const std::exception&) {
        guid.reset();
    }
    if (!guid) throw ProtocolError(kCannotCreate);
    return formatRequestId(*guid);
}

std::optional<std::string> parseRequestId(const Json& value) {
    if (!value.is_string()) return std::nullopt;
    const auto& text = value.get_ref<const std::string&>();
    if (text.size() != kRequestIdLength) return std::nullopt;
    std::string upper(kRequestIdLength, '-');
    for (std::size_t i = 0; i < kRequestIdLength; ++i) {
        if (isDashPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            continue;
        }
        const int digit = hexValue(text[i]);
        if (digit < 0) return std::nullopt;
        upper[i] = kHexDigits[digit];
    }
    return upper;
}

}  // namespace murel
