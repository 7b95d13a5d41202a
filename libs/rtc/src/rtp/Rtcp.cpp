#include "rtc/Rtcp.hpp"

#include "common/ByteOrder.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace rtc::rtcp {

namespace {

using Bytes = std::span<const std::byte>;
using namespace rtc::impl;

uint8_t u8(Bytes s, std::size_t i) { return std::to_integer<uint8_t>(s[i]); }

void put8(binary& out, uint32_t v) { out.push_back(std::byte(v & 0xFF)); }

// One packet of a compound: header fields and body (after the 4-byte header, padding removed).
struct Raw {
    uint8_t count;
    uint8_t type;
    Bytes body;
};

// Walks the compound; calls f(Raw) per packet. False when the structure is malformed.
template <typename F>
bool walk(Bytes compound, F&& f) {
    if (compound.size() < 4) return false;
    std::size_t at = 0;
    while (at < compound.size()) {
        if (compound.size() - at < 4) return false;
        const uint8_t first = u8(compound, at);
        if ((first >> 6) != 2) return false;
        const std::size_t size = 4 * (std::size_t(readU16(compound, at + 2)) + 1);
        if (size > compound.size() - at) return false;
        Bytes body = compound.subspan(at + 4, size - 4);
        const bool last = at + size == compound.size();
        if (first & 0x20) {
            // Padding belongs to the last packet of a compound only.
            if (!last || body.empty()) return false;
            const std::size_t pad = u8(body, body.size() - 1);
            if (pad == 0 || pad > body.size()) return false;
            body = body.first(body.size() - pad);
        }
        if (!f(Raw{uint8_t(first & 0x1F), u8(compound, at + 1), body})) return false;
        at += size;
    }
    return true;
}

ReportBlock readBlock(Bytes b) {
    ReportBlock r;
    r.ssrc = readU32(b, 0);
    r.fractionLost = u8(b, 4);
    uint32_t lost = readU24(b, 5);
    r.cumulativeLost = (lost & 0x800000) ? int32_t(lost | 0xFF000000u) : int32_t(lost);
    r.highestSequence = readU32(b, 8);
    r.jitter = readU32(b, 12);
    r.lastSenderReport = readU32(b, 16);
    r.delaySinceLastSenderReport = readU32(b, 20);
    return r;
}

std::optional<Packet> decodeSenderReport(const Raw& raw) {
    const Bytes b = raw.body;
    if (b.size() < 24 + 24 * std::size_t(raw.count)) return std::nullopt;
    SenderReport sr;
    sr.ssrc = readU32(b, 0);
    sr.ntpTimestamp = readU64(b, 4);
    sr.rtpTimestamp = readU32(b, 12);
    sr.packetCount = readU32(b, 16);
    sr.octetCount = readU32(b, 20);
    for (std::size_t i = 0; i < raw.count; ++i) sr.reports.push_back(readBlock(b.subspan(24 + 24 * i, 24)));
    return sr;
}

std::optional<Packet> decodeReceiverReport(const Raw& raw) {
    const Bytes b = raw.body;
    if (b.size() < 4 + 24 * std::size_t(raw.count)) return std::nullopt;
    ReceiverReport rr;
    rr.ssrc = readU32(b, 0);
    for (std::size_t i = 0; i < raw.count; ++i) rr.reports.push_back(readBlock(b.subspan(4 + 24 * i, 24)));
    return rr;
}

// One SDES chunk at `at`: SSRC, items up to the end-of-list item, zero padding to 32 bits. Moves
// `at` past the chunk; nullopt when it is malformed.
std::optional<SdesChunk> decodeSdesChunk(Bytes b, std::size_t& at) {
    if (b.size() - at < 4) return std::nullopt;
    SdesChunk c;
    c.ssrc = readU32(b, at);
    at += 4;
    for (;;) {
        if (at >= b.size()) return std::nullopt;  // missing end-of-list item
        const uint8_t type = u8(b, at);
        if (type == 0) {
            ++at;
            break;
        }
        if (b.size() - at < 2) return std::nullopt;
        const std::size_t length = u8(b, at + 1);
        if (b.size() - at - 2 < length) return std::nullopt;
        const auto* text = reinterpret_cast<const char*>(b.data() + at + 2);
        c.items.push_back(SdesItem{type, std::string(text, length)});
        at += 2 + length;
    }
    // Chunks end on a 32-bit boundary with zero bytes.
    while (at % 4) {
        if (at >= b.size() || u8(b, at) != 0) return std::nullopt;
        ++at;
    }
    return c;
}

std::optional<Packet> decodeSourceDescription(const Raw& raw) {
    const Bytes b = raw.body;
    SourceDescription sdes;
    std::size_t at = 0;
    for (std::size_t chunk = 0; chunk < raw.count; ++chunk) {
        auto c = decodeSdesChunk(b, at);
        if (!c) return std::nullopt;
        sdes.chunks.push_back(std::move(*c));
    }
    if (at != b.size()) return std::nullopt;
    return sdes;
}

std::optional<Packet> decodeGoodbye(const Raw& raw) {
    const Bytes b = raw.body;
    if (b.size() < 4 * std::size_t(raw.count)) return std::nullopt;
    Goodbye bye;
    for (std::size_t i = 0; i < raw.count; ++i) bye.ssrcs.push_back(readU32(b, 4 * i));
    std::size_t at = 4 * std::size_t(raw.count);
    if (at < b.size()) {
        const std::size_t length = u8(b, at);
        if (b.size() - at - 1 < length) return std::nullopt;
        bye.reason.assign(reinterpret_cast<const char*>(b.data() + at + 1), length);
        at += 1 + length;
        while (at < b.size())
            if (u8(b, at++) != 0) return std::nullopt;
    }
    return bye;
}

// Generic NACK (RTPFB, FMT 1): each PID/BLP pair names the PID and up to 16 packets after it.
std::optional<Packet> decodeNack(const Raw& raw) {
    const Bytes b = raw.body;
    if (b.size() < 12 || (b.size() - 8) % 4) return std::nullopt;
    Nack nack;
    nack.senderSsrc = readU32(b, 0);
    nack.mediaSsrc = readU32(b, 4);
    for (std::size_t at = 8; at < b.size(); at += 4) {
        const uint16_t pid = readU16(b, at);
        const uint16_t blp = readU16(b, at + 2);
        nack.lost.push_back(pid);
        for (int bit = 0; bit < 16; ++bit)
            if (blp & (1u << bit)) nack.lost.push_back(uint16_t(pid + bit + 1));
    }
    return nack;
}

// PLI (PSFB, FMT 1).
std::optional<Packet> decodePictureLoss(const Raw& raw) {
    const Bytes b = raw.body;
    if (b.size() != 8) return std::nullopt;
    return PictureLossIndication{readU32(b, 0), readU32(b, 4)};
}

// FIR (PSFB, FMT 4).
std::optional<Packet> decodeFullIntraRequest(const Raw& raw) {
    const Bytes b = raw.body;
    if (b.size() < 16 || (b.size() - 8) % 8) return std::nullopt;
    FullIntraRequest fir;
    fir.senderSsrc = readU32(b, 0);
    for (std::size_t at = 8; at < b.size(); at += 8)
        fir.entries.push_back(FullIntraRequest::Entry{readU32(b, at), u8(b, at + 4)});
    return fir;
}

// Any other packet, kept as it came; feedback needs at least its two SSRCs.
std::optional<Packet> decodeOther(const Raw& raw) {
    const Bytes b = raw.body;
    if ((raw.type == RTPFB || raw.type == PSFB) && b.size() < 8) return std::nullopt;
    return Other{raw.type, raw.count, binary(b.begin(), b.end())};
}

std::optional<Packet> decode(const Raw& raw) {
    switch (raw.type) {
    case SR: return decodeSenderReport(raw);
    case RR: return decodeReceiverReport(raw);
    case SDES: return decodeSourceDescription(raw);
    case BYE: return decodeGoodbye(raw);
    case RTPFB:
        if (raw.count == 1) return decodeNack(raw);
        break;
    case PSFB:
        if (raw.count == 1) return decodePictureLoss(raw);
        if (raw.count == 4) return decodeFullIntraRequest(raw);
        break;
    default: break;
    }
    return decodeOther(raw);
}

// Header with a placeholder length; finish() fills it in.
std::size_t begin(binary& out, uint8_t count, uint8_t type) {
    const std::size_t start = out.size();
    put8(out, 0x80 | (count & 0x1F));
    put8(out, type);
    appendU16(out, 0);
    return start;
}

void finish(binary& out, std::size_t start) {
    while ((out.size() - start) % 4) put8(out, 0);
    const std::size_t words = (out.size() - start) / 4 - 1;
    if (words > 0xFFFF) {
        out.resize(start);
        throw std::invalid_argument("RTCP: packet too long");
    }
    writeU16(out.data() + start + 2, uint16_t(words));
}

void writeBlocks(binary& out, const std::vector<ReportBlock>& blocks) {
    for (const auto& r : blocks) {
        appendU32(out, r.ssrc);
        put8(out, r.fractionLost);
        const int32_t clamped = std::clamp<int32_t>(r.cumulativeLost, -0x800000, 0x7FFFFF);
        appendU24(out, uint32_t(clamped) & 0xFFFFFF);
        appendU32(out, r.highestSequence);
        appendU32(out, r.jitter);
        appendU32(out, r.lastSenderReport);
        appendU32(out, r.delaySinceLastSenderReport);
    }
}

void checkCount(std::size_t n, const char* what) {
    if (n > 31) throw std::invalid_argument(std::string("RTCP: more than 31 ") + what);
}

}  // namespace

