#pragma once
// Text for "text" input messages: strict UTF-8 decoding (the host types what it decodes) and the
// viewer's splitting of a long text into messages that each fit the data channel.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace murel {

// The Unicode scalar values of `utf8`, or nothing when it is not well-formed UTF-8 (overlong
// forms, surrogates, values above U+10FFFF, truncated or stray continuation bytes).
std::optional<std::u32string> decodeUtf8(std::string_view utf8);

// The most UTF-8 text the viewer accepts from one input-method result or one paste: what the
// longest input-method result (4096 bytes of UTF-16) can become.
inline constexpr std::size_t kCapturedTextLimit = 6144;

// Splits text typed on the viewer into the "text" of consecutive messages, in order, each cut
// at a character boundary, each 1 to 2048 bytes, and each small enough that its whole message,
// with the largest sequence number, serialises to at most 4096 bytes (quotes, backslashes, tabs
// and line breaks take two bytes once escaped). Characters the host would refuse (controls other
// than tab, line feed and carriage return, and DEL) are left out. Empty when the text is empty,
// longer than kCapturedTextLimit or not well-formed UTF-8.
std::vector<std::string> splitInputText(std::string_view utf8);

}  // namespace murel
