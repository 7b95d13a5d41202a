#pragma once
// Text helpers shared by the session-description parsers.

#include <charconv>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rtc::sdp {

inline bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

inline char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

inline std::string toLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower(c);
    return out;
}

inline bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

inline bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Fields separated by runs of spaces or tabs; at most `limit` fields (the rest fails the caller's
// checks).
inline std::vector<std::string_view> splitFields(std::string_view s, size_t limit = 256) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && isSpace(s[i])) ++i;
        size_t j = i;
        while (j < s.size() && !isSpace(s[j])) ++j;
        if (j > i) {
            if (out.size() == limit)
                throw std::invalid_argument("Invalid SDP: too many fields in one line");
            out.push_back(s.substr(i, j - i));
        }
        i = j;
    }
    return out;
}

// A decimal number made of digits only (no sign, no spaces) that fits T.
template <typename T>
std::optional<T> parseNumber(std::string_view s) {
    if (s.empty() || s.size() > 20) return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9') return std::nullopt;
    T value{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

// ice-char (RFC 8839): ALPHA / DIGIT / "+" / "/"
inline bool isIceChars(std::string_view s) {
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '+' || c == '/';
        if (!ok) return false;
    }
    return true;
}

// Printable text for a single line: no controls (tab allowed), no DEL.
inline bool isLineText(std::string_view s) {
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7f) return false;
    }
    return true;
}

inline void requireLineText(std::string_view s, const char* what) {
    if (!isLineText(s))
        throw std::invalid_argument(std::string(what) +
                                    " contains a line break or control character");
}

// Dotted quad, each part 0..255 without leading zeros beyond "0".
inline bool isIpv4(std::string_view s) {
    int parts = 0;
    size_t i = 0;
    while (true) {
        size_t j = i;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
        if (j == i || j - i > 3) return false;
        if (j - i > 1 && s[i] == '0') return false;
        auto v = parseNumber<unsigned>(s.substr(i, j - i));
        if (!v || *v > 255) return false;
        ++parts;
        if (j == s.size()) break;
        if (s[j] != '.' || parts == 4) return false;
        i = j + 1;
    }
    return parts == 4;
}

// RFC 4291 text form, optionally ending in a dotted quad; no zone.
inline bool isIpv6(std::string_view s) {
    if (s.size() < 2 || s.size() > 45) return false;
    int groups = 0;
    bool compressed = false;
    size_t i = 0;
    if (startsWith(s, "::")) {
        compressed = true;
        i = 2;
        if (i == s.size()) return true;
    } else if (s[0] == ':') {
        return false;
    }
    while (i < s.size()) {
        size_t j = i;
        while (j < s.size() && s[j] != ':') ++j;
        std::string_view group = s.substr(i, j - i);
        if (group.empty()) return false;
        if (j == s.size() && group.find('.') != std::string_view::npos) {
            if (!isIpv4(group)) return false;
            groups += 2;
            break;
        }
        if (group.size() > 4) return false;
        for (char c : group) {
            bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            if (!hex) return false;
        }
        ++groups;
        if (j == s.size()) break;
        // s[j] == ':'
        if (j + 1 < s.size() && s[j + 1] == ':') {
            if (compressed) return false;
            compressed = true;
            i = j + 2;
            if (i == s.size()) break;
        } else {
            i = j + 1;
            if (i == s.size()) return false;  // trailing single colon
        }
    }
    return compressed ? groups < 8 : groups == 8;
}

// A DNS name as far as we accept one: labels of letters, digits, '-' and '_', separated by dots.
inline bool isHostName(std::string_view s) {
    if (s.empty() || s.size() > 253) return false;
    size_t label = 0;
    for (char c : s) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
            continue;
        }
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_';
        if (!ok || ++label > 63) return false;
    }
    return true;  // a trailing dot (fully qualified) is fine
}

}  // namespace rtc::sdp
