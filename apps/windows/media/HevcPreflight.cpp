#include "media/HevcPreflight.hpp"

#include <chrono>
#include <thread>

#include "media/MediaClock.hpp"
#include "media/MediaError.hpp"

namespace murel {

const std::array<std::uint8_t, 103> kHevcTestUnit = {
    0x00, 0x00, 0x00, 0x01, 0x40, 0x01, 0x0c, 0x01, 0xff, 0xff, 0x01, 0x60,
    0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00,
    0x1e, 0xba, 0x02, 0x40, 0x00, 0x00, 0x00, 0x01, 0x42, 0x01, 0x01, 0x01,
    0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03,
    0x00, 0x1e, 0xa0, 0x20, 0x81, 0x05, 0x96, 0xe9, 0x29, 0x30, 0xbc, 0x05,
    0xa0, 0x20, 0x00, 0x00, 0x03, 0x00, 0x20, 0x00, 0x00, 0x03, 0x03, 0xc1,
    0x00, 0x00, 0x00, 0x01, 0x44, 0x01, 0xc0, 0x73, 0xc0, 0x89, 0x00, 0x00,
    0x00, 0x01, 0x28, 0x01, 0xac, 0x21, 0x80, 0x26, 0x2b, 0xff, 0x72, 0x13,
    0xf7, 0xe7, 0x3e, 0xfc, 0xa3, 0xda, 0x8c,
};

PreflightTiming steadyPreflightTiming() {
    using Clock = std::chrono::steady_clock;
    PreflightTiming timing;
    timing.nowNs = steadyNanoseconds;
    timing.sleepUntilNs = [](std::int64_t untilNs) {
        std::this_thread::sleep_until(Clock::time_point(
            std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(untilNs))));
    };
    return timing;
}

void runHevcPreflight(const std::function<std::unique_ptr<VideoDecoder>()>& makeTestDecoder,
                      const PreflightTiming& timing) {
    const std::unique_ptr<VideoDecoder> decoder = makeTestDecoder();
    const std::int64_t start = timing.nowNs();
    int accepted = 0;
    for (;;) {
        std::vector<DecodedFrame> frames = decoder->decodedFrames();
        if (!frames.empty()) {
            const DecodedFrame& first = frames.front();
            if (first.timestampError != 0) {
                throw ProtocolError(hresultFailureText(media_text::kPreflightTimestampStep, first.timestampError));
            }
            throwUnless(first.width == 64 && first.height == 64 && first.timestamp == kPreflightFirstTimestamp,
                        media_text::kPreflightIncorrect);
            return;
        }
        // A refused unit is offered again in the next round, so at most four are ever accepted.
        while (accepted < kPreflightMaxUnits &&
               decoder->decode(kHevcTestUnit, kPreflightFirstTimestamp + kPreflightTimestampStep * accepted)) {
            ++accepted;
        }
        timing.sleepUntilNs(timing.nowNs() + 1000000);
        throwUnless(timing.nowNs() - start < kPreflightLimitNs, media_text::kPreflightTimeout);
    }
}

}  // namespace murel
