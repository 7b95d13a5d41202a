#include "rtc/RtpDepacketizer.hpp"

#include "rtc/RtpPacket.hpp"

#include "common/ByteOrder.hpp"

#include <algorithm>

namespace rtc {

namespace {

// A sequence number this far behind the last one handed over is a restarted stream, not a
// late packet.
constexpr int32_t kLateWindow = 4096;
// Late packets of the last frame remembered until the gap before them is filled.
constexpr std::size_t kMaxLate = 64;

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

std::optional<uint16_t> VideoRtpDepacketizer::Frame::end() const {
    if (!markerKey || *markerKey != packets.back().key) return std::nullopt;
    return uint16_t(anchor + *markerKey + 1);
}

VideoRtpDepacketizer::VideoRtpDepacketizer(std::size_t maxBufferedBytes) : mMaxBufferedBytes(maxBufferedBytes) {}

void VideoRtpDepacketizer::reset() {
    mFrames.clear();
    mBytes = mPackets = 0;
    mLastHandedOver.reset();
    mExpectedStart.reset();
    mLate.clear();
    mDiscardTimestamp.reset();
}

void VideoRtpDepacketizer::updateHoldTime() {
    std::optional<std::chrono::microseconds> roundTrip;
    for (auto h = next(); h && !roundTrip; h = h->next()) roundTrip = h->repairRoundTrip();
    mRepairs = roundTrip.has_value();
    mHold = roundTrip ? std::clamp<std::chrono::microseconds>(2 * *roundTrip, MinHoldTime, MaxHoldTime)
                      : std::chrono::microseconds(ReorderHoldTime);
}

bool VideoRtpDepacketizer::ready(const Frame& frame) const {
    if (!frame.markerKey || !frame.contiguous()) return false;
    if (mExpectedStart) return frame.first() == *mExpectedStart;
    // Where the last frame ended is unknown (it was handed over without its marker packet). With
    // repairs coming, the gap before this frame may still hold packets of its own.
    if (!mLastHandedOver || !mRepairs) return true;
    return frame.first() == uint16_t(*mLastHandedOver + 1);
}

// Without repairs, the frame after an incomplete one being complete ends the wait for reordering.
bool VideoRtpDepacketizer::nextCompletesBefore(const Frame& frame) const {
    if (mRepairs || mFrames.size() < 2) return false;
    const Frame& following = mFrames[1];
    if (!following.markerKey || !following.contiguous()) return false;
    const auto start = frame.end();
    return !start || following.first() == *start;
}

std::optional<MediaHandler::TimePoint> VideoRtpDepacketizer::deadline(const Frame& frame) const {
    if (frame.overdueSince) return *frame.overdueSince + mHold;
    return mLastArrival + MaxHoldTime;
}

bool VideoRtpDepacketizer::overdue(const Frame& frame, TimePoint now) const {
    const auto due = deadline(frame);
    return due && *due <= now;
}

std::optional<MediaHandler::TimePoint> VideoRtpDepacketizer::wakeTime() const {
    if (mFrames.empty()) return std::nullopt;
    return deadline(mFrames.front());
}

void VideoRtpDepacketizer::handOver(message_vector& out, bool complete) {
    Frame frame = std::move(mFrames.front());
    mFrames.pop_front();
    mBytes -= frame.bytes;
    mPackets -= frame.packets.size();
    message_vector packets;
    packets.reserve(frame.packets.size());
    for (auto& b : frame.packets) packets.push_back(std::move(b.packet));
    mLastHandedOver = frame.last();
    mLastHandedOverTimestamp = frame.timestamp;
    mExpectedStart = complete ? std::optional<uint16_t>(uint16_t(frame.last() + 1)) : frame.end();
    mLate.clear();
    if (auto result = reassemble(packets)) out.push_back(std::move(result));
}

void VideoRtpDepacketizer::flushAll(message_vector& out) {
    while (!mFrames.empty()) handOver(out, false);
}

void VideoRtpDepacketizer::release(TimePoint now, message_vector& out) {
    while (!mFrames.empty()) {
        const Frame& head = mFrames.front();
        if (ready(head))
            handOver(out, true);
        else if (overdue(head, now) || nextCompletesBefore(head) || mFrames.size() > MaxBufferedFrames)
            handOver(out, false);
        else
            break;
    }
}

// A late packet of the frame handed over last: once the packets after that frame are accounted
// for, the next frame is known to start where they end.
void VideoRtpDepacketizer::noteLate(uint16_t sequence, bool marker) {
    if (mLate.size() < kMaxLate) mLate.emplace_back(sequence, marker);
    for (bool advanced = true; advanced;) {
        advanced = false;
        for (auto it = mLate.begin(); it != mLate.end(); ++it) {
            if (it->first != uint16_t(*mLastHandedOver + 1)) continue;
            mLastHandedOver = it->first;
            if (it->second) mExpectedStart = uint16_t(it->first + 1);
            mLate.erase(it);
            advanced = true;
            break;
        }
    }
}

void VideoRtpDepacketizer::place(message_ptr packet, const Header& header, TimePoint now, message_vector& out) {
    auto frame = std::find_if(mFrames.begin(), mFrames.end(),
                              [&](const Frame& f) { return f.timestamp == header.timestamp; });
    if (frame == mFrames.end()) {
        if (mLastHandedOver && header.timestamp == mLastHandedOverTimestamp) {
            noteLate(header.sequence, header.marker);
            return;
        }
        auto at = mFrames.end();
        if (!mFrames.empty()) {
            const uint16_t reference = mFrames.front().first();
            const int32_t key = sequenceDistance(reference, header.sequence);
            if (key < -kLateWindow) {
                flushAll(out);  // a jump far away: the stream restarted
                reset();
                at = mFrames.end();
            } else {
                at = std::find_if(mFrames.begin(), mFrames.end(), [&](const Frame& f) {
                    return sequenceDistance(reference, f.first()) > key;
                });
            }
        }
        const bool newest = at == mFrames.end();
        at = mFrames.emplace(at, Frame{});
        at->timestamp = header.timestamp;
        // Older frames should have been whole by now; a frame slipped in before newer ones is too.
        for (auto older = mFrames.begin(); older != at; ++older)
            if (!older->overdueSince) older->overdueSince = now;
        if (!newest) at->overdueSince = now;
        frame = at;
    }
    const std::size_t size = packet->size();
    if (!frame->insert(std::move(packet), header.sequence, header.marker)) {
        if (frame->packets.empty()) mFrames.erase(frame);
        return;
    }
    mBytes += size;
    ++mPackets;
    if (header.marker && !frame->overdueSince) frame->overdueSince = now;

    // Over a bound: give up the oldest frames; a frame that alone is too much goes as it is.
    auto over = [&] { return mBytes > mMaxBufferedBytes || mPackets > MaxBufferedPackets; };
    const uint32_t timestamp = header.timestamp;
    while (over() && mFrames.front().timestamp != timestamp) handOver(out, false);
    if (over()) {
        flushAll(out);
        mDiscardTimestamp = timestamp;
    }
}

void VideoRtpDepacketizer::incoming(message_vector& messages, const message_callback&) {
    const TimePoint now = this->now();
    updateHoldTime();

    message_vector out;
    out.reserve(messages.size());
    for (auto& m : messages) {
        if (!m) continue;
        if (m->type != Message::Binary) {
            out.push_back(std::move(m));
            continue;
        }
        if (m->size() < RtpPacket::kFixedHeaderSize) continue;
        const auto* p = reinterpret_cast<const uint8_t*>(m->data());
        if ((p[0] >> 6) != 2) continue;
        const Header header{(p[1] & 0x80) != 0, impl::readU16(p + 2), impl::readU32(p + 4),
                            impl::readU32(p + 8)};

        if (!mHasSsrc || header.ssrc != mSsrc) {
            flushAll(out);
            reset();
            mSsrc = header.ssrc;
            mHasSsrc = true;
        }
        mLastArrival = now;
        if (mLastHandedOver) {
            const int32_t d = sequenceDistance(*mLastHandedOver, header.sequence);
            if (d <= 0 && d > -kLateWindow) continue;  // late or repeated
            if (d <= -kLateWindow) {
                flushAll(out);
                reset();
            }
        }
        if (mDiscardTimestamp) {
            if (header.timestamp == *mDiscardTimestamp) continue;
            mDiscardTimestamp.reset();
        }
        place(std::move(m), header, now, out);
        release(now, out);
    }
    release(now, out);
    messages = std::move(out);
}

}  // namespace rtc
