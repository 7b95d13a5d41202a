#include "protocol/Wire.hpp"

#include <algorithm>

namespace murel {
namespace {

constexpr const char* kInvalidProtocolMessage = "Invalid protocol message";
constexpr const char* kNestingExceeded = "JSON nesting limit exceeded";

// The library's DOM builder with a nesting check in front of every event. An event's depth is the
// number of containers that enclose it; for keys and scalars the own container counts too. Doing the
// check in the SAX handler (rather than through the parse callback) keeps the parse as fast as a
// plain one.
class DepthCheckedDom : public nlohmann::detail::json_sax_dom_parser<Json> {
    using Base = nlohmann::detail::json_sax_dom_parser<Json>;

public:
    explicit DepthCheckedDom(Json& result) : Base(result, true) {}

    bool null() { return member() && Base::null(); }
    bool boolean(bool value) { return member() && Base::boolean(value); }
    bool number_integer(Json::number_integer_t value) { return member() && Base::number_integer(value); }
    bool number_unsigned(Json::number_unsigned_t value) {
        return member() && Base::number_unsigned(value);
    }
    bool number_float(Json::number_float_t value, const Json::string_t& text) {
        return member() && Base::number_float(value, text);
    }
    bool string(Json::string_t& value) { return member() && Base::string(value); }
    bool binary(Json::binary_t& value) { return member() && Base::binary(value); }
    bool key(Json::string_t& value) {
        ++keys_;
        return member() && Base::key(value);
    }
    // Member names read, duplicates included.
    std::size_t keys() const { return keys_; }

    bool start_object(std::size_t elements) {
        open();
        return Base::start_object(elements);
    }
    bool end_object() {
        --open_;
        return Base::end_object();
    }
    bool start_array(std::size_t elements) {
        open();
        return Base::start_array(elements);
    }
    bool end_array() {
        --open_;
        return Base::end_array();
    }

private:
    bool member() const {
        if (open_ > static_cast<std::size_t>(kMaxJsonDepth)) throw ProtocolError(kNestingExceeded);
        return true;
    }
    void open() {
        if (open_ > static_cast<std::size_t>(kMaxJsonDepth)) throw ProtocolError(kNestingExceeded);
        ++open_;
    }

    std::size_t open_ = 0;
    std::size_t keys_ = 0;
};

// Members of every object in the value; fewer than the names read means a name came twice.
std::size_t memberCount(const Json& value) {
    std::size_t count = 0;
    if (value.is_object()) {
        count += value.size();
        for (const auto& member : value) count += memberCount(member);
    } else if (value.is_array()) {
        for (const auto& element : value) count += memberCount(element);
    }
    return count;
}

Json parseChecked(std::string_view message, std::size_t limit, std::size_t* keys) {
    if (message.empty() || message.size() > limit) {
        throw ProtocolError("Message size exceeds protocol limit");
    }
    Json result;
    try {
        DepthCheckedDom dom(result);
        Json::sax_parse(message.begin(), message.end(), &dom, nlohmann::detail::input_format_t::json,
                        /*strict=*/true, /*ignore_comments=*/false);
        if (keys) *keys = dom.keys();
    } catch (const ProtocolError&) {
        throw;
    } catch (const Json::exception&) {
        throw ProtocolError("Invalid JSON message");
    }
    throwUnless(result.is_object(), kInvalidProtocolMessage);
    return result;
}

bool isAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isHexDigit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

const Json* findMember(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

}  // namespace

Json parseWire(std::string_view message, std::size_t limit) { return parseChecked(message, limit, nullptr); }

Json parseWireUnique(std::string_view message, std::size_t limit) {
    std::size_t keys = 0;
    Json result = parseChecked(message, limit, &keys);
    throwUnless(memberCount(result) == keys, kDuplicateMemberName);
    return result;
}

void validateIdentifier(std::string_view value) {
    const bool valid = !value.empty() && value.size() <= 256 &&
                       std::all_of(value.begin(), value.end(), [](char c) {
                           const auto u = static_cast<unsigned char>(c);
                           return isAsciiAlnum(u) || u == '-' || u == '_';
                       });
    throwUnless(valid, "Invalid identifier");
}

void validateCredential(std::string_view value) {
    const bool valid = !value.empty() && value.size() <= 4096 &&
                       std::all_of(value.begin(), value.end(), [](char c) {
                           const auto u = static_cast<unsigned char>(c);
                           return u >= 0x21 && u <= 0x7E;
                       });
    throwUnless(valid, "Invalid credential");
}

ServerOrigin parseServerOrigin(std::string_view text) {
    constexpr const char* kSchemeRule = "Use HTTPS, or HTTP on exact loopback for development";

    throwUnless(text.size() <= 2048, "Invalid server origin");
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        throwUnless(u >= 0x21 && u <= 0x7E && u != '\\', "Invalid server origin");
    }
    throwUnless(text.find_first_of("@?#") == std::string_view::npos,
                "Origin cannot contain credentials, query or fragment");

