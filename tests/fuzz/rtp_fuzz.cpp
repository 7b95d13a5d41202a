// Feeds arbitrary datagrams to the RTP reader, the RTP/RTCP demultiplexer and SRTP/SRTCP
// unprotection (fixed keys, both profiles).
#include "rtc/RtpPacket.hpp"
#include "rtp/SrtpSession.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace rtc;

namespace {

impl::SrtpSession& session(bool gcm) {
    static const std::vector<uint8_t> key(16, 0x42), salt14(14, 0x24), salt12(12, 0x24);
    static impl::SrtpSession cm(impl::SrtpProfile::Aes128CmSha1_80, key, salt14, key, salt14);
    static impl::SrtpSession aead(impl::SrtpProfile::AeadAes128Gcm, key, salt12, key, salt12);
    return gcm ? aead : cm;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
    isRtcp(input);
    if (auto p = RtpPacket::parse(input)) {
        // Everything a view hands out lies inside the packet.
        const auto payload = p->payload();
        if (p->headerSize() + payload.size() + p->paddingSize() != size) std::abort();
        for (std::size_t i = 0; i < p->csrcCount(); ++i) (void)p->csrc(i);
        for (int id = 1; id < 256; id += 13)
            if (auto e = p->extension(uint8_t(id)))
                if (e->data() < input.data() || e->data() + e->size() > input.data() + size) std::abort();
        // What reads must write back to the same header fields and payload.
        RtpHeaderFields h;
        h.marker = p->marker();
        h.payloadType = p->payloadType();
        h.sequenceNumber = p->sequenceNumber();
        h.timestamp = p->timestamp();
        h.ssrc = p->ssrc();
        for (std::size_t i = 0; i < p->csrcCount(); ++i) h.csrcs.push_back(p->csrc(i));
        const binary again = RtpPacket::build(h, payload);
        auto q = RtpPacket::parse(again);
        if (!q || q->sequenceNumber() != p->sequenceNumber() || q->ssrc() != p->ssrc() ||
            q->payload().size() != payload.size())
            std::abort();
    }
    // Unprotect: anything may come in, nothing may be read or written out of bounds. The replay
    // state grows with accepted packets only, which random bytes never are.
    binary copy(input.begin(), input.end());
    session(size % 2).unprotectRtp(copy);
    copy.assign(input.begin(), input.end());
    session(size % 2).unprotectRtcp(copy);
    return 0;
}
