#pragma once
// The command line of murel-control and the settings it produces.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "Log.hpp"

namespace murel {

struct ServiceOptions {
    std::string listenHost = "127.0.0.1";
    std::uint16_t listenPort = 8480;
    std::filesystem::path dataDir;
    std::filesystem::path tlsCert;
    std::filesystem::path tlsKey;
    std::vector<std::string> stunUrls;
    std::vector<std::string> turnUrls;
    std::filesystem::path turnSecretFile;
    std::int64_t turnTtlSeconds = 86400;
    LogLevel logLevel = LogLevel::Info;

    // Limits against clients that misbehave or flood.
    std::size_t maxConnections = 16000;
    std::size_t maxConnectionsPerAddress = 64;
    std::size_t unauthenticatedPerSecond = 10;  // per address; bursts of twice as many
    std::size_t registrationsPerHour = 10;      // per address
    std::size_t accountTokens = 64;             // live sign-ins per account; the oldest is revoked
    std::size_t hashQueue = 64;                 // sign-ins and registrations waiting for a hash worker
    bool help = false;

    // Hidden, for the test suite only: cheap password hashes and a short signaling idle limit.
    bool testFastHashes = false;
    int signalingIdleSeconds = 45;

    bool tls() const { return !tlsCert.empty(); }
};

// Parses argv (without the program name). Throws std::invalid_argument with a one-line reason.
// `environmentDataHome` / `environmentHome` stand for $XDG_DATA_HOME and $HOME (empty when unset).
ServiceOptions parseServiceOptions(const std::vector<std::string>& args,
                                   std::string_view environmentDataHome,
                                   std::string_view environmentHome);

// Splits "ADDR:PORT" (IPv6 in brackets). Throws std::invalid_argument.
void parseListenAddress(std::string_view text, std::string& host, std::uint16_t& port);

// An ICE server URL the program accepts: 1..2048 printable ASCII bytes, no '@', scheme stun:,
// stuns:, turn: or turns:.
bool isAcceptableIceUrl(std::string_view url);

std::string serviceUsage();

}  // namespace murel
