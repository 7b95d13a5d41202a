#pragma once
// An ICE candidate as carried in session descriptions and trickled signals.

#include <cstdint>
#include <optional>
#include <string>

namespace rtc {

class Candidate {
public:
    enum class Family { Unresolved, Ipv4, Ipv6 };
    enum class Type { Unknown, Host, ServerReflexive, PeerReflexive, Relayed };
    enum class TransportType { Unknown, Udp, TcpActive, TcpPassive, TcpSo, TcpUnknown };

    // Accepts "a=candidate:<attr>", "candidate:<attr>" or the bare "<attr>", with
    //   <attr> = <foundation> <component> <transport> <priority> <address> <port> typ <type> [<name> <value>]...
    // Trailing spaces and line ends are dropped. Throws std::invalid_argument for a malformed line
    // or one longer than CANDIDATE_MAX_LENGTH.
    explicit Candidate(const std::string& candidate);
    Candidate(const std::string& candidate, std::string mid);

    // Sets the media id when the candidate has none yet.
    void hintMid(std::string mid);

    // "candidate:<attr>" (no "a=", no line end): the attribute value trickled to the other side.
    std::string candidate() const;
    // The media id this candidate belongs to; empty when unknown.
    std::string mid() const;
    bool hasMid() const { return mMid.has_value(); }

    std::string foundation() const { return mFoundation; }
    uint32_t component() const { return mComponent; }
    uint32_t priority() const { return mPriority; }
    Type type() const { return mType; }
    TransportType transportType() const { return mTransportType; }

    // Address as written: an IP address or a host name (e.g. an mDNS ".local" name, Family::Unresolved).
    Family family() const { return mFamily; }
    bool isResolved() const { return mFamily != Family::Unresolved; }
    std::string address() const { return mAddress; }
    uint16_t port() const { return mPort; }
    std::optional<std::string> relatedAddress() const { return mRelatedAddress; }
    std::optional<uint16_t> relatedPort() const { return mRelatedPort; }

    // "a=candidate:<attr>"
    operator std::string() const;

    // Same attribute text and same media id.
    bool operator==(const Candidate& other) const;
    bool operator!=(const Candidate& other) const { return !(*this == other); }

private:
    std::string mAttribute;  // <attr>, normalised to single spaces
    std::optional<std::string> mMid;
    std::string mFoundation;
    uint32_t mComponent = 1;
    uint32_t mPriority = 0;
    Type mType = Type::Unknown;
    TransportType mTransportType = TransportType::Unknown;
    Family mFamily = Family::Unresolved;
    std::string mAddress;
    uint16_t mPort = 0;
    std::optional<std::string> mRelatedAddress;
    std::optional<uint16_t> mRelatedPort;
};

}  // namespace rtc
