#include "media/HardwareH264Encoder.hpp"

#include <algorithm>

#include "media/AnnexB.hpp"
#include "media/MediaError.hpp"
#include "media/VideoEnvelope.hpp"
#include "media/ViewerPresenter.hpp"

namespace murel {

std::int32_t chooseH264Level(const EncoderMode& mode) {
    const bool sizeOk = mode.width >= 2 && mode.width <= kMaxPictureSide && mode.width % 2 == 0 &&
                        mode.height >= 2 && mode.height <= kMaxPictureSide && mode.height % 2 == 0;
    throwUnless(sizeOk && mode.fps >= 1 && mode.fps <= kMaxFramesPerSecond && mode.bitrate >= 100000 &&
                    mode.bitrate <= 100000000,
                media_text::kEncoderModeInvalid);

    const std::uint64_t frame = frameMacroblocks(mode.width, mode.height);
    const std::uint64_t perSecond = frame * mode.fps;
    throwUnless(frame <= kMaxFrameMacroblocks && perSecond <= kMaxMacroblocksPerSecond, media_text::kEncoderEnvelope);

    const std::uint64_t columns = (mode.width + 15) / 16;
    const std::uint64_t rows = (mode.height + 15) / 16;
    for (const H264LevelLimits& level : kH264Levels) {
        if (level.maxFrameMacroblocks >= frame && level.maxMacroblocksPerSecond >= perSecond &&
            level.maxBitrate >= mode.bitrate && 8 * level.maxFrameMacroblocks >= columns * columns &&
            8 * level.maxFrameMacroblocks >= rows * rows) {
            return level.levelIdc;
        }
    }
    throw ProtocolError(media_text::kEncoderNoLevel);
}

EvenSize fitEncodeSize(double contentWidth, double contentHeight, double boxWidth, double boxHeight) {
    const FrameRect fitted = fitRect(boxWidth, boxHeight, contentWidth, contentHeight);
    // fitRect's sides are at most the box's; clamp before the integer conversion all the same.
    const auto even = [](double side) {
        const double clamped = std::clamp(side, 0.0, 4294967294.0);
        return static_cast<std::uint32_t>(clamped) & ~std::uint32_t{1};
    };
    return {even(fitted.w), even(fitted.h)};
}

void checkEncodedSize(std::size_t length) {
    throwUnless(length >= kMinEncodedAccessUnitBytes && length <= kMaxAccessUnitBytes, media_text::kEncodedSizeInvalid);
}

void checkEncodedAccessUnit(std::span<const std::uint8_t> bytes) {
    checkEncodedSize(bytes.size());
    throwUnless(startsWithStartCode(bytes), media_text::kEncoderNotAnnexB);
}

HardwareH264Encoder::HardwareH264Encoder(const EncoderMode& mode) : mode_(mode), level_(chooseH264Level(mode)) {}

bool HardwareH264Encoder::encode(const PictureHandle& picture, std::int64_t timestamp) {
    if (!picture) return false;
    const PictureDescription description = picture->describe();
    throwUnless(description.format == PixelFormat::Nv12 && description.width == mode_.width &&
                    description.height == mode_.height && description.arraySize == 1,
                media_text::kEncoderInputMismatch);
    return submitPicture(*picture, timestamp);
}

}  // namespace murel