std::optional<std::vector<Packet>> parse(std::span<const std::byte> compound) {
    std::vector<Packet> packets;
    const bool ok = walk(compound, [&](const Raw& raw) {
        auto packet = decode(raw);
        if (!packet) return false;
        packets.push_back(std::move(*packet));
        return true;
    });
    if (!ok) return std::nullopt;
    return packets;
}

bool isValidCompound(std::span<const std::byte> compound) {
    return walk(compound, [](const Raw&) { return true; });
}

void write(binary& out, const SenderReport& r) {
    checkCount(r.reports.size(), "report blocks");
    const auto start = begin(out, uint8_t(r.reports.size()), SR);
    appendU32(out, r.ssrc);
    appendU64(out, r.ntpTimestamp);
    appendU32(out, r.rtpTimestamp);
    appendU32(out, r.packetCount);
    appendU32(out, r.octetCount);
    writeBlocks(out, r.reports);
    finish(out, start);
}

void write(binary& out, const ReceiverReport& r) {
    checkCount(r.reports.size(), "report blocks");
    const auto start = begin(out, uint8_t(r.reports.size()), RR);
    appendU32(out, r.ssrc);
    writeBlocks(out, r.reports);
    finish(out, start);
}

void write(binary& out, const SourceDescription& d) {
    checkCount(d.chunks.size(), "SDES chunks");
    const auto start = begin(out, uint8_t(d.chunks.size()), SDES);
    for (const auto& c : d.chunks) {
        const std::size_t chunkStart = out.size();
        appendU32(out, c.ssrc);
        for (const auto& item : c.items) {
            if (item.type == 0 || item.text.size() > 255) {
                out.resize(start);
                throw std::invalid_argument("RTCP: SDES item type 0 or text above 255 bytes");
            }
            put8(out, item.type);
            put8(out, uint32_t(item.text.size()));
            for (char ch : item.text) out.push_back(std::byte(ch));
        }
        put8(out, 0);  // end of list
        while ((out.size() - chunkStart) % 4) put8(out, 0);
    }
    finish(out, start);
}

