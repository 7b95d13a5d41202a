#include "rtc/Candidate.hpp"

#include "rtc/Common.hpp"
#include "sdp/SdpText.hpp"

#include <stdexcept>

namespace rtc {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::invalid_argument("Invalid ICE candidate: " + what);
}

}  // namespace

Candidate::Candidate(const std::string& candidate) {
    if (candidate.size() > CANDIDATE_MAX_LENGTH)
        fail("longer than " + std::to_string(CANDIDATE_MAX_LENGTH) + " bytes");
    std::string_view text = candidate;
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || sdp::isSpace(text.back())))
        text.remove_suffix(1);
    if (!sdp::isLineText(text)) fail("control character");
    if (sdp::startsWith(text, "a=")) text.remove_prefix(2);
    if (sdp::startsWith(text, "candidate:")) text.remove_prefix(10);

    // foundation component transport priority address port "typ" type, then name/value pairs.
    std::vector<std::string_view> fields;
    try {
        fields = sdp::splitFields(text, 64);
    } catch (const std::invalid_argument&) {
        fail("too many fields");
    }
    if (fields.size() < 8) fail("too few fields");
    if ((fields.size() - 8) % 2 != 0) fail("extension without a value");

    if (fields[0].size() > 32 || !sdp::isIceChars(fields[0])) fail("bad foundation");
    mFoundation = std::string(fields[0]);

    auto component = sdp::parseNumber<uint32_t>(fields[1]);
    if (!component || *component < 1 || *component > 256) fail("bad component");
    mComponent = *component;

    std::string transport = sdp::toLower(fields[2]);
    if (transport == "udp")
        mTransportType = TransportType::Udp;
    else if (transport == "tcp")
        mTransportType = TransportType::TcpUnknown;
    else if (fields[2].size() > 32 ||
             fields[2].find_first_not_of(
                 "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") !=
                 std::string_view::npos)
        fail("bad transport");

    auto priority = sdp::parseNumber<uint32_t>(fields[3]);
    if (!priority) fail("bad priority");
    mPriority = *priority;

    auto classify = [](std::string_view address, Family& family) {
        if (sdp::isIpv4(address))
            family = Family::Ipv4;
        else if (sdp::isIpv6(address))
            family = Family::Ipv6;
        else if (sdp::isHostName(address))
            family = Family::Unresolved;
        else
            return false;
        return true;
    };
    if (!classify(fields[4], mFamily)) fail("bad address");
    mAddress = std::string(fields[4]);

    auto port = sdp::parseNumber<uint32_t>(fields[5]);
    if (!port || *port > 65535) fail("bad port");
    mPort = static_cast<uint16_t>(*port);

    if (fields[6] != "typ") fail("\"typ\" expected");
    if (fields[7] == "host")
        mType = Type::Host;
    else if (fields[7] == "srflx")
        mType = Type::ServerReflexive;
    else if (fields[7] == "prflx")
        mType = Type::PeerReflexive;
    else if (fields[7] == "relay")
        mType = Type::Relayed;
    else
        mType = Type::Unknown;

    for (size_t i = 8; i + 1 < fields.size(); i += 2) {
        std::string_view name = fields[i], value = fields[i + 1];
        if (name == "raddr") {
            Family family;
            if (!classify(value, family)) fail("bad raddr");
            mRelatedAddress = std::string(value);
        } else if (name == "rport") {
            auto related = sdp::parseNumber<uint32_t>(value);
            if (!related || *related > 65535) fail("bad rport");
            mRelatedPort = static_cast<uint16_t>(*related);
        } else if (name == "tcptype" && mTransportType != TransportType::Udp &&
                   mTransportType != TransportType::Unknown) {
            if (value == "active")
                mTransportType = TransportType::TcpActive;
            else if (value == "passive")
                mTransportType = TransportType::TcpPassive;
            else if (value == "so")
                mTransportType = TransportType::TcpSo;
        }
    }

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
