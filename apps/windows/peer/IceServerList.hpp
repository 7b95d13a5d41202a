#pragma once
// The peer's own check of the control service's ICE servers, and what of them the ICE agent gets:
// plain STUN and TURN over UDP, at most one STUN and two TURN servers. Everything else is counted
// and left out; malformed input throws.

#include <cstdint>
#include <vector>

#include "protocol/ControlApi.hpp"
#include "rtc/IceServer.hpp"

namespace murel {

struct IceCounters {
    std::uint64_t urls = 0;         // URLs seen
    std::uint64_t stunUsed = 0;
    std::uint64_t turnUsed = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t unsupported = 0;  // secure schemes, TURN over TCP or TLS
    std::uint64_t overLimit = 0;

    bool operator==(const IceCounters&) const = default;
};

// Throws ProtocolError: "Invalid ICE configuration", "Invalid ICE server URL", "Unsupported ICE URI
// scheme", "TURN requires device credentials".
std::vector<rtc::IceServer> buildIceServerList(const std::vector<IceServer>& servers, IceCounters& counters);

}  // namespace murel