void write(binary& out, const Goodbye& bye) {
    checkCount(bye.ssrcs.size(), "BYE sources");
    if (bye.reason.size() > 255) throw std::invalid_argument("RTCP: BYE reason above 255 bytes");
    const auto start = begin(out, uint8_t(bye.ssrcs.size()), BYE);
    for (uint32_t s : bye.ssrcs) appendU32(out, s);
    if (!bye.reason.empty()) {
        put8(out, uint32_t(bye.reason.size()));
        for (char ch : bye.reason) out.push_back(std::byte(ch));
    }
    finish(out, start);
}

void write(binary& out, const Nack& nack) {
    if (nack.lost.empty()) throw std::invalid_argument("RTCP: NACK without sequence numbers");
    const auto start = begin(out, 1, RTPFB);
    appendU32(out, nack.senderSsrc);
    appendU32(out, nack.mediaSsrc);
    // Each lost number either extends the current PID's bitmask or opens a new pair.
    std::size_t i = 0;
    while (i < nack.lost.size()) {
        const uint16_t pid = nack.lost[i++];
        uint16_t blp = 0;
        while (i < nack.lost.size()) {
            const uint16_t distance = uint16_t(nack.lost[i] - pid);
            if (distance == 0) {
                ++i;
                continue;
            }
            if (distance > 16) break;
            blp |= uint16_t(1u << (distance - 1));
            ++i;
        }
        appendU16(out, pid);
        appendU16(out, blp);
    }
    finish(out, start);
}

void write(binary& out, const PictureLossIndication& pli) {
    const auto start = begin(out, 1, PSFB);
    appendU32(out, pli.senderSsrc);
    appendU32(out, pli.mediaSsrc);
    finish(out, start);
}

void write(binary& out, const FullIntraRequest& fir) {
    if (fir.entries.empty()) throw std::invalid_argument("RTCP: FIR without entries");
    const auto start = begin(out, 4, PSFB);
    appendU32(out, fir.senderSsrc);
    appendU32(out, 0);  // media source: unused for FIR
    for (const auto& e : fir.entries) {
        appendU32(out, e.ssrc);
        put8(out, e.sequenceNumber);
        appendU24(out, 0);
    }
    finish(out, start);
}

void write(binary& out, const Other& other) {
    if (other.body.size() % 4) throw std::invalid_argument("RTCP: body not a multiple of 4 bytes");
    const auto start = begin(out, other.count, other.type);
    out.insert(out.end(), other.body.begin(), other.body.end());
    finish(out, start);
}

uint64_t ntpNow() {
    using namespace std::chrono;
    const auto since = system_clock::now().time_since_epoch();
    const auto ns = duration_cast<nanoseconds>(since).count();
    constexpr uint64_t kEpochOffset = 2208988800ull;  // 1900 -> 1970
    const uint64_t seconds = uint64_t(ns / 1000000000) + kEpochOffset;
    const uint64_t fraction = (uint64_t(ns % 1000000000) << 32) / 1000000000ull;
    return seconds << 32 | fraction;
}

}  // namespace rtc::rtcp
