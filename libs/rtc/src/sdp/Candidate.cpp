#include "rtc/Candidate.hpp"

#include "rtc/Common.hpp"
#include "sdp/SdpText.hpp"

#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace rtc {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::invalid_argument("Invalid ICE candidate: " + what);
}

using Family = Candidate::Family;
using Type = Candidate::Type;
using TransportType = Candidate::TransportType;

// The <attr> of "a=candidate:<attr>" (either prefix optional), without trailing line ends.
std::string_view candidateText(const std::string& candidate) {
    if (candidate.size() > CANDIDATE_MAX_LENGTH)
        fail("longer than " + std::to_string(CANDIDATE_MAX_LENGTH) + " bytes");
    std::string_view text = candidate;
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || sdp::isSpace(text.back())))
        text.remove_suffix(1);
    if (!sdp::isLineText(text)) fail("control character");
    if (sdp::startsWith(text, "a=")) text.remove_prefix(2);
    if (sdp::startsWith(text, "candidate:")) text.remove_prefix(10);
    return text;
}

// foundation component transport priority address port "typ" type, then name/value pairs.
std::vector<std::string_view> candidateFields(std::string_view text) {
    std::vector<std::string_view> fields;
    try {
        fields = sdp::splitFields(text, 64);
    } catch (const std::invalid_argument&) {
        fail("too many fields");
    }
    if (fields.size() < 8) fail("too few fields");
    if ((fields.size() - 8) % 2 != 0) fail("extension without a value");
    return fields;
}

std::string parseFoundation(std::string_view text) {
    if (text.size() > 32 || !sdp::isIceChars(text)) fail("bad foundation");
    return std::string(text);
}

uint32_t parseComponent(std::string_view text) {
    auto component = sdp::parseNumber<uint32_t>(text);
    if (!component || *component < 1 || *component > 256) fail("bad component");
    return *component;
}

// UDP or TCP (its kind comes with tcptype); another well-formed token is kept as unknown.
TransportType parseTransport(std::string_view text) {
    std::string transport = sdp::toLower(text);
    if (transport == "udp") return TransportType::Udp;
    if (transport == "tcp") return TransportType::TcpUnknown;
    if (text.size() > 32 ||
        text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") !=
            std::string_view::npos)
        fail("bad transport");
    return TransportType::Unknown;
}

uint32_t parsePriority(std::string_view text) {
    auto priority = sdp::parseNumber<uint32_t>(text);
    if (!priority) fail("bad priority");
    return *priority;
}

// An IP address or a host name (mDNS candidates); nothing when it is neither.
std::optional<Family> addressFamily(std::string_view address) {
    if (sdp::isIpv4(address)) return Family::Ipv4;
    if (sdp::isIpv6(address)) return Family::Ipv6;
    if (sdp::isHostName(address)) return Family::Unresolved;
    return std::nullopt;
}

uint16_t parsePort(std::string_view text, const char* what) {
    auto port = sdp::parseNumber<uint32_t>(text);
    if (!port || *port > 65535) fail(what);
    return static_cast<uint16_t>(*port);
}

// "typ" <type>; an unknown type is kept so that newer candidate types pass through.
Type parseType(std::string_view typ, std::string_view type) {
    if (typ != "typ") fail("\"typ\" expected");
    if (type == "host") return Type::Host;
    if (type == "srflx") return Type::ServerReflexive;
    if (type == "prflx") return Type::PeerReflexive;
    if (type == "relay") return Type::Relayed;
    return Type::Unknown;
}

// tcptype of a TCP candidate; an unknown value leaves `current` as it is.
TransportType parseTcpType(std::string_view value, TransportType current) {
    if (value == "active") return TransportType::TcpActive;
    if (value == "passive") return TransportType::TcpPassive;
    if (value == "so") return TransportType::TcpSo;
    return current;
}

// The name/value pairs after the type: related address and port, and the kind of a TCP candidate.
struct Extensions {
    std::optional<std::string> relatedAddress;
    std::optional<uint16_t> relatedPort;
    TransportType transport;
};

Extensions parseExtensions(std::span<const std::string_view> pairs, TransportType transport) {
    Extensions out{{}, {}, transport};
    for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
        std::string_view name = pairs[i], value = pairs[i + 1];
        if (name == "raddr") {
            if (!addressFamily(value)) fail("bad raddr");
            out.relatedAddress = std::string(value);
        } else if (name == "rport") {
            out.relatedPort = parsePort(value, "bad rport");
        } else if (name == "tcptype" && out.transport != TransportType::Udp &&
                   out.transport != TransportType::Unknown) {
            out.transport = parseTcpType(value, out.transport);
        }
    }
    return out;
}

}  // namespace

Candidate::Candidate(const std::string& candidate) {
    const auto fields = candidateFields(candidateText(candidate));
    mFoundation = parseFoundation(fields[0]);
    mComponent = parseComponent(fields[1]);
    mTransportType = parseTransport(fields[2]);
    mPriority = parsePriority(fields[3]);
    auto family = addressFamily(fields[4]);
    if (!family) fail("bad address");
    mFamily = *family;
    mAddress = std::string(fields[4]);
    mPort = parsePort(fields[5], "bad port");
    mType = parseType(fields[6], fields[7]);
    auto extensions = parseExtensions(std::span(fields).subspan(8), mTransportType);
    mRelatedAddress = std::move(extensions.relatedAddress);
    mRelatedPort = extensions.relatedPort;
    mTransportType = extensions.transport;

    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) mAttribute += ' ';
        mAttribute += fields[i];
    }
}

Candidate::Candidate(const std::string& candidate, std::string mid) : Candidate(candidate) {
    if (!mid.empty()) hintMid(std::move(mid));
}

void Candidate::hintMid(std::string mid) {
    if (mMid) return;
    sdp::requireLineText(mid, "candidate mid");
    mMid = std::move(mid);
}

std::string Candidate::candidate() const {
    return "candidate:" + mAttribute;
}

std::string Candidate::mid() const {
    return mMid.value_or(std::string());
}

Candidate::operator std::string() const {
    return "a=" + candidate();
}

bool Candidate::operator==(const Candidate& other) const {
    return mAttribute == other.mAttribute && mMid == other.mMid;
}

}  // namespace rtc
