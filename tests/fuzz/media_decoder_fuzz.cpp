// Received access units through the viewer's decoder input path: the size and bitstream checks,
// then libavcodec's H.264 or HEVC decoder. Byte 0 picks the codec (bit 0); then come units, each a
// 16-bit big-endian length and that many bytes (cut short at the end), so a stream of several
// access units can be fuzzed. Inputs above 256 KiB are skipped. Every picture that comes out must
// fit the frame envelope.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "FfmpegMedia.hpp"
#include "media/MediaError.hpp"
#include "media/VideoEnvelope.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace murel;
    if (size < 2 || size > 256 * 1024) return 0;
    quietFfmpegLog();
    const VideoCodec codec = (data[0] & 1) != 0 ? VideoCodec::Hevc : VideoCodec::H264;
    const auto decoder = makeAvDecoder(codec, 64, 64, 30, 1);
    try {
        for (std::size_t offset = 1; offset + 2 < size;) {
            const std::size_t length = std::min<std::size_t>((std::size_t{data[offset]} << 8) | data[offset + 1],
                                                             size - offset - 2);
            const std::span<const std::uint8_t> unit(data + offset + 2, length);
            offset += 2 + length;
            decoder->decode(unit, static_cast<std::int64_t>(offset));
            for (const DecodedFrame& frame : decoder->decodedFrames()) {
                const PictureDescription picture = frame.picture->describe();
                if (!fitsFrameEnvelope(picture.width, picture.height) || frame.width > picture.width ||
                    frame.height > picture.height) {
                    __builtin_trap();
                }
            }
        }
    } catch (const ProtocolError&) {
        // Refused: the session would end here.
    }
    return 0;
}
