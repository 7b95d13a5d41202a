#include "media/VideoDecoder.hpp"

#include "media/MediaError.hpp"
#include "media/VideoEnvelope.hpp"

namespace murel {

void checkAccessUnitSize(std::size_t length) {
    throwUnless(length >= 1 && length <= kMaxAccessUnitBytes, media_text::kAccessUnitSize);
}

VideoDecoder::VideoDecoder(VideoCodec codec, std::uint32_t width, std::uint32_t height, std::uint32_t fps)
    : codec_(codec) {
    if (codec == VideoCodec::Hevc) checkHevcReceiveEnvelope(width, height, fps);
}

bool VideoDecoder::decode(std::span<const std::uint8_t> accessUnit, std::int64_t timestamp) {
    checkAccessUnitSize(accessUnit.size());
    return submitAccessUnit(accessUnit, timestamp);
}

}  // namespace murel
