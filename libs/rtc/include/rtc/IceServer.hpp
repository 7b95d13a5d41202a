#pragma once
// One STUN or TURN server for the ICE agent.

#include <cstdint>
#include <string>

namespace rtc {

struct IceServer {
    enum class Type { Stun, Turn };
    enum class RelayType { TurnUdp, TurnTcp, TurnTls };

    // Parses an RFC 7064 / RFC 7065 URL:
    //   stun:host[:port]  stuns:host[:port]  turn:host[:port][?transport=udp|tcp]  turns:host[:port][?transport=tcp]
    // with host a DNS name, an IPv4 address or a bracketed IPv6 address ("turn:[2001:db8::1]:3478").
    // TURN URLs may carry percent-encoded credentials: "turn:user:pass@host". Default ports are 3478
    // (stun, turn) and 5349 (stuns, turns). "turns" yields TurnTls; "?transport=tcp" on "turn" yields
    // TurnTcp. A "stuns" URL becomes a plain Stun entry (the entry has no secure flag).
    // Throws std::invalid_argument for anything else (unknown scheme, empty or malformed host, port 0 or
    // out of range, unknown query, stray characters, longer than ICE_SERVER_URL_MAX_LENGTH).
    IceServer(const std::string& url);

    // STUN server; `service` is a decimal port. Throws std::invalid_argument for an empty or malformed
    // host name or a port of 0.
    IceServer(std::string hostname, uint16_t port);
    IceServer(std::string hostname, std::string service);

    // TURN server with credentials.
    IceServer(std::string hostname, uint16_t port, std::string username, std::string password,
              RelayType relayType = RelayType::TurnUdp);
    IceServer(std::string hostname, std::string service, std::string username, std::string password,
              RelayType relayType = RelayType::TurnUdp);

    std::string hostname;  // without IPv6 brackets
    uint16_t port = 3478;
    Type type = Type::Stun;
    std::string username;
    std::string password;
    RelayType relayType = RelayType::TurnUdp;
};

}  // namespace rtc
