#include "peer/CompleteVideoDepacketizer.hpp"

#include <span>

#include "common/ByteOrder.hpp"
#include "peer/Mailbox.hpp"
#include "peer/PeerTypes.hpp"
#include "rtc/H264RtpDepacketizer.hpp"
#include "rtc/H265RtpDepacketizer.hpp"

namespace murel {
namespace {

using Bytes = std::span<const std::byte>;

uint8_t u8(Bytes bytes, std::size_t i) { return std::to_integer<uint8_t>(bytes[i]); }

// Payload checks keep the state of a fragmented NAL unit across the packets of one frame.
struct FrameCheck {
    bool invalid = false;
    bool inFragment = false;
    unsigned fragmentKey = 0;

    // Start and end bits of a fragmentation unit whose header checks passed.
    void fragment(unsigned key, bool start, bool end) {
        if (start) {
            if (inFragment) invalid = true;
            inFragment = true;
            fragmentKey = key;
        } else if (!inFragment || key != fragmentKey) {
            invalid = true;
        }
        if (end) inFragment = false;
    }

    void h264(Bytes payload) {
        const uint8_t header = u8(payload, 0);
        if (header & 0x80) {
            invalid = true;
            return;
        }
        const uint8_t type = header & 0x1F;
        if (type == 28) {  // FU-A
            if (payload.size() < 3) {
                invalid = true;
                return;
            }
            const uint8_t fu = u8(payload, 1);
            const uint8_t inner = fu & 0x1F;
            const bool start = fu & 0x80, end = fu & 0x40;
            if ((fu & 0x20) || inner < 1 || inner > 23 || (start && end)) {
                invalid = true;
                return;
            }
            fragment(unsigned(header & 0xE0) | inner, start, end);
            return;
        }
        if (inFragment) {
            invalid = true;
            return;
        }
        if (type == 24) {  // STAP-A
            std::size_t at = 1, units = 0;
            while (at + 2 <= payload.size()) {
                const std::size_t size = rtc::impl::readU16(payload, at);
                at += 2;
                if (size < 2 || size > payload.size() - at) {
                    invalid = true;
                    return;
                }
                const uint8_t nal = u8(payload, at);
                if ((nal & 0x80) || (nal & 0x1F) < 1 || (nal & 0x1F) > 23) {
                    invalid = true;
                    return;
                }
                at += size;
                ++units;
            }
            if (at != payload.size() || units == 0) invalid = true;
            return;
        }
        if (type < 1 || type > 23 || payload.size() < 2) invalid = true;
    }

    static bool hevcHeaderOk(uint8_t b0, uint8_t b1) {
        const unsigned layerId = unsigned(b0 & 0x01) << 5 | unsigned(b1 >> 3);
        return !(b0 & 0x80) && !(b0 & 0x01) && layerId == 0 && (b1 & 0x07) != 0;
    }

