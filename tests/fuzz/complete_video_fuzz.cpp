// The viewer's frame-complete receive path on arbitrary packet runs: the receive handler, the
// mailbox's video queue and its drain. The first byte picks the codec; then each packet is a
// control byte and a length byte:
//   bit 0 marker; bit 1 next timestamp; bit 2 sequence number jumps by the next byte (backwards
//   when bit 6 is set too); bit 3 the bytes are a whole datagram; bit 4 end of a batch; bit 5 the
//   SSRC changes; bit 7 the worker drains after this batch.
// Whatever reaches the worker must be a bounded queue of whole Annex-B units of the chosen codec's
// framing, a keyframe first after every loss.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "peer/CompleteVideoDepacketizer.hpp"
#include "peer/Mailbox.hpp"
#include "peer/VideoAccessUnit.hpp"
#include "rtc/RtcpReceivingSession.hpp"
#include "rtc/RtpPacket.hpp"

namespace {

using namespace murel;

void check(bool condition) {
    if (!condition) std::abort();
}

struct Worker {
    std::shared_ptr<Mailbox> mailbox = std::make_shared<Mailbox>(nullptr);
    std::int32_t codec;
    bool expectKeyframe = true;

    void drain() {
        auto drained = mailbox->drain();
        std::size_t frames = 0, bytes = 0;
        for (auto& e : drained.events) {
            if (e.kind == PeerEventKind::VideoLoss) {
                check(frames == 0);  // the loss comes before the frames of the same drain
                expectKeyframe = true;
                continue;
            }
            if (e.kind != PeerEventKind::VideoFrame) continue;
            ++frames;
            bytes += e.bytes.size();
            check(!e.bytes.empty() && e.bytes.size() <= kVideoFrameLimit);
            check(e.bytes.size() >= 4 && e.bytes[0] == std::byte{0} && e.bytes[1] == std::byte{0} &&
                  e.bytes[2] == std::byte{0} && e.bytes[3] == std::byte{1});
            if (codec == kCodecHevc) {
                const auto unit = analyseHevcAccessUnit(e.bytes);
                check(unit.valid && !unit.hasRasl && (!expectKeyframe || unit.keyframe));
            } else {
                check(!expectKeyframe || isH264Keyframe(e.bytes));
            }
            expectKeyframe = false;
        }
        check(frames <= kVideoQueueFrames && bytes <= kVideoQueueBytes);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Worker worker;
    worker.codec = (data[0] & 1) ? kCodecHevc : kCodecH264;
    worker.mailbox->chooseCodec(worker.codec);
    auto depacketizer = std::make_shared<CompleteVideoDepacketizer>(worker.mailbox, worker.codec);
    depacketizer->addToChain(std::make_shared<rtc::RtcpReceivingSession>(7, "fuzz"));
    const rtc::message_callback send = [](rtc::message_ptr) {};
    // As the track's frame callback does.
    auto deliver = [&](rtc::message_vector& batch) {
        depacketizer->incomingChain(batch, send);
        for (auto& m : batch) {
            if (!m || !m->frameInfo || m->empty() || m->size() > kVideoFrameLimit) continue;
            PeerEvent event = PeerEvent::of(PeerEventKind::VideoFrame);
            event.bytes = rtc::binary(*m);
            event.rtpTimestamp = m->frameInfo->timestamp;
            worker.mailbox->push(std::move(event));
        }
        batch.clear();
    };

    uint16_t sequence = 1000;
    uint32_t timestamp = 90000, ssrc = 0x5555;
    rtc::message_vector batch;
    std::size_t at = 1;
    while (size - at >= 2) {
        const uint8_t control = data[at], length = data[at + 1];
        at += 2;
        const std::size_t n = std::min<std::size_t>(length, size - at);
        const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data + at), n);
        at += n;
        if (control & 0x02) timestamp += 3000;
        if (control & 0x20) ++ssrc;
        if ((control & 0x04) && n > 0) {
            const uint16_t jump = uint16_t(std::to_integer<uint8_t>(bytes[0]) * ((control & 0x40) ? 257 : 1));
            sequence = uint16_t((control & 0x40) ? sequence - jump : sequence + jump);
        }
        if (control & 0x08) {
            batch.push_back(std::make_shared<rtc::Message>(rtc::binary(bytes.begin(), bytes.end())));
        } else {
            rtc::RtpHeaderFields h;
            h.marker = control & 0x01;
            h.payloadType = 102;
            h.sequenceNumber = sequence++;
            h.timestamp = timestamp;
            h.ssrc = ssrc;
            batch.push_back(std::make_shared<rtc::Message>(rtc::RtpPacket::build(h, bytes)));
        }
        if (control & 0x10) deliver(batch);
        if (control & 0x80) worker.drain();
    }
    deliver(batch);
    worker.drain();
    return 0;
}
