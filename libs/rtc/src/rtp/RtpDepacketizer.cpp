#include "rtc/RtpDepacketizer.hpp"

#include "rtc/RtpPacket.hpp"

#include <algorithm>

namespace rtc {

namespace {

// A sequence number this far behind the last one handed over is a restarted stream, not a
// late packet.
constexpr int32_t kLateWindow = 4096;

struct Header {
    bool marker;
    uint16_t sequence;
    uint32_t timestamp;
    uint32_t ssrc;
};

std::optional<Header> readHeader(const Message& m) {
    if (m.size() < RtpPacket::kFixedHeaderSize) return std::nullopt;
    const auto* p = reinterpret_cast<const uint8_t*>(m.data());
    if ((p[0] >> 6) != 2) return std::nullopt;
    return Header{(p[1] & 0x80) != 0, uint16_t(p[2] << 8 | p[3]),
                  uint32_t(p[4]) << 24 | uint32_t(p[5]) << 16 | uint32_t(p[6]) << 8 | p[7],
                  uint32_t(p[8]) << 24 | uint32_t(p[9]) << 16 | uint32_t(p[10]) << 8 | p[11]};
}

}  // namespace

bool VideoRtpDepacketizer::Frame::insert(message_ptr packet, uint16_t sequence, bool marker) {
    if (packets.empty()) anchor = sequence;
    const int32_t key = sequenceDistance(anchor, sequence);
    auto at = std::lower_bound(packets.begin(), packets.end(), key,
                               [](const Buffered& b, int32_t k) { return b.key < k; });
    if (at != packets.end() && at->key == key) return false;
    bytes += packet->size();
    packets.insert(at, Buffered{key, std::move(packet)});
    if (marker) markerKey = key;
    return true;
}

bool VideoRtpDepacketizer::Frame::contiguous() const {
    return !packets.empty() && std::size_t(packets.back().key - packets.front().key + 1) == packets.size();
}

VideoRtpDepacketizer::VideoRtpDepacketizer(std::size_t maxBufferedBytes) : mMaxBufferedBytes(maxBufferedBytes) {}

void VideoRtpDepacketizer::reset() {
    mCurrent = Frame{};
    mHeld.reset();
    mLastHandedOver.reset();
    mExpectedStart.reset();
    mDiscardTimestamp.reset();
}

bool VideoRtpDepacketizer::ready(const Frame& frame, std::optional<uint16_t> expectedStart) const {
    if (!frame.markerKey || !frame.contiguous()) return false;
    return !expectedStart || frame.first() == *expectedStart;
}

void VideoRtpDepacketizer::flush(Frame& frame, message_vector& out, bool complete) {
    if (frame.empty()) return;
    message_vector packets;
    packets.reserve(frame.packets.size());
    for (auto& b : frame.packets) packets.push_back(std::move(b.packet));
    const uint16_t last = frame.last();
    mLastHandedOver = last;
    if (complete)
        mExpectedStart = uint16_t(last + 1);
    else
        mExpectedStart.reset();
    frame = Frame{};
    if (auto result = reassemble(packets)) out.push_back(std::move(result));
}

void VideoRtpDepacketizer::flushAll(message_vector& out) {
    if (mHeld) flush(*mHeld, out, false);
    mHeld.reset();
    flush(mCurrent, out, false);
}

void VideoRtpDepacketizer::incoming(message_vector& messages, const message_callback&) {
    message_vector out;
    out.reserve(messages.size());
    for (auto& m : messages) {
        if (!m) continue;
        if (m->type != Message::Binary) {
            out.push_back(std::move(m));
            continue;
        }
        const auto header = readHeader(*m);
        if (!header) continue;

        if (!mHasSsrc || header->ssrc != mSsrc) {
            flushAll(out);
            reset();
            mSsrc = header->ssrc;
            mHasSsrc = true;
        }
        if (mLastHandedOver) {
            const int32_t d = sequenceDistance(*mLastHandedOver, header->sequence);
            if (d <= 0 && d > -kLateWindow) continue;  // late or repeated
            if (d <= -kLateWindow) {
                flushAll(out);
                reset();
            }
        }
        if (mDiscardTimestamp) {
            if (header->timestamp == *mDiscardTimestamp) continue;
            mDiscardTimestamp.reset();
        }

        // A repair (or late packet) of the held frame.
        if (mHeld && header->timestamp == mHeld->timestamp) {
            if (!mHeld->insert(std::move(m), header->sequence, header->marker)) continue;
            if (ready(*mHeld, mExpectedStart)) {
                flush(*mHeld, out, true);
                mHeld.reset();
                if (ready(mCurrent, mExpectedStart)) flush(mCurrent, out, true);
            }
            continue;
        }

        if (!mCurrent.empty() && header->timestamp != mCurrent.timestamp) {
            const int32_t key = sequenceDistance(mCurrent.anchor, header->sequence);
            const int32_t front = mCurrent.packets.front().key;
            if (key < front - kLateWindow) {
                flushAll(out);  // a jump far away: the stream restarted
                reset();
            } else if (key < front) {
                continue;  // belongs to an older frame
            } else {
                // A newer frame begins: an older held frame has had its chance, the current one
                // (incomplete, or it would have gone) waits for repairs in its place.
                if (mHeld) flush(*mHeld, out, false);
                mHeld = std::move(mCurrent);
                mCurrent = Frame{};
            }
        }
        if (mCurrent.empty()) mCurrent.timestamp = header->timestamp;
        if (!mCurrent.insert(std::move(m), header->sequence, header->marker)) continue;

        const std::size_t bytes = mCurrent.bytes + (mHeld ? mHeld->bytes : 0);
        const std::size_t count = mCurrent.packets.size() + (mHeld ? mHeld->packets.size() : 0);
        if (bytes > mMaxBufferedBytes || count > MaxBufferedPackets) {
            const uint32_t timestamp = mCurrent.timestamp;
            flushAll(out);
            mDiscardTimestamp = timestamp;
            continue;
        }
        // The start of the current frame is known once the held one has its marker packet.
        std::optional<uint16_t> expected = mExpectedStart;
        if (mHeld) expected = mHeld->markerKey ? std::optional<uint16_t>(uint16_t(mHeld->anchor + *mHeld->markerKey + 1))
                                               : std::nullopt;
        if (ready(mCurrent, expected)) {
            if (mHeld) flush(*mHeld, out, false);
            mHeld.reset();
            flush(mCurrent, out, true);
        }
    }
    messages = std::move(out);
}

}  // namespace rtc
