#include "rtc/IceServer.hpp"

#include "rtc/Common.hpp"
#include "sdp/SdpText.hpp"

#include <optional>
#include <stdexcept>
#include <string_view>

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

// Length and characters of the whole URL: printable ASCII without spaces.
void checkUrlText(const std::string& url) {
    if (url.empty() || url.size() > ICE_SERVER_URL_MAX_LENGTH) fail("empty or too long");
    for (char c : url) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f) fail("space, control or non-ASCII character");
    }
}

struct Scheme {
    IceServer::Type type;
    bool secure;
};

Scheme parseScheme(std::string_view text) {
    std::string scheme = sdp::toLower(text);
    if (scheme == "stun") return {IceServer::Type::Stun, false};
    if (scheme == "stuns") return {IceServer::Type::Stun, true};
    if (scheme == "turn") return {IceServer::Type::Turn, false};
    if (scheme == "turns") return {IceServer::Type::Turn, true};
    fail("unknown scheme \"" + scheme + "\"");
}

// "transport=udp|tcp", the only query a TURN URL may carry.
IceServer::RelayType parseTransportQuery(std::string_view query, bool secure) {
    if (!sdp::startsWith(query, "transport=")) fail("unknown query");
    std::string transport = sdp::toLower(query.substr(10));
    if (transport == "udp") {
        if (secure) fail("TURN over DTLS is not supported");
        return IceServer::RelayType::TurnUdp;
    }
    if (transport == "tcp") return secure ? IceServer::RelayType::TurnTls : IceServer::RelayType::TurnTcp;
    fail("unknown transport");
}

struct Credentials {
    std::string username, password;
};

// user[:password], both percent-decoded.
Credentials parseUserInfo(std::string_view info) {
    Credentials out;
    size_t sep = info.find(':');
    out.username = decodeUserInfo(info.substr(0, sep));
    if (sep != std::string_view::npos) out.password = decodeUserInfo(info.substr(sep + 1));
    if (out.username.empty()) fail("empty user name");
    return out;
}

struct HostPort {
    std::string hostname;  // without IPv6 brackets
    std::optional<uint16_t> port;
};

// [IPv6] or name/IPv4, then an optional :port.
HostPort parseHostPort(std::string_view rest) {
    HostPort out;
    std::string_view portText;
    if (sdp::startsWith(rest, "[")) {
        size_t close = rest.find(']');
        if (close == std::string_view::npos) fail("unterminated IPv6 address");
        out.hostname = std::string(rest.substr(1, close - 1));
        if (!sdp::isIpv6(out.hostname)) fail("bad IPv6 address");
        std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') fail("junk after IPv6 address");
            portText = after.substr(1);
            if (portText.empty()) fail("empty port");
        }
    } else {
        size_t sep = rest.find(':');
        out.hostname = std::string(rest.substr(0, sep));
        if (sep != std::string_view::npos) {
            portText = rest.substr(sep + 1);
            if (portText.empty()) fail("empty port");
        }
        if (!sdp::isHostName(out.hostname)) fail("bad host name");
    }
    if (!portText.empty()) {
        auto value = sdp::parseNumber<unsigned>(portText);
        if (!value || *value == 0 || *value > 65535) fail("bad port");
        out.port = static_cast<uint16_t>(*value);
    }
    return out;
}

}  // namespace

IceServer::IceServer(const std::string& url) {
    checkUrlText(url);
    size_t colon = url.find(':');
    if (colon == std::string::npos) fail("no scheme");
    const auto scheme = parseScheme(std::string_view(url).substr(0, colon));
    type = scheme.type;
    relayType = scheme.secure && type == Type::Turn ? RelayType::TurnTls : RelayType::TurnUdp;
    port = scheme.secure ? 5349 : 3478;

    std::string_view rest = std::string_view(url).substr(colon + 1);
    if (sdp::startsWith(rest, "//")) fail("a hierarchical part (\"//\") is not allowed");
    if (size_t q = rest.find('?'); q != std::string_view::npos) {
        if (type != Type::Turn) fail("a query on a STUN URL");
        relayType = parseTransportQuery(rest.substr(q + 1), scheme.secure);
        rest = rest.substr(0, q);
    }
    if (size_t at = rest.rfind('@'); at != std::string_view::npos) {
        if (type != Type::Turn) fail("credentials on a STUN URL");
        auto credentials = parseUserInfo(rest.substr(0, at));
        username = std::move(credentials.username);
        password = std::move(credentials.password);
        rest = rest.substr(at + 1);
    }
    auto host = parseHostPort(rest);
    hostname = std::move(host.hostname);
    if (host.port) port = *host.port;
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
