#include "rtc/IceServer.hpp"

#include "rtc/Common.hpp"
#include "sdp/SdpText.hpp"

#include <stdexcept>

namespace rtc {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::invalid_argument("Invalid ICE server URL: " + what);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// RFC 3986 userinfo part: unreserved, sub-delims and percent escapes (decoded here). A decoded NUL
// or control byte is refused: credentials end up in STUN attributes and log lines.
std::string decodeUserInfo(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%') {
            if (i + 2 >= s.size()) fail("truncated percent escape");
            int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
            if (hi < 0 || lo < 0) fail("bad percent escape");
            char decoded = char(hi * 16 + lo);
            if (static_cast<unsigned char>(decoded) < 0x20 || decoded == 0x7f)
                fail("control character in credentials");
            out.push_back(decoded);
            i += 2;
            continue;
        }
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  std::string_view("-._~!$&'()*+,;=").find(c) != std::string_view::npos;
        if (!ok) fail("invalid character in credentials");
        out.push_back(c);
    }
    return out;
}

void checkHost(const std::string& hostname) {
    if (!sdp::isHostName(hostname) && !sdp::isIpv6(hostname))
        throw std::invalid_argument("Invalid ICE server host name");
}

uint16_t parseService(const std::string& service) {
    auto port = sdp::parseNumber<unsigned>(service);
    if (!port || *port == 0 || *port > 65535)
        throw std::invalid_argument("Invalid ICE server port");
    return static_cast<uint16_t>(*port);
}

}  // namespace

IceServer::IceServer(const std::string& url) {
    if (url.empty() || url.size() > ICE_SERVER_URL_MAX_LENGTH) fail("empty or too long");
    for (char c : url) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f) fail("space, control or non-ASCII character");
    }

    size_t colon = url.find(':');
    if (colon == std::string::npos) fail("no scheme");
    std::string scheme = sdp::toLower(std::string_view(url).substr(0, colon));
    bool secure = false;
    if (scheme == "stun") {
        type = Type::Stun;
    } else if (scheme == "stuns") {
        type = Type::Stun;
        secure = true;
    } else if (scheme == "turn") {
        type = Type::Turn;
    } else if (scheme == "turns") {
        type = Type::Turn;
        secure = true;
    } else {
        fail("unknown scheme \"" + scheme + "\"");
    }
    relayType = secure && type == Type::Turn ? RelayType::TurnTls : RelayType::TurnUdp;
    port = secure ? 5349 : 3478;

    std::string_view rest = std::string_view(url).substr(colon + 1);
    if (sdp::startsWith(rest, "//")) fail("a hierarchical part (\"//\") is not allowed");

    // Query: only TURN's transport.
    if (size_t q = rest.find('?'); q != std::string_view::npos) {
        std::string_view query = rest.substr(q + 1);
        rest = rest.substr(0, q);
        if (type != Type::Turn) fail("a query on a STUN URL");
        if (!sdp::startsWith(query, "transport=")) fail("unknown query");
        std::string transport = sdp::toLower(query.substr(10));
        if (transport == "udp") {
            if (secure) fail("TURN over DTLS is not supported");
            relayType = RelayType::TurnUdp;
        } else if (transport == "tcp") {
            relayType = secure ? RelayType::TurnTls : RelayType::TurnTcp;
        } else {
            fail("unknown transport");
        }
    }

    // User information (TURN only): user[:password]@
    if (size_t at = rest.rfind('@'); at != std::string_view::npos) {
        if (type != Type::Turn) fail("credentials on a STUN URL");
        std::string_view info = rest.substr(0, at);
        rest = rest.substr(at + 1);
        size_t sep = info.find(':');
        username = decodeUserInfo(info.substr(0, sep));
        if (sep != std::string_view::npos) password = decodeUserInfo(info.substr(sep + 1));
        if (username.empty()) fail("empty user name");
    }

    // Host: [IPv6] or name/IPv4, then an optional :port.
    std::string_view portText;
    if (sdp::startsWith(rest, "[")) {
        size_t close = rest.find(']');
        if (close == std::string_view::npos) fail("unterminated IPv6 address");
        hostname = std::string(rest.substr(1, close - 1));
        if (!sdp::isIpv6(hostname)) fail("bad IPv6 address");
        std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') fail("junk after IPv6 address");
            portText = after.substr(1);
            if (portText.empty()) fail("empty port");
        }
    } else {
        size_t sep = rest.find(':');
        hostname = std::string(rest.substr(0, sep));
        if (sep != std::string_view::npos) {
            portText = rest.substr(sep + 1);
            if (portText.empty()) fail("empty port");
        }
        if (!sdp::isHostName(hostname)) fail("bad host name");
    }
    if (!portText.empty()) {
        auto value = sdp::parseNumber<unsigned>(portText);
        if (!value || *value == 0 || *value > 65535) fail("bad port");
        port = static_cast<uint16_t>(*value);
    }
}

IceServer::IceServer(std::string hostname_, uint16_t port_)
    : hostname(std::move(hostname_)), port(port_), type(Type::Stun) {
    checkHost(hostname);
    if (port == 0) throw std::invalid_argument("Invalid ICE server port");
}

IceServer::IceServer(std::string hostname_, std::string service)
    : IceServer(std::move(hostname_), parseService(service)) {}

IceServer::IceServer(std::string hostname_, uint16_t port_, std::string username_,
                     std::string password_, RelayType relayType_)
    : hostname(std::move(hostname_)), port(port_), type(Type::Turn), username(std::move(username_)),
      password(std::move(password_)), relayType(relayType_) {
    checkHost(hostname);
    if (port == 0) throw std::invalid_argument("Invalid ICE server port");
}

IceServer::IceServer(std::string hostname_, std::string service, std::string username_,
                     std::string password_, RelayType relayType_)
    : IceServer(std::move(hostname_), parseService(service), std::move(username_),
                std::move(password_), relayType_) {}

}  // namespace rtc
