#pragma once
// Decoding of the complete H.264 or HEVC access units the viewer receives into pictures.
//
// The base class checks an HEVC decoder's mode against the receive envelope before a backend builds
// anything (an H.264 decoder ignores the size and rate it is given) and checks every access unit's
// size before the backend sees it. Backends: Media Foundation transforms on Windows, libavcodec on
// Linux. A decoder is replaced whole, never reconfigured.
//
// Threads: the Controller's worker only.

#include <cstdint>
#include <span>
#include <vector>

#include "media/MediaTypes.hpp"

namespace murel {

// 1...8 MiB, else "Invalid video access unit size".
void checkAccessUnitSize(std::size_t length);

class VideoDecoder {
public:
    virtual ~VideoDecoder() = default;

    VideoCodec codec() const { return codec_; }

    // Offers one complete access unit (Annex-B) with its timestamp in 100-ns units (the viewer
    // passes rtp x 1000 / 9). False: not accepted now; the caller keeps it and retries later.
    // Throws ProtocolError for a unit that can never be decoded and for decoder failures.
    bool decode(std::span<const std::uint8_t> accessUnit, std::int64_t timestamp);

    // Decoded pictures, oldest first.
    virtual std::vector<DecodedFrame> decodedFrames() = 0;

protected:
    // HEVC: throws the envelope failures (frame envelope, then "HEVC decoder mode exceeds the
    // receive envelope") before a backend makes anything.
    VideoDecoder(VideoCodec codec, std::uint32_t width, std::uint32_t height, std::uint32_t fps);
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Called with a unit of valid size only.
    virtual bool submitAccessUnit(std::span<const std::uint8_t> accessUnit, std::int64_t timestamp) = 0;

private:
    VideoCodec codec_;
};

}  // namespace murel
