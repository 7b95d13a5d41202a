#include "media/VideoConverter.hpp"

#include "media/MediaError.hpp"
#include "media/VideoEnvelope.hpp"

namespace murel {

ConversionShape validateConversion(const Picture* input, std::uint32_t slice, PixelFormat target,
                                   std::uint32_t targetWidth, std::uint32_t targetHeight,
                                   std::uint32_t visibleWidth, std::uint32_t visibleHeight, std::uint32_t fps) {
    throwUnless(input != nullptr && fitsFrameEnvelope(targetWidth, targetHeight) && fps >= 1 &&
                    fps <= kMaxFramesPerSecond,
                media_text::kInvalidConversionTarget);
    if (target == PixelFormat::Nv12) {
        throwUnless(targetWidth % 2 == 0 && targetHeight % 2 == 0, media_text::kNv12NeedsEvenSize);
    } else {
        throwUnless(target == PixelFormat::Bgra, media_text::kInvalidConversionTarget);
    }

    const PictureDescription description = input->describe();
    throwUnless(slice < description.arraySize, media_text::kInvalidTextureSlice);

    ConversionShape shape;
    shape.slice = slice;
    shape.inputWidth = description.width;
    shape.inputHeight = description.height;
    shape.key.visibleWidth = visibleWidth != 0 ? visibleWidth : description.width;
    shape.key.visibleHeight = visibleHeight != 0 ? visibleHeight : description.height;
    throwUnless(shape.key.visibleWidth <= description.width && shape.key.visibleHeight <= description.height &&
                    shape.key.visibleWidth != 0 && shape.key.visibleHeight != 0,
                media_text::kInvalidVisibleSize);
    shape.key.targetWidth = targetWidth;
    shape.key.targetHeight = targetHeight;
    shape.key.fps = fps;
    shape.key.inputFormat = description.format;
    shape.key.outputFormat = target;
    return shape;
}

PictureHandle VideoConverter::convert(const PictureHandle& input, std::uint32_t slice, PixelFormat target,
                                      std::uint32_t targetWidth, std::uint32_t targetHeight,
                                      std::uint32_t visibleWidth, std::uint32_t visibleHeight, std::uint32_t fps) {
    const ConversionShape shape =
        validateConversion(input.get(), slice, target, targetWidth, targetHeight, visibleWidth, visibleHeight, fps);
    return convertPicture(*input, shape);
}

}  // namespace murel
