#pragma once
// The HEVC test decode: a viewer offers HEVC to a host only after its decoder turned a built-in
// 64 x 64 test picture into the right frame within 1500 ms.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "media/VideoDecoder.hpp"

namespace murel {

// One 64 x 64 HEVC Main intra picture in Annex-B form: VPS, SPS, PPS and one IDR_N_LP slice.
extern const std::array<std::uint8_t, 103> kHevcTestUnit;

inline constexpr std::int64_t kPreflightFirstTimestamp = 12345;
inline constexpr std::int64_t kPreflightTimestampStep = 333333;
inline constexpr int kPreflightMaxUnits = 4;
inline constexpr std::int64_t kPreflightLimitNs = 1500000000;

// The preflight's time: a monotonic nanosecond clock and a sleep until one of its readings.
struct PreflightTiming {
    std::function<std::int64_t()> nowNs;
    std::function<void(std::int64_t untilNs)> sleepUntilNs;
};

// The steady clock and std::this_thread::sleep_until.
PreflightTiming steadyPreflightTiming();

// Makes a decoder with makeTestDecoder (HEVC, 64 x 64 at 30 fps), then until a frame comes out:
// takes the decoded frames (the first must be 64 x 64 with timestamp 12,345, else "HEVC GPU
// preflight returned incorrect video"; a timestamp that could not be read fails with the step
// "Read HEVC preflight timestamp"), submits the test unit while fewer than four were accepted
// (timestamps 12,345 + 333,333 x accepted; a refusal waits for the next round), sleeps 1 ms, and
// after 1.5 s fails with "HEVC GPU preflight produced no decoder surface within 1500 ms". Returns
// normally when HEVC decoding works. The decoder is destroyed on every exit.
void runHevcPreflight(const std::function<std::unique_ptr<VideoDecoder>()>& makeTestDecoder,
                      const PreflightTiming& timing = steadyPreflightTiming());

}  // namespace murel
