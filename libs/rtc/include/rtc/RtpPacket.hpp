#pragma once
// RTP packets (RFC 3550 section 5.1) with header extensions (RFC 8285): a strict, bounded reader
// over received bytes and a writer for outgoing packets.

#include "rtc/Message.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace rtc {

// One header extension element: id 1..14 fits the one-byte form (data 1..16 bytes); ids up to
// 255 or longer data (up to 255 bytes) need the two-byte form.
struct RtpExtensionElement {
    uint8_t id = 0;
    std::vector<std::byte> data;
};

// Fields of an RTP header to write.
struct RtpHeaderFields {
    bool marker = false;
    uint8_t payloadType = 0;
    uint16_t sequenceNumber = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    std::vector<uint32_t> csrcs;                  // at most 15
    std::vector<RtpExtensionElement> extensions;  // RFC 8285 elements; empty: no extension
};

// A validated view of one RTP packet. The bytes must outlive the view.
class RtpPacket {
public:
    static constexpr std::size_t kFixedHeaderSize = 12;

    // Nullopt unless: version 2, the CSRC list and the header extension lie inside the packet,
    // and with the padding bit the last byte (pad count >= 1) fits after the header.
    static std::optional<RtpPacket> parse(std::span<const std::byte> packet);

    // Appends a packet (header, payload, padding of `padding` bytes, 0 or 1..255) to `out`.
    // Throws std::invalid_argument on fields that cannot be encoded.
    static void write(binary& out, const RtpHeaderFields& header, std::span<const std::byte> payload,
                      std::size_t padding = 0);
    static binary build(const RtpHeaderFields& header, std::span<const std::byte> payload,
                        std::size_t padding = 0) {
        binary out;
        write(out, header, payload, padding);
        return out;
    }

    bool marker() const { return (byteAt(1) & 0x80) != 0; }
    uint8_t payloadType() const { return byteAt(1) & 0x7F; }
    uint16_t sequenceNumber() const { return uint16_t(byteAt(2) << 8 | byteAt(3)); }
    uint32_t timestamp() const { return read32(4); }
    uint32_t ssrc() const { return read32(8); }
    std::size_t csrcCount() const { return byteAt(0) & 0x0F; }
    uint32_t csrc(std::size_t index) const { return read32(12 + 4 * index); }

    bool hasExtension() const { return (byteAt(0) & 0x10) != 0; }
    uint16_t extensionProfile() const { return mExtensionProfile; }
    // The extension's data words (without the 4-byte profile/length header).
    std::span<const std::byte> extensionData() const { return mExtension; }
    // RFC 8285 lookup (one-byte 0xBEDE or two-byte 0x100x profiles). Nullopt when absent or when
    // the element list is malformed.
    std::optional<std::span<const std::byte>> extension(uint8_t id) const;

    std::size_t headerSize() const { return mHeaderSize; }
    std::size_t paddingSize() const { return mPaddingSize; }
    std::span<const std::byte> payload() const {
        return mBytes.subspan(mHeaderSize, mBytes.size() - mHeaderSize - mPaddingSize);
    }
    std::span<const std::byte> bytes() const { return mBytes; }

private:
    explicit RtpPacket(std::span<const std::byte> bytes) : mBytes(bytes) {}
    uint8_t byteAt(std::size_t i) const { return std::to_integer<uint8_t>(mBytes[i]); }
    uint32_t read32(std::size_t i) const {
        return uint32_t(byteAt(i)) << 24 | uint32_t(byteAt(i + 1)) << 16 | uint32_t(byteAt(i + 2)) << 8 |
               byteAt(i + 3);
    }

    std::span<const std::byte> mBytes;
    std::span<const std::byte> mExtension;
    uint16_t mExtensionProfile = 0;
    std::size_t mHeaderSize = 0;
    std::size_t mPaddingSize = 0;
};

// RTP and RTCP share a port (RFC 5761): packet types 192..223 in the second byte are RTCP.
bool isRtcp(std::span<const std::byte> packet);

// Signed distance from sequence number `from` to `to` in 16-bit serial arithmetic.
inline int16_t sequenceDistance(uint16_t from, uint16_t to) { return static_cast<int16_t>(uint16_t(to - from)); }

}  // namespace rtc
