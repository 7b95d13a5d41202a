#pragma once
// Scales and converts one picture slice into a new picture the caller owns: the host's BGRA desktop
// into NV12 at the encoder's size, the viewer's decoded picture into BGRA at its visible size.
// YUV sides are BT.709 with limited range (16-235), RGB sides BT.709 full range. The visible region
// (top-left corner) is stretched over the whole target; keeping the aspect is the caller's business.
//
// convert() validates the request once for every backend, then hands the resolved shape to the
// backend, which may cache its conversion machinery by ConversionKey (rebuilding only when the
// key changes, and keeping the previous cache when a rebuild fails).
//
// Threads: the Controller's worker only.

#include <cstdint>

#include "media/MediaTypes.hpp"

namespace murel {

// The seven values a backend's cached conversion depends on.
struct ConversionKey {
    std::uint32_t visibleWidth = 0;
    std::uint32_t visibleHeight = 0;
    std::uint32_t targetWidth = 0;
    std::uint32_t targetHeight = 0;
    std::uint32_t fps = 0;
    PixelFormat inputFormat = PixelFormat::Unknown;
    PixelFormat outputFormat = PixelFormat::Unknown;

    bool operator==(const ConversionKey&) const = default;
};

struct ConversionShape {
    ConversionKey key;
    std::uint32_t slice = 0;
    // The input picture's full size (the visible region is its top-left part).
    std::uint32_t inputWidth = 0;
    std::uint32_t inputHeight = 0;
};

// The checks of a conversion, in order: the input present, target 1...4096 on each side with at
// most 36,864 macroblocks, 1...240 fps, a target format of NV12 or BGRA ("Invalid conversion
// target"); NV12 with even sides ("NV12 requires even dimensions"); the slice inside the input
// ("Invalid texture slice"); the visible size (0 = the input's) inside the input ("Invalid
// visible video dimensions").
ConversionShape validateConversion(const Picture* input, std::uint32_t slice, PixelFormat target,
                                   std::uint32_t targetWidth, std::uint32_t targetHeight,
                                   std::uint32_t visibleWidth, std::uint32_t visibleHeight, std::uint32_t fps);

class VideoConverter {
public:
    virtual ~VideoConverter() = default;

    // A new picture of targetWidth x targetHeight in the target format (NV12 or BGRA). visible 0
    // means the input's full width or height. Throws ProtocolError.
    PictureHandle convert(const PictureHandle& input, std::uint32_t slice, PixelFormat target,
                          std::uint32_t targetWidth, std::uint32_t targetHeight, std::uint32_t visibleWidth,
                          std::uint32_t visibleHeight, std::uint32_t fps);

protected:
    VideoConverter() = default;
    VideoConverter(const VideoConverter&) = delete;
    VideoConverter& operator=(const VideoConverter&) = delete;

    // Called with a validated shape only.
    virtual PictureHandle convertPicture(const Picture& input, const ConversionShape& shape) = 0;
};

}  // namespace murel