    ServerOrigin result;
    std::string_view rest;
    if (text.starts_with("https://")) {
        result.secure = true;
        rest = text.substr(8);
    } else if (text.starts_with("http://")) {
        result.secure = false;
        rest = text.substr(7);
    } else {
        throw ProtocolError(kSchemeRule);
    }
    throwUnless(!rest.empty(), "Server origin requires a host");

    if (rest.back() == '/') rest.remove_suffix(1);
    throwUnless(rest.find('/') == std::string_view::npos, kInvalidProtocolMessage);

    std::string_view host;
    std::string_view portText;
    bool hasPort = false;
    bool ipv6 = false;
    if (!rest.empty() && rest.front() == '[') {
        ipv6 = true;
        const auto close = rest.find(']');
        throwUnless(close != std::string_view::npos, kInvalidProtocolMessage);
        host = rest.substr(1, close - 1);
        throwUnless(!host.empty() && host.find(':') != std::string_view::npos && host.size() <= 39,
                    kInvalidProtocolMessage);
        for (const char c : host) {
            throwUnless(isHexDigit(static_cast<unsigned char>(c)) || c == ':', kInvalidProtocolMessage);
        }
        const auto after = rest.substr(close + 1);
        if (!after.empty()) {
            throwUnless(after.front() == ':', kInvalidProtocolMessage);
            hasPort = true;
            portText = after.substr(1);
        }
    } else {
        const auto colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string_view::npos) {
            hasPort = true;
            portText = rest.substr(colon + 1);
        }
        throwUnless(!host.empty() && host.front() != '.' && host.back() != '.' && host.size() <= 253,
                    kInvalidProtocolMessage);
        for (const char c : host) {
            const auto u = static_cast<unsigned char>(c);
            throwUnless(isAsciiAlnum(u) || u == '-' || u == '.', kInvalidProtocolMessage);
        }
    }

    if (hasPort) {
        throwUnless(!portText.empty(), kInvalidProtocolMessage);
        std::uint32_t port = 0;
        for (const char c : portText) {
            throwUnless(c >= '0' && c <= '9', kInvalidProtocolMessage);
            port = port * 10 + static_cast<std::uint32_t>(c - '0');
            throwUnless(port <= 65535, kInvalidProtocolMessage);  // also bounds the accumulator
        }
        throwUnless(port >= 1, kInvalidProtocolMessage);
        result.port = static_cast<std::uint16_t>(port);
    } else {
        result.port = result.secure ? 443 : 80;
    }

    result.host.assign(host);
    std::transform(result.host.begin(), result.host.end(), result.host.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });

    if (!result.secure) {
        throwUnless(result.host == "localhost" || result.host == "127.0.0.1" || result.host == "::1",
                    kSchemeRule);
    }

    result.origin = result.secure ? "https://" : "http://";
    result.origin += ipv6 ? "[" + result.host + "]" : result.host;
    const std::uint16_t defaultPort = result.secure ? 443 : 80;
    if (result.port != defaultPort) result.origin += ":" + std::to_string(result.port);
    return result;
}

std::string requireString(const Json& object, std::string_view key, std::size_t maxBytes) {
    const Json* member = findMember(object, key);
    throwUnless(member != nullptr && member->is_string(), kInvalidProtocolMessage);
    const auto& value = member->get_ref<const std::string&>();
    throwUnless(value.size() <= maxBytes, kInvalidProtocolMessage);
    return value;
}

bool requireBool(const Json& object, std::string_view key) {
    const Json* member = findMember(object, key);
    throwUnless(member != nullptr && member->is_boolean(), kInvalidProtocolMessage);
    return member->get<bool>();
}

bool isNonNegativeInteger(const Json& value) {
    if (value.is_number_unsigned()) return true;
    return value.is_number_integer() && value.get<std::int64_t>() >= 0;
}

}  // namespace murel
