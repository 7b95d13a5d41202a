#include "rtc/RtpPacket.hpp"

#include "common/ByteOrder.hpp"

#include <stdexcept>

namespace rtc {

namespace {

using namespace rtc::impl;

uint8_t u8(std::span<const std::byte> s, std::size_t i) { return std::to_integer<uint8_t>(s[i]); }

void put8(binary& out, uint32_t v) { out.push_back(std::byte(v & 0xFF)); }

}  // namespace

std::optional<RtpPacket> RtpPacket::parse(std::span<const std::byte> packet) {
    if (packet.size() < kFixedHeaderSize) return std::nullopt;
    const uint8_t first = u8(packet, 0);
    if ((first >> 6) != 2) return std::nullopt;
    RtpPacket view(packet);
    std::size_t header = kFixedHeaderSize + 4 * std::size_t(first & 0x0F);
    if (header > packet.size()) return std::nullopt;
    if (first & 0x10) {
        if (packet.size() - header < 4) return std::nullopt;
        view.mExtensionProfile = readU16(packet, header);
        const std::size_t words = std::size_t(readU16(packet, header + 2));
        header += 4;
        if (packet.size() - header < 4 * words) return std::nullopt;
        view.mExtension = packet.subspan(header, 4 * words);
        header += 4 * words;
    }
    view.mHeaderSize = header;
    if (first & 0x20) {
        const std::size_t pad = u8(packet, packet.size() - 1);
        if (pad == 0 || pad > packet.size() - header) return std::nullopt;
        view.mPaddingSize = pad;
    }
    return view;
}

std::optional<std::span<const std::byte>> RtpPacket::extension(uint8_t id) const {
    if (!hasExtension() || id == 0) return std::nullopt;
    const auto data = mExtension;
    const bool oneByte = mExtensionProfile == 0xBEDE;
    const bool twoByte = (mExtensionProfile & 0xFFF0) == 0x1000;
    if (!oneByte && !twoByte) return std::nullopt;
    std::size_t at = 0;
    while (at < data.size()) {
        const uint8_t b = u8(data, at);
        if (b == 0) {  // padding between elements
            ++at;
            continue;
        }
        uint8_t elementId;
        std::size_t length;
        if (oneByte) {
            elementId = b >> 4;
            if (elementId == 15) return std::nullopt;  // reserved: stop processing
            length = std::size_t(b & 0x0F) + 1;
            at += 1;
        } else {
            if (data.size() - at < 2) return std::nullopt;
            elementId = b;
            length = u8(data, at + 1);
            at += 2;
        }
        if (data.size() - at < length) return std::nullopt;
        if (elementId == id) return data.subspan(at, length);
        at += length;
    }
    return std::nullopt;
}

void RtpPacket::write(binary& out, const RtpHeaderFields& h, std::span<const std::byte> payload,
                      std::size_t padding) {
    if (h.csrcs.size() > 15) throw std::invalid_argument("RTP: more than 15 CSRCs");
    if (h.payloadType > 127) throw std::invalid_argument("RTP: payload type above 127");
    if (padding > 255) throw std::invalid_argument("RTP: padding above 255 bytes");

    bool oneByte = true;
    for (const auto& e : h.extensions) {
        if (e.id == 0 || e.data.empty() || e.data.size() > 255)
            throw std::invalid_argument("RTP: header extension element id 0 or bad length");
        if (e.id > 14 || e.data.size() > 16) oneByte = false;
    }

    const std::size_t start = out.size();
    put8(out, 0x80 | (padding ? 0x20 : 0) | (h.extensions.empty() ? 0 : 0x10) | h.csrcs.size());
    put8(out, (h.marker ? 0x80 : 0) | h.payloadType);
    appendU16(out, h.sequenceNumber);
    appendU32(out, h.timestamp);
    appendU32(out, h.ssrc);
    for (uint32_t c : h.csrcs) appendU32(out, c);
    if (!h.extensions.empty()) {
        appendU16(out, oneByte ? 0xBEDE : 0x1000);
        const std::size_t lengthAt = out.size();
        appendU16(out, 0);
        const std::size_t dataStart = out.size();
        for (const auto& e : h.extensions) {
            if (oneByte) {
                put8(out, uint32_t(e.id) << 4 | uint32_t(e.data.size() - 1));
            } else {
                put8(out, e.id);
                put8(out, uint32_t(e.data.size()));
            }
            out.insert(out.end(), e.data.begin(), e.data.end());
        }
        while ((out.size() - dataStart) % 4) put8(out, 0);
        const std::size_t words = (out.size() - dataStart) / 4;
        if (words > 0xFFFF) {
            out.resize(start);
            throw std::invalid_argument("RTP: header extension too long");
        }
        writeU16(out.data() + lengthAt, uint16_t(words));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    if (padding) {
        out.insert(out.end(), padding - 1, std::byte{0});
        put8(out, uint32_t(padding));
    }
}

bool isRtcp(std::span<const std::byte> packet) {
    if (packet.size() < 2) return false;
    const uint8_t type = u8(packet, 1);
    return type >= 192 && type <= 223;
}

}  // namespace rtc
