#pragma once

#include "common/Transport.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rtc::impl {

// SCTP payload protocol identifiers of WebRTC data channels.
enum class Ppid : std::uint32_t {
    Control = 50,     // DCEP
    String = 51,
    StringPartial = 52, // deprecated, not produced
    Binary = 53,
    BinaryPartial = 54, // deprecated, not produced
    StringEmpty = 56,
    BinaryEmpty = 57,
};

// How a data channel delivers: ordered or not, and an optional partial-reliability limit
// (at most one of the two).
struct ChannelReliability {
    bool unordered = false;
    std::optional<std::uint32_t> maxRetransmits;
    std::optional<std::chrono::milliseconds> maxPacketLifeTime;

    bool operator==(const ChannelReliability&) const = default;
};

// The Data Channel Establishment Protocol messages (DATA_CHANNEL_OPEN and DATA_CHANNEL_ACK).
struct DcepMessage {
    enum class Type : std::uint8_t { Ack = 0x02, Open = 0x03 };
    enum ChannelType : std::uint8_t {
        Reliable = 0x00,
        ReliableUnordered = 0x80,
        PartialReliableRexmit = 0x01,
        PartialReliableRexmitUnordered = 0x81,
        PartialReliableTimed = 0x02,
        PartialReliableTimedUnordered = 0x82,
    };

    Type type = Type::Ack;
    // Open only:
    std::uint8_t channelType = Reliable;
    std::uint16_t priority = 0;
    std::uint32_t reliabilityParameter = 0;
    std::string label;
    std::string protocol;

    ChannelReliability reliability() const;

    static DcepMessage open(const std::string& label, const std::string& protocol,
                            const ChannelReliability& reliability, std::uint16_t priority = 0);
    static DcepMessage ack();

    // Parses one complete DCEP message; nullopt when it is malformed: unknown type or channel
    // type, lengths that do not match the message, a short header.
    static std::optional<DcepMessage> parse(ByteSpan bytes);
    // Throws std::length_error when the label or protocol exceeds 65535 bytes.
    std::vector<std::byte> serialize() const;
};

} // namespace rtc::impl
