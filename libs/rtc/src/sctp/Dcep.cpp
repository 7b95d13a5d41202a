#include "sctp/Dcep.hpp"

#include "common/ByteOrder.hpp"

#include <stdexcept>

namespace rtc::impl {

namespace {

constexpr std::size_t kOpenHeader = 12;

bool knownChannelType(std::uint8_t type) {
    switch (type) {
    case DcepMessage::Reliable:
    case DcepMessage::ReliableUnordered:
    case DcepMessage::PartialReliableRexmit:
    case DcepMessage::PartialReliableRexmitUnordered:
    case DcepMessage::PartialReliableTimed:
    case DcepMessage::PartialReliableTimedUnordered:
        return true;
    default:
        return false;
    }
}

} // namespace

ChannelReliability DcepMessage::reliability() const {
    ChannelReliability r;
    r.unordered = (channelType & 0x80) != 0;
    switch (channelType & 0x7F) {
    case 0x01:
        r.maxRetransmits = reliabilityParameter;
        break;
    case 0x02:
        r.maxPacketLifeTime = std::chrono::milliseconds(reliabilityParameter);
        break;
    default:
        break;
    }
    return r;
}

DcepMessage DcepMessage::open(const std::string& label, const std::string& protocol,
                              const ChannelReliability& reliability, std::uint16_t priority) {
    DcepMessage m;
    m.type = Type::Open;
    std::uint8_t base = Reliable;
    if (reliability.maxRetransmits) {
        base = PartialReliableRexmit;
        m.reliabilityParameter = *reliability.maxRetransmits;
    } else if (reliability.maxPacketLifeTime) {
        base = PartialReliableTimed;
        auto ms = reliability.maxPacketLifeTime->count();
        m.reliabilityParameter = ms < 0 ? 0 : ms > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ms);
    }
    m.channelType = static_cast<std::uint8_t>(base | (reliability.unordered ? 0x80 : 0x00));
    m.priority = priority;
    m.label = label;
    m.protocol = protocol;
    return m;
}

DcepMessage DcepMessage::ack() { return DcepMessage{}; }

std::optional<DcepMessage> DcepMessage::parse(ByteSpan bytes) {
    if (bytes.empty())
        return std::nullopt;
    auto type = std::to_integer<std::uint8_t>(bytes[0]);
    if (type == static_cast<std::uint8_t>(Type::Ack)) {
        // The ACK is a single byte; anything appended is not an ACK we know.
        if (bytes.size() != 1)
            return std::nullopt;
        return ack();
    }
    if (type != static_cast<std::uint8_t>(Type::Open) || bytes.size() < kOpenHeader)
        return std::nullopt;
    DcepMessage m;
    m.type = Type::Open;
    m.channelType = std::to_integer<std::uint8_t>(bytes[1]);
    if (!knownChannelType(m.channelType))
        return std::nullopt;
    m.priority = readU16(bytes, 2);
    m.reliabilityParameter = readU32(bytes, 4);
    std::size_t labelLength = readU16(bytes, 8);
    std::size_t protocolLength = readU16(bytes, 10);
    if (bytes.size() != kOpenHeader + labelLength + protocolLength)
        return std::nullopt;
    auto text = [&](std::size_t at, std::size_t length) {
        return std::string(reinterpret_cast<const char*>(bytes.data() + at), length);
    };
    m.label = text(kOpenHeader, labelLength);
    m.protocol = text(kOpenHeader + labelLength, protocolLength);
    return m;
}

std::vector<std::byte> DcepMessage::serialize() const {
    std::vector<std::byte> out;
    if (type == Type::Ack) {
        out.push_back(static_cast<std::byte>(Type::Ack));
        return out;
    }
    if (label.size() > 0xFFFF || protocol.size() > 0xFFFF)
        throw std::length_error("Data channel label or protocol is too long");
    out.reserve(kOpenHeader + label.size() + protocol.size());
    out.push_back(static_cast<std::byte>(Type::Open));
    out.push_back(static_cast<std::byte>(channelType));
    appendU16(out, priority);
    appendU32(out, reliabilityParameter);
    appendU16(out, static_cast<std::uint16_t>(label.size()));
    appendU16(out, static_cast<std::uint16_t>(protocol.size()));
    for (char c : label)
        out.push_back(static_cast<std::byte>(c));
    for (char c : protocol)
        out.push_back(static_cast<std::byte>(c));
    return out;
}

} // namespace rtc::impl
