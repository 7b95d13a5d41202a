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

VideoRtpDepacketizer::VideoRtpDepacketizer(std::size_t maxBufferedBytes) : mMaxBufferedBytes(maxBufferedBytes) {}

void VideoRtpDepacketizer::reset() {
    mBuffer.clear();
    mBytes = 0;
    mMarkerKey.reset();
    mLastHandedOver.reset();
    mExpectedStart.reset();
    mDiscardTimestamp.reset();
}

bool VideoRtpDepacketizer::ready() const {
    if (!mMarkerKey || mBuffer.empty()) return false;
    const int32_t first = mBuffer.front().key, last = mBuffer.back().key;
    if (std::size_t(last - first + 1) != mBuffer.size()) return false;
    if (mExpectedStart && uint16_t(mAnchor + first) != *mExpectedStart) return false;
    return true;
}

void VideoRtpDepacketizer::flush(message_vector& out, bool complete) {
    if (mBuffer.empty()) return;
    message_vector packets;
    packets.reserve(mBuffer.size());
    for (auto& b : mBuffer) packets.push_back(std::move(b.packet));
    const uint16_t last = uint16_t(mAnchor + mBuffer.back().key);
    mLastHandedOver = last;
    if (complete)
        mExpectedStart = uint16_t(last + 1);
    else
        mExpectedStart.reset();
    mBuffer.clear();
    mBytes = 0;
    mMarkerKey.reset();
    if (auto frame = reassemble(packets)) out.push_back(std::move(frame));
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
            flush(out, false);
            reset();
            mSsrc = header->ssrc;
            mHasSsrc = true;
        }
        if (mLastHandedOver) {
            const int32_t d = sequenceDistance(*mLastHandedOver, header->sequence);
            if (d <= 0 && d > -kLateWindow) continue;  // late or repeated
            if (d <= -kLateWindow) {
                flush(out, false);
                reset();
            }
        }
        if (mDiscardTimestamp) {
            if (header->timestamp == *mDiscardTimestamp) continue;
            mDiscardTimestamp.reset();
        }
        if (!mBuffer.empty() && header->timestamp != mTimestamp) {
            const int32_t key = sequenceDistance(mAnchor, header->sequence);
            if (key < mBuffer.front().key - kLateWindow) {
                flush(out, false);  // a jump far away: the stream restarted
                reset();
            } else if (key < mBuffer.front().key) {
                continue;  // belongs to an older frame
            } else {
                flush(out, false);
            }
        }
        if (mBuffer.empty()) {
            mAnchor = header->sequence;
            mTimestamp = header->timestamp;
        }
        const int32_t key = sequenceDistance(mAnchor, header->sequence);
        auto at = std::lower_bound(mBuffer.begin(), mBuffer.end(), key,
                                   [](const Buffered& b, int32_t k) { return b.key < k; });
        if (at != mBuffer.end() && at->key == key) continue;  // duplicate
        mBytes += m->size();
        mBuffer.insert(at, Buffered{key, std::move(m)});
        if (header->marker) mMarkerKey = key;

        if (mBytes > mMaxBufferedBytes || mBuffer.size() > MaxBufferedPackets) {
            const uint32_t timestamp = mTimestamp;
            flush(out, false);
            mDiscardTimestamp = timestamp;
            continue;
        }
        if (ready()) flush(out, true);
    }
    messages = std::move(out);
}

}  // namespace rtc
