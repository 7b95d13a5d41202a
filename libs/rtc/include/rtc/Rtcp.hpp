#pragma once
// RTCP (RFC 3550 section 6, RFC 4585, RFC 5104): compound packets read strictly and bounded,
// and writers for the packets this layer sends.
//
// Reading: parse() splits a compound packet and decodes SR, RR, SDES, BYE, generic NACK, PLI and
// FIR; any other well-formed packet is kept as Other. One malformed packet (wrong version, a
// length running past the datagram, a body too short for its count, padding anywhere but in the
// last packet) rejects the whole compound.

#include "rtc/Message.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace rtc::rtcp {

enum PacketType : uint8_t {
    SR = 200,
    RR = 201,
    SDES = 202,
    BYE = 203,
    APP = 204,
    RTPFB = 205,  // transport-layer feedback (FMT 1: generic NACK)
    PSFB = 206,   // payload-specific feedback (FMT 1: PLI, FMT 4: FIR)
};

struct ReportBlock {
    uint32_t ssrc = 0;
    uint8_t fractionLost = 0;
    int32_t cumulativeLost = 0;  // 24-bit signed on the wire
    uint32_t highestSequence = 0;  // extended highest sequence number received
    uint32_t jitter = 0;
    uint32_t lastSenderReport = 0;  // middle 32 bits of the last SR's NTP time
    uint32_t delaySinceLastSenderReport = 0;  // 1/65536 s
    bool operator==(const ReportBlock&) const = default;
};

struct SenderReport {
    uint32_t ssrc = 0;
    uint64_t ntpTimestamp = 0;
    uint32_t rtpTimestamp = 0;
    uint32_t packetCount = 0;
    uint32_t octetCount = 0;
    std::vector<ReportBlock> reports;  // at most 31
    bool operator==(const SenderReport&) const = default;
};

struct ReceiverReport {
    uint32_t ssrc = 0;
    std::vector<ReportBlock> reports;  // at most 31
    bool operator==(const ReceiverReport&) const = default;
};

struct SdesItem {
    uint8_t type = 1;  // 1 CNAME
    std::string text;  // at most 255 bytes
    bool operator==(const SdesItem&) const = default;
};
struct SdesChunk {
    uint32_t ssrc = 0;
    std::vector<SdesItem> items;
    bool operator==(const SdesChunk&) const = default;
};
struct SourceDescription {
    std::vector<SdesChunk> chunks;  // at most 31
    bool operator==(const SourceDescription&) const = default;
};

struct Goodbye {
    std::vector<uint32_t> ssrcs;  // at most 31
    std::string reason;
    bool operator==(const Goodbye&) const = default;
};

// Generic NACK with every lost sequence number spelled out (PID and BLP bits expanded).
struct Nack {
    uint32_t senderSsrc = 0;
    uint32_t mediaSsrc = 0;
    std::vector<uint16_t> lost;
    bool operator==(const Nack&) const = default;
};

struct PictureLossIndication {
    uint32_t senderSsrc = 0;
    uint32_t mediaSsrc = 0;
    bool operator==(const PictureLossIndication&) const = default;
};

struct FullIntraRequest {
    struct Entry {
        uint32_t ssrc = 0;
        uint8_t sequenceNumber = 0;
        bool operator==(const Entry&) const = default;
    };
    uint32_t senderSsrc = 0;
    std::vector<Entry> entries;
    bool operator==(const FullIntraRequest&) const = default;
};

// Any other well-formed packet (APP, other feedback formats, extended reports, ...).
struct Other {
    uint8_t type = 0;
    uint8_t count = 0;  // the 5-bit count/format field
    binary body;        // after the 4-byte header, padding removed
    bool operator==(const Other&) const = default;
};

using Packet = std::variant<SenderReport, ReceiverReport, SourceDescription, Goodbye, Nack,
                            PictureLossIndication, FullIntraRequest, Other>;

// Splits and decodes a compound packet. Nullopt when any part is malformed.
std::optional<std::vector<Packet>> parse(std::span<const std::byte> compound);

// Cheap structural check of a compound packet without decoding it.
bool isValidCompound(std::span<const std::byte> compound);

// Writers append one RTCP packet to `out` (build a compound by appending several). They throw
// std::invalid_argument for contents that cannot be encoded (too many blocks, text too long).
void write(binary& out, const SenderReport& report);
void write(binary& out, const ReceiverReport& report);
void write(binary& out, const SourceDescription& description);
void write(binary& out, const Goodbye& goodbye);
void write(binary& out, const Nack& nack);  // packs `lost` into PID/BLP pairs
void write(binary& out, const PictureLossIndication& pli);
void write(binary& out, const FullIntraRequest& fir);
void write(binary& out, const Other& other);

// NTP time (RFC 5905 64-bit format) of the system clock now.
uint64_t ntpNow();
// Middle 32 bits of an NTP timestamp, as echoed in report blocks.
inline uint32_t ntpMiddle(uint64_t ntp) { return static_cast<uint32_t>(ntp >> 16); }

}  // namespace rtc::rtcp
