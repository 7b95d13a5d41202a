#pragma once
// H.264 encoding of the host's NV12 pictures into Annex-B access units: Baseline profile, no B
// pictures, an IDR picture every two seconds (GOP 2 x fps) and on request, low latency, and the
// lowest level of 4.2, 5.0, 5.1, 5.2 that fits the mode (also what the host signals in its SDP).
//
// The base class validates the mode and picks the level before a backend builds anything; encode()
// checks the picture once for every backend. Backends: the hardware Media Foundation transform on
// Windows, libx264 through libavcodec on Linux.
//
// Threads: the Controller's worker only.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "media/MediaTypes.hpp"

namespace murel {

struct EncoderMode {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t fps = 0;
    std::uint32_t bitrate = 0;  // bit/s
};

struct H264LevelLimits {
    std::int32_t levelIdc;
    std::uint64_t maxFrameMacroblocks;
    std::uint64_t maxMacroblocksPerSecond;
    std::uint64_t maxBitrate;
};

// Tried in this order.
inline constexpr H264LevelLimits kH264Levels[] = {
    {42, 8704, 522240, 50000000},
    {50, 22080, 589824, 135000000},
    {51, 36864, 983040, 240000000},
    {52, 36864, 2073600, 240000000},
};

// Validates the mode and returns its level_idc (42, 50, 51 or 52). Throws, in order: "Encoder
// requires even 2...4096 dimensions, 1...240 fps and 100 kbps...100 Mbps", "Encoder mode exceeds
// the H.264 Level 5.2 frame/rate envelope", "Encoder mode has no supported H.264 level".
std::int32_t chooseH264Level(const EncoderMode& mode);

// The encoder's picture size for a desktop of contentWidth x contentHeight fitted into a box:
// fitRect's size, truncated and rounded down to even numbers.
struct EvenSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    bool operator==(const EvenSize&) const = default;
};
EvenSize fitEncodeSize(double contentWidth, double contentHeight, double boxWidth, double boxHeight);

// An output buffer's length, before it is read: 4...8 MiB, else "Invalid encoded access unit size".
void checkEncodedSize(std::size_t length);
// The bytes of an encoded access unit: the size above and a leading 00 00 01 or 00 00 00 01 start
// code, else "Hardware encoder did not emit Annex-B H.264".
void checkEncodedAccessUnit(std::span<const std::uint8_t> bytes);

class HardwareH264Encoder {
public:
    virtual ~HardwareH264Encoder() = default;

    const EncoderMode& mode() const { return mode_; }
    // The chosen level_idc.
    std::int32_t level() const { return level_; }

    // Offers one NV12 picture of exactly the encoder's size (one slice) with its timestamp in 100-ns
    // units. True: accepted. A null picture gives false; a mismatching one throws "Encoder input
    // texture does not match configured format". A refusal (false) drops the picture.
    bool encode(const PictureHandle& picture, std::int64_t timestamp);

    // Finished access units, oldest first.
    virtual std::vector<EncodedAccessUnit> encodedUnits() = 0;
    // The next picture is an IDR picture, with SPS and PPS in front.
    virtual void requestKeyframe() = 0;

protected:
    // Validates the mode and picks the level; throws before a backend makes anything.
    explicit HardwareH264Encoder(const EncoderMode& mode);
    HardwareH264Encoder(const HardwareH264Encoder&) = delete;
    HardwareH264Encoder& operator=(const HardwareH264Encoder&) = delete;

    // Called with a checked picture only.
    virtual bool submitPicture(const Picture& picture, std::int64_t timestamp) = 0;

private:
    EncoderMode mode_;
    std::int32_t level_;
};

}  // namespace murel
