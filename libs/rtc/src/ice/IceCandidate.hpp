// An ICE candidate and its SDP attribute form ("candidate:..." as in a=candidate lines).
#pragma once

#include "ice/Socket.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rtc::impl {

enum class CandidateType : uint8_t { Host, ServerReflexive, PeerReflexive, Relayed };

struct IceCandidate {
    std::string foundation;
    uint32_t component = 1;
    uint32_t priority = 0;
    Address address;
    CandidateType type = CandidateType::Host;
    std::optional<Address> related;  // raddr/rport

    // "candidate:<foundation> <component> UDP <priority> <ip> <port> typ <type> [raddr <ip> rport
    // <port>]"
    std::string toSdp() const;
    // Accepts the value with or without a leading "a=" and "candidate:". Returns nothing for what
    // this agent cannot use: TCP, host names (mDNS), malformed fields.
    static std::optional<IceCandidate> parse(std::string_view line);

    // RFC 8445 priority: (2^24)*type preference + (2^8)*local preference + (256 - component).
    static uint32_t computePriority(CandidateType type, uint16_t localPreference,
                                    uint32_t component = 1);
    static uint32_t typePreference(CandidateType type);
    static const char* typeName(CandidateType type);
    // A stable foundation from the type, base IP and server (same inputs, same foundation).
    static std::string makeFoundation(CandidateType type, const Address& base,
                                      std::string_view server);
};

}  // namespace rtc::impl
