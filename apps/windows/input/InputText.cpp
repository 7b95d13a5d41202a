#include "input/InputText.hpp"

#include <cstdint>
#include <limits>

#include "input/InputMessage.hpp"

namespace murel {
namespace {

// Bytes of the UTF-8 sequence that `lead` starts, 0 for a byte that cannot start one.
std::size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;  // continuation bytes, C0/C1 (always overlong), F5..FF
}

bool keptByHost(char32_t c) {
    if (c == 0x09 || c == 0x0A || c == 0x0D) return true;
    return c >= 0x20 && c != 0x7F;
}

// Bytes a character takes inside the serialised JSON string.
std::size_t escapedSize(char32_t c, std::size_t utf8Size) {
    switch (c) {
    case U'"':
    case U'\\':
    case U'\t':
    case U'\n':
    case U'\r':
        return 2;
    default:
        return utf8Size;
    }
}

// What a "text" message costs around its text, with the widest sequence the sender may write.
std::size_t textMessageOverhead() {
    static const std::size_t overhead =
        serializeInputMessage(makeTextInput("", std::numeric_limits<std::uint64_t>::max())).size();
    return overhead;
}

}  // namespace

std::optional<std::u32string> decodeUtf8(std::string_view utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = sequenceLength(lead);
        if (length == 0 || utf8.size() - i < length) return std::nullopt;
        if (length == 1) {
            out.push_back(lead);
            ++i;
            continue;
        }
        char32_t value = lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            value = (value << 6) | (next & 0x3F);
        }
        // Shortest form only, no surrogates, nothing above the last plane.
        if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) ||
            (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
            return std::nullopt;
        }
        out.push_back(value);
        i += length;
    }
    return out;
}

std::vector<std::string> splitInputText(std::string_view utf8) {
    std::vector<std::string> pieces;
    if (utf8.empty() || utf8.size() > kCapturedTextLimit || !decodeUtf8(utf8)) return pieces;

    const std::size_t escapedBudget = kInputMessageLimit - textMessageOverhead();
    std::string current;
    std::size_t currentEscaped = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        // Well-formed, so the lead byte tells the length.
        const std::size_t length = sequenceLength(static_cast<unsigned char>(utf8[i]));
        const std::string_view bytes = utf8.substr(i, length);
        i += length;
        const char32_t first = static_cast<unsigned char>(bytes[0]);
        if (length == 1 && !keptByHost(first)) continue;

        const std::size_t escaped = escapedSize(length == 1 ? first : 0x80, length);
        if (current.size() + length > kInputTextLimit || currentEscaped + escaped > escapedBudget) {
            pieces.push_back(std::move(current));
            current.clear();
            currentEscaped = 0;
        }
        current.append(bytes);
        currentEscaped += escaped;
    }
    if (!current.empty()) pieces.push_back(std::move(current));
    return pieces;
}

}  // namespace murel