    void hevc(Bytes payload) {
        if (payload.size() < 3 || !hevcHeaderOk(u8(payload, 0), u8(payload, 1))) {
            invalid = true;
            return;
        }
        const uint8_t type = (u8(payload, 0) >> 1) & 0x3F;
        if (type == 49) {  // FU
            if (payload.size() < 4) {
                invalid = true;
                return;
            }
            const uint8_t fu = u8(payload, 2);
            const uint8_t inner = fu & 0x3F;
            const bool start = fu & 0x80, end = fu & 0x40;
            if (inner >= 48 || (start && end)) {
                invalid = true;
                return;
            }
            fragment(unsigned(inner) << 8 | u8(payload, 1), start, end);
            return;
        }
        if (inFragment) {
            invalid = true;
            return;
        }
        if (type == 48) {  // AP
            if (payload.size() < 4) {
                invalid = true;
                return;
            }
            std::size_t at = 2, units = 0;
            while (at + 2 <= payload.size()) {
                const std::size_t size = rtc::impl::readU16(payload, at);
                at += 2;
                if (size < 3 || size > payload.size() - at) {
                    invalid = true;
                    return;
                }
                const uint8_t b0 = u8(payload, at), b1 = u8(payload, at + 1);
                if (!hevcHeaderOk(b0, b1) || ((b0 >> 1) & 0x3F) >= 48) {
                    invalid = true;
                    return;
                }
                at += size;
                ++units;
            }
            if (at != payload.size() || units < 2) invalid = true;
            return;
        }
        if (type > 47) invalid = true;
    }
};

}  // namespace

CompleteVideoDepacketizer::CompleteVideoDepacketizer(std::weak_ptr<Mailbox> mailbox, std::int32_t codec)
    : mailbox_(std::move(mailbox)), codec_(codec) {
    if (codec_ == kCodecHevc)
        assembler_ = std::make_shared<rtc::H265RtpDepacketizer>(rtc::NalUnit::Separator::StartSequence);
    else
        assembler_ = std::make_shared<rtc::H264RtpDepacketizer>(rtc::NalUnit::Separator::StartSequence);
}

void CompleteVideoDepacketizer::reportLoss() {
    if (auto mailbox = mailbox_.lock()) mailbox->reportLoss();
}

rtc::message_ptr CompleteVideoDepacketizer::reassemble(const rtc::message_vector& packets) {
    if (packets.empty()) return nullptr;
    bool gap = false, sawPayload = false, lastMarker = false;
    std::size_t total = 0;
    FrameCheck check;
    for (const auto& message : packets) {
        if (!message || message->size() < 12 || (u8(*message, 0) >> 6) != 2) {
            reportLoss();
            return nullptr;
        }
        const Bytes packet(*message);
        total += packet.size();
        if (total > kVideoFrameLimit) {
            reportLoss();
            return nullptr;
        }
        const uint16_t sequence = rtc::impl::readU16(packet, 2);
        const uint32_t ssrc = rtc::impl::readU32(packet, 8);
        // Another SSRC, or a jump far backwards, is a restarted stream: start over from this packet
        // (as after a loss) instead of taking every packet of the new stream for a late one.
        bool resync = hasLastSsrc_ && ssrc != lastSsrc_;
        if (!resync && hasExpectedSequence_) {
            const int d = int16_t(uint16_t(sequence - expectedSequence_));
            if (d <= -kResyncDistance) {
                resync = true;
            } else if (d < 0) {
                return nullptr;  // late or repeated
            } else if (d > 0) {
                gap = true;
                if (sawPayload) check.invalid = true;
            }
        }
        if (resync) {
            gap = true;
            if (sawPayload) check.invalid = true;
        }
        lastSsrc_ = ssrc;
        hasLastSsrc_ = true;
        expectedSequence_ = uint16_t(sequence + 1);
        hasExpectedSequence_ = true;

        const bool marker = u8(packet, 1) & 0x80;
        std::size_t header = 12 + 4 * std::size_t(u8(packet, 0) & 0x0F);
        if (header > packet.size()) {
            reportLoss();
            return nullptr;
        }
        if (u8(packet, 0) & 0x10) {
            if (header + 4 > packet.size()) {
                reportLoss();
                return nullptr;
            }
            header += 4 + 4 * std::size_t(rtc::impl::readU16(packet, header + 2));
            if (header > packet.size()) {
                reportLoss();
                return nullptr;
            }
        }
        std::size_t end = packet.size();
        if (u8(packet, 0) & 0x20) {
            const std::size_t padding = u8(packet, packet.size() - 1);
            if (padding < 1 || padding > packet.size() - header) {
                reportLoss();
                return nullptr;
            }
            end -= padding;
        }
        const Bytes payload = packet.subspan(header, end - header);
        if (payload.empty()) continue;  // padding only
        sawPayload = true;
        lastMarker = marker;
        if (codec_ == kCodecHevc)
            check.hevc(payload);
        else
            check.h264(payload);
    }
    if (gap) reportLoss();
    if (!sawPayload) return nullptr;
    if (check.invalid || check.inFragment || !lastMarker) {
        reportLoss();
        return nullptr;
    }
    try {
        auto frame = assembler_->reassemble(packets);
        if (!frame || frame->empty() || !frame->frameInfo) {
            reportLoss();
            return nullptr;
        }
        return frame;
    } catch (...) {
        reportLoss();
        return nullptr;
    }
}

}  // namespace murel
