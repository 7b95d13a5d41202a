#pragma once
// Shared helpers of the RTP tests: NAL unit generation and packet shortcuts.

#include "rtc/MediaHandler.hpp"
#include "rtc/Message.hpp"
#include "rtc/RtpPacket.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace rtptest {

using rtc::binary;

inline binary bytes(std::initializer_list<int> values) {
    binary out;
    for (int v : values) out.push_back(std::byte(v));
    return out;
}

// A NAL unit of `size` bytes (header included) whose body never contains a start code prefix
// (00 00 0x with x <= 3) and never ends with 00, as an encoder's emulation prevention ensures.
inline binary makeNal(std::mt19937& rng, std::size_t size, uint8_t header) {
    binary nal(size);
    nal[0] = std::byte(header);
    std::uniform_int_distribution<int> byte(0, 255);
    int zeros = 0;
    for (std::size_t i = 1; i < size; ++i) {
        // Plenty of zeros and ones, so that start-code scanning is actually exercised.
        int v = byte(rng);
        if (v < 40) v = 0;
        else if (v < 60) v = 1;
        if (zeros >= 2 && v <= 3) v = 4;
        zeros = v == 0 ? zeros + 1 : 0;
        nal[i] = std::byte(v);
    }
    if (size > 1 && nal[size - 1] == std::byte{0}) nal[size - 1] = std::byte{0x80};
    return nal;
}

// H.265 NAL unit: two-byte header of `type`, layer 0, temporal id 1.
inline binary makeHevcNal(std::mt19937& rng, std::size_t size, uint8_t type) {
    binary nal = makeNal(rng, size, uint8_t(type << 1));
    if (size > 1) nal[1] = std::byte{0x01};
    return nal;
}

// Joins NAL units with start codes: fourByte picks per unit (cycling through the pattern).
inline binary annexB(const std::vector<binary>& nals, const std::vector<bool>& fourByte) {
    binary out;
    for (std::size_t i = 0; i < nals.size(); ++i) {
        if (fourByte[i % fourByte.size()]) out.push_back(std::byte{0});
        out.insert(out.end(), {std::byte{0}, std::byte{0}, std::byte{1}});
        out.insert(out.end(), nals[i].begin(), nals[i].end());
    }
    return out;
}

inline binary annexB4(const std::vector<binary>& nals) { return annexB(nals, {true}); }

inline rtc::RtpHeaderFields header(uint16_t sequence, uint32_t timestamp, bool marker, uint32_t ssrc = 0x1234,
                                   uint8_t payloadType = 102) {
    rtc::RtpHeaderFields h;
    h.sequenceNumber = sequence;
    h.timestamp = timestamp;
    h.marker = marker;
    h.ssrc = ssrc;
    h.payloadType = payloadType;
    return h;
}

inline rtc::message_ptr rtp(uint16_t sequence, uint32_t timestamp, bool marker, const binary& payload,
                            uint32_t ssrc = 0x1234, std::size_t padding = 0) {
    return std::make_shared<rtc::Message>(
        rtc::RtpPacket::build(header(sequence, timestamp, marker, ssrc), payload, padding));
}

// A steady clock the test moves by hand, for handlers that decide by time (single-threaded use).
class ManualClock {
public:
    using TimePoint = rtc::MediaHandler::TimePoint;
    rtc::MediaHandler::Clock clock() const {
        return [now = mNow] { return *now; };
    }
    void advance(std::chrono::steady_clock::duration by) { *mNow += by; }
    void set(TimePoint at) { *mNow = at; }
    TimePoint now() const { return *mNow; }

private:
    std::shared_ptr<TimePoint> mNow = std::make_shared<TimePoint>(TimePoint{} + std::chrono::hours(1));
};

inline rtc::message_ptr control(binary bytes) {
    return std::make_shared<rtc::Message>(std::move(bytes), rtc::Message::Control);
}

}  // namespace rtptest
