#pragma once
// Shared driver of the depacketizer fuzzers. The input is a run of packets, each introduced by a
// control byte and a length byte:
//   control bit 0: marker; bit 1: next timestamp; bit 2: sequence number jumps by the next byte;
//   bit 3: the bytes are a whole datagram (header included) instead of a payload;
//   bit 4: end of a batch (the batch goes into the chain);
//   bit 5: time passes (5 ms, or 40 ms times bits 6-7) and the chain runs with nothing new.
// The packets run through "depacketizer -> receiving session (NACKs on)" and, in one set, through
// reassemble() directly. Every frame must be whole Annex-B with 4-byte start codes, no larger than
// the packets it came from.
#include "rtc/RtcpReceivingSession.hpp"
#include "rtc/RtpDepacketizer.hpp"
#include "rtc/RtpPacket.hpp"

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace fuzzdepacketizer {

using namespace rtc;

inline void checkFrame(const message_ptr& frame, std::size_t inputBytes) {
    if (!frame || frame->type != Message::Binary) return;
    if (!frame->frameInfo || frame->size() < 5 || frame->size() > inputBytes * 2 + 64) std::abort();
    if ((*frame)[0] != std::byte{0} || (*frame)[1] != std::byte{0} || (*frame)[2] != std::byte{0} ||
        (*frame)[3] != std::byte{1})
        std::abort();
}

template <typename Depacketizer>
int run(const uint8_t* data, size_t size) {
    auto depacketizer = std::make_shared<Depacketizer>(NalUnit::Separator::StartSequence, 64 * 1024);
    auto session = std::make_shared<RtcpReceivingSession>(7, "fuzz", 90000, std::chrono::milliseconds(0));
    session->setNackEnabled(true, std::chrono::milliseconds(0), 2);
    depacketizer->addToChain(session);
    // Time moves only when the input says so, so the hold and repeat decisions are reproducible.
    auto now = std::make_shared<MediaHandler::TimePoint>();
    depacketizer->setClock([now] { return *now; });
    session->setClock([now] { return *now; });
    const message_callback send = [](message_ptr m) {
        if (!m || m->type != Message::Control) std::abort();
    };

    uint16_t sequence = 1000;
    uint32_t timestamp = 90000;
    message_vector batch, all;
    std::size_t at = 0;
    while (size - at >= 2) {
        const uint8_t control = data[at], length = data[at + 1];
        at += 2;
        const std::size_t n = std::min<std::size_t>(length, size - at);
        const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data + at), n);
        at += n;
        if (control & 0x02) timestamp += 3000;
        if ((control & 0x04) && n > 0) sequence = uint16_t(sequence + std::to_integer<uint8_t>(bytes[0]));
        message_ptr packet;
        if (control & 0x08) {
            packet = std::make_shared<Message>(binary(bytes.begin(), bytes.end()));
        } else {
            RtpHeaderFields h;
            h.marker = control & 0x01;
            h.payloadType = 96;
            h.sequenceNumber = sequence++;
            h.timestamp = timestamp;
            h.ssrc = 0x5555;
            packet = std::make_shared<Message>(RtpPacket::build(h, bytes));
        }
        batch.push_back(packet);
        all.push_back(packet);
        if (control & 0x10) {
            depacketizer->incomingChain(batch, send);
            for (const auto& f : batch) checkFrame(f, size);
            batch.clear();
        }
        if (control & 0x20) {
            *now += std::chrono::milliseconds(control >> 6 == 0 ? 5 : 40 * (control >> 6));
            message_vector wake;
            depacketizer->incomingChain(wake, send);
            for (const auto& f : wake) checkFrame(f, size);
        }
    }
    depacketizer->incomingChain(batch, send);
    for (const auto& f : batch) checkFrame(f, size);

    Depacketizer fresh(NalUnit::Separator::StartSequence);
    checkFrame(fresh.reassemble(all), size * 2);
    return 0;
}

}  // namespace fuzzdepacketizer
