#pragma once
// The FFmpeg-backed media objects of the Linux platform: libswscale conversion, libx264 encoding
// through libavcodec, and libavcodec's H.264 and HEVC decoders. FFmpeg types stay inside
// FfmpegMedia.cpp.

#include <cstdint>
#include <memory>
#include <string>

#include "CpuPicture.hpp"
#include "media/HardwareH264Encoder.hpp"
#include "media/VideoConverter.hpp"
#include "media/VideoDecoder.hpp"

namespace murel {

// BT.709 on both sides; limited range (16-235) for NV12 and I420, full range for BGRA. Caches one
// scaler by ConversionKey.
std::unique_ptr<VideoConverter> makeSwsConverter();

struct X264Options {
    // x264 speed preset; "ultrafast" keeps a 1080p picture within a frame interval on two cores.
    std::string preset = "ultrafast";
    // Slice threads; 0 lets x264 choose.
    int threads = 2;
};

// Baseline profile, zero latency, no B pictures, an IDR every 2 x fps pictures and on request
// (with SPS and PPS in front), the mode's level, its frame rate and bit rate (also the VBV rate,
// with one second of buffer). Input: NV12 CpuPictures of the mode's size.
std::unique_ptr<HardwareH264Encoder> makeX264Encoder(const EncoderMode& mode, const X264Options& options = {});

// A low-delay decoder with slice threads. Every access unit is checked before libavcodec sees it
// (Annex-B, each SPS readable and inside the frame envelope), and libavcodec's own picture-size cap
// is set to the envelope too, so a hostile stream cannot make it allocate for a huge picture.
// Output: I420 (or NV12) CpuPictures holding the decoder's frame. At most 8 decoded pictures wait;
// beyond that a unit is not accepted until they are taken.
std::unique_ptr<VideoDecoder> makeAvDecoder(VideoCodec codec, std::uint32_t width, std::uint32_t height,
                                            std::uint32_t fps, int threads = 2);

// Scales BGRA pictures into a BGRA buffer (the presenters' letterboxing); caches its scaler.
class BgraScaler {
public:
    BgraScaler();
    ~BgraScaler();
    BgraScaler(const BgraScaler&) = delete;
    BgraScaler& operator=(const BgraScaler&) = delete;

    // Scales the whole of source into width x height pixels at target (rows stride bytes apart).
    void scale(const CpuPicture& source, std::uint8_t* target, std::ptrdiff_t stride, std::uint32_t width,
               std::uint32_t height);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// FFmpeg logs nothing below a fatal error (hostile streams would flood the log otherwise).
void quietFfmpegLog();

}  // namespace murel
