#include "media/VideoEnvelope.hpp"

#include "media/MediaError.hpp"

namespace murel {

void checkFrameEnvelope(std::uint64_t width, std::uint64_t height) {
    throwUnless(fitsFrameEnvelope(width, height), media_text::kDecodedFrameEnvelope);
}

void checkHevcReceiveEnvelope(std::uint32_t width, std::uint32_t height, std::uint32_t fps) {
    checkFrameEnvelope(width, height);
    throwUnless(fps >= 1 && fps <= kMaxFramesPerSecond &&
                    frameMacroblocks(width, height) * fps <= kMaxMacroblocksPerSecond,
                media_text::kHevcReceiveEnvelope);
}

void checkDecodedFrameRate(std::uint32_t numerator, std::uint32_t denominator, std::uint32_t codedWidth,
                           std::uint32_t codedHeight) {
    if (numerator == 0 || denominator == 0) return;
    const std::uint64_t n = numerator;
    const std::uint64_t d = denominator;
    const std::uint64_t macroblocks = frameMacroblocks(codedWidth, codedHeight);
    const bool tooFast = d * kMaxFramesPerSecond < n;
    // n x macroblocks > d x limit, without the product overflowing.
    const bool tooMany = macroblocks != 0 && n > d * kMaxMacroblocksPerSecond / macroblocks;
    throwUnless(!tooFast && !tooMany, media_text::kDecodedRateEnvelope);
}

VisibleSize visibleSizeOfOutputType(std::uint32_t frameWidth, std::uint32_t frameHeight,
                                    const std::optional<DisplayAperture>& aperture) {
    checkFrameEnvelope(frameWidth, frameHeight);
    VisibleSize visible{frameWidth, frameHeight};
    if (aperture) {
        throwUnless(!aperture->offsetNonZero, media_text::kOffsetAperture);
        if (aperture->width > 0 && aperture->height > 0 &&
            static_cast<std::uint32_t>(aperture->width) <= frameWidth &&
            static_cast<std::uint32_t>(aperture->height) <= frameHeight) {
            visible = {static_cast<std::uint32_t>(aperture->width), static_cast<std::uint32_t>(aperture->height)};
        }
    }
    return visible;
}

VisibleSize checkDecodedSurface(const DecodedSurface& surface, VisibleSize negotiated, PixelFormat expected) {
    throwUnless(surface.format == expected, media_text::kDecoderNotNv12);
    checkFrameEnvelope(surface.width, surface.height);
    const std::uint64_t bytes = static_cast<std::uint64_t>(surface.arraySize) * surface.width * surface.height * 3 / 2;
    throwUnless(surface.arraySize != 0 && surface.mipLevels == 1 && surface.slice < surface.arraySize &&
                    bytes <= kDecoderSurfaceBudgetBytes,
                media_text::kDecoderSurfaceBudget);
    const VisibleSize visible{negotiated.width != 0 ? negotiated.width : surface.width,
                              negotiated.height != 0 ? negotiated.height : surface.height};
    throwUnless(fitsFrameEnvelope(visible.width, visible.height) && visible.width <= surface.width &&
                    visible.height <= surface.height,
                media_text::kDecodedApertureOutside);
    return visible;
}

}  // namespace murel
