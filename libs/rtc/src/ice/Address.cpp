// Platform-neutral parts of Address; the system calls that read and write numeric IP text are
// hooks in posix/Socket.cpp or win/Socket.cpp (CMake picks one).
#include "ice/Socket.hpp"

#include "ice/AddressText.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace rtc::impl {

std::optional<Address> Address::fromBytes(std::span<const uint8_t> bytes, uint16_t port) {
    Address a;
    if (bytes.size() == 4) {
        a.family_ = AddressFamily::V4;
    } else if (bytes.size() == 16) {
        a.family_ = AddressFamily::V6;
    } else {
        return std::nullopt;
    }
    std::copy(bytes.begin(), bytes.end(), a.bytes_.begin());
    a.port_ = port;
    return a;
}

std::optional<Address> Address::fromString(std::string_view ipText, uint16_t port) {
    std::string text(ipText);
    if (text.empty() || text.size() > 64) return std::nullopt;
    Address a;
    a.port_ = port;
    if (text.find(':') == std::string::npos) {
        if (!addresstext::parse(AddressFamily::V4, text, a.bytes_.data())) return std::nullopt;
        a.family_ = AddressFamily::V4;
        return a;
    }
    std::string zone;
    if (auto pct = text.find('%'); pct != std::string::npos) {
        zone = text.substr(pct + 1);
        if (zone.empty()) return std::nullopt;
        text.resize(pct);
    }
    if (!addresstext::parse(AddressFamily::V6, text, a.bytes_.data())) return std::nullopt;
    a.family_ = AddressFamily::V6;
    if (!zone.empty()) {
        // An interface name where the system has one by that name, else a numeric index.
        uint32_t index = addresstext::zoneIndexByName(zone);
        if (index == 0) {
            auto [end, ec] = std::from_chars(zone.data(), zone.data() + zone.size(), index);
            if (ec != std::errc() || end != zone.data() + zone.size() || index == 0)
                return std::nullopt;
        }
        a.scopeId_ = index;
    }
    return a;
}

std::string Address::ip() const {
    if (family_ == AddressFamily::None) return {};
    return addresstext::format(family_, bytes_.data());
}

std::optional<Address> Address::fromEndpoint(std::string_view endpoint) {
    std::string_view host;
    std::string_view portText;
    if (!endpoint.empty() && endpoint.front() == '[') {
        auto close = endpoint.find(']');
        if (close == std::string_view::npos || close + 1 >= endpoint.size() ||
            endpoint[close + 1] != ':')
            return std::nullopt;
        host = endpoint.substr(1, close - 1);
        portText = endpoint.substr(close + 2);
    } else {
        auto colon = endpoint.rfind(':');
        if (colon == std::string_view::npos || endpoint.find(':') != colon) return std::nullopt;
        host = endpoint.substr(0, colon);
        portText = endpoint.substr(colon + 1);
    }
    unsigned port = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (ec != std::errc() || end != portText.data() + portText.size() || portText.empty() ||
        port > 65535)
        return std::nullopt;
    return fromString(host, static_cast<uint16_t>(port));
}

Address Address::any(AddressFamily family, uint16_t port) {
    Address a;
    a.family_ = family;
    a.port_ = port;
    return a;
}

Address Address::loopback(AddressFamily family, uint16_t port) {
    Address a;
    a.family_ = family;
    a.port_ = port;
    if (family == AddressFamily::V4) {
        a.bytes_[0] = 127;
        a.bytes_[3] = 1;
    } else if (family == AddressFamily::V6) {
        a.bytes_[15] = 1;
    }
    return a;
}

std::span<const uint8_t> Address::bytes() const {
    switch (family_) {
        case AddressFamily::V4:
            return {bytes_.data(), 4};
        case AddressFamily::V6:
            return {bytes_.data(), 16};
        default:
            return {};
    }
}

std::string Address::toString() const {
    if (family_ == AddressFamily::V6) return "[" + ip() + "]:" + std::to_string(port_);
    return ip() + ":" + std::to_string(port_);
}

bool Address::isLoopback() const {
    if (family_ == AddressFamily::V4) return bytes_[0] == 127;
    if (family_ == AddressFamily::V6) {
        static const uint8_t one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        if (std::memcmp(bytes_.data(), one, 16) == 0) return true;
        // IPv4-mapped loopback
        static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        return std::memcmp(bytes_.data(), mapped, 12) == 0 && bytes_[12] == 127;
    }
    return false;
}

bool Address::isAny() const {
    auto b = bytes();
    return isValid() && std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; });
}

bool Address::isLinkLocal() const {
    if (family_ == AddressFamily::V4) return bytes_[0] == 169 && bytes_[1] == 254;
    if (family_ == AddressFamily::V6) return bytes_[0] == 0xfe && (bytes_[1] & 0xc0) == 0x80;
    return false;
}

bool Address::sameIp(const Address& other) const {
    return family_ == other.family_ && std::memcmp(bytes_.data(), other.bytes_.data(), 16) == 0;
}

bool Address::operator==(const Address& other) const {
    return sameIp(other) && port_ == other.port_;
}

}  // namespace rtc::impl
