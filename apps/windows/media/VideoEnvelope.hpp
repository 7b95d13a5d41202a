#pragma once
// The picture-size and rate envelope shared by conversion, encoding and decoding (H.264 Level 5.2:
// at most 36,864 macroblocks a frame and 2,073,600 a second), and the decoders' checks of what a
// decoder reports. Pure arithmetic; every backend calls these at the steps where its calls land.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "media/MediaTypes.hpp"

namespace murel {

inline constexpr std::uint32_t kMaxPictureSide = 4096;
inline constexpr std::uint64_t kMaxFrameMacroblocks = 36864;
inline constexpr std::uint64_t kMaxMacroblocksPerSecond = 2073600;
inline constexpr std::uint32_t kMaxFramesPerSecond = 240;
// 1...8 MiB: a received access unit, an encoded one (from 4 bytes) and a codec output buffer.
inline constexpr std::size_t kMaxAccessUnitBytes = 8388608;
inline constexpr std::size_t kMinEncodedAccessUnitBytes = 4;
// A decoder's whole surface array may take at most this much (NV12: width x height x 3 / 2 each).
inline constexpr std::uint64_t kDecoderSurfaceBudgetBytes = 536870912;

// ceil(width / 16) x ceil(height / 16).
constexpr std::uint64_t frameMacroblocks(std::uint64_t width, std::uint64_t height) {
    return ((width + 15) / 16) * ((height + 15) / 16);
}

// Both sides 1...4096 and at most 36,864 macroblocks.
constexpr bool fitsFrameEnvelope(std::uint64_t width, std::uint64_t height) {
    return width >= 1 && height >= 1 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
           frameMacroblocks(width, height) <= kMaxFrameMacroblocks;
}

// Throws "Decoded dimensions exceed the H.264 Level 5.2 frame envelope" outside the envelope.
void checkFrameEnvelope(std::uint64_t width, std::uint64_t height);

// An HEVC decoder's mode: the frame envelope, then 1...240 fps and at most 2,073,600 macroblocks a
// second ("HEVC decoder mode exceeds the receive envelope").
void checkHevcReceiveEnvelope(std::uint32_t width, std::uint32_t height, std::uint32_t fps);

// A decoder output type's frame rate (numerator / denominator, both non-zero to count) against the
// coded size: above 240 fps or above 2,073,600 macroblocks a second is refused.
void checkDecodedFrameRate(std::uint32_t numerator, std::uint32_t denominator, std::uint32_t codedWidth,
                           std::uint32_t codedHeight);

// A decoder output type's minimum display aperture.
struct DisplayAperture {
    bool offsetNonZero = false;  // any part of the X or Y offset
    std::int32_t width = 0;
    std::int32_t height = 0;
};

struct VisibleSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    bool operator==(const VisibleSize&) const = default;
};

// The visible size of a negotiated decoder output type: the frame size after the envelope check,
// replaced by the aperture when it is positive and fits inside; an offset aperture is refused.
VisibleSize visibleSizeOfOutputType(std::uint32_t frameWidth, std::uint32_t frameHeight,
                                    const std::optional<DisplayAperture>& aperture);

// What a decoder surface looks like (Windows: the texture description and subresource index).
struct DecodedSurface {
    PixelFormat format = PixelFormat::Unknown;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t arraySize = 0;
    std::uint32_t mipLevels = 1;
    std::uint32_t slice = 0;
};

// Checks one decoded surface and returns the visible size of its picture: the negotiated visible
// size where non-zero, else the surface's own. In order: NV12 ("Decoder did not return NV12"), the
// frame envelope, the array within the memory budget with one mip level and the slice inside,
// and the visible size inside the surface ("Decoded aperture exceeds its surface").
// expected is the format the backend's decoder produces (NV12 on Windows).
VisibleSize checkDecodedSurface(const DecodedSurface& surface, VisibleSize negotiated,
                                PixelFormat expected = PixelFormat::Nv12);

}  // namespace murel
