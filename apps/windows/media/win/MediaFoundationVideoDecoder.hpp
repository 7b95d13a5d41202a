#pragma once
// The viewer's decoders on the shared device, driven by HardwareCodec: H.264 with the Windows H.264
// decoder transform, HEVC with a hardware transform once the GPU reports an HEVC Main decoder with
// NV12 output. Decoded pictures are NV12 slices of the decoder's surface array, each holding its
// output sample so the surface is not reused while the picture is in use.

#include <d3d11.h>
#include <mfidl.h>

#include "media/VideoDecoder.hpp"
#include "media/win/D3D11GraphicsDevice.hpp"
#include "media/win/HardwareCodec.hpp"

namespace murel::win {

class MediaFoundationVideoDecoder final : public VideoDecoder {
public:
    // Builds and starts the decoder. H.264 ignores width, height and fps; HEVC checks them against
    // the receive envelope and needs GPU support and a hardware transform. Throws ProtocolError.
    MediaFoundationVideoDecoder(D3D11GraphicsDevice& graphics, VideoCodec codec, std::uint32_t width,
                                std::uint32_t height, std::uint32_t fps);
    // The same with a transform made by the caller: no GPU capability check, no enumeration.
    MediaFoundationVideoDecoder(D3D11GraphicsDevice& graphics, VideoCodec codec, std::uint32_t width,
                                std::uint32_t height, std::uint32_t fps, ComRef<IMFTransform> transform);
    ~MediaFoundationVideoDecoder() override;

    std::vector<DecodedFrame> decodedFrames() override;

    std::uint32_t visibleWidth() const { return visibleWidth_; }
    std::uint32_t visibleHeight() const { return visibleHeight_; }

protected:
    bool submitAccessUnit(std::span<const std::uint8_t> accessUnit, std::int64_t timestamp) override;

private:
    void start(ComRef<IMFTransform> transform, std::uint32_t width, std::uint32_t height, std::uint32_t fps);
    void selectOutputType();
    DecodedFrame frameOf(ComRef<IMFSample> sample);

    HardwareCodec codec_;
    // Compared with the device of every HEVC surface; released before the codec shuts down.
    ComRef<ID3D11Device> device_;
    std::uint32_t visibleWidth_ = 0;
    std::uint32_t visibleHeight_ = 0;
};

// The GPU offers the HEVC Main decoder profile with NV12 output, else "GPU does not support HEVC
// Main NV12 decoding".
void requireHevcMainNv12(ID3D11VideoDevice* video);
// The first hardware HEVC decoder transform that activates, else "HEVC decoder is unavailable;
// retain H.264".
ComRef<IMFTransform> findHevcDecoder();
// A new Windows H.264 decoder transform ("Create Windows H.264 decoder").
ComRef<IMFTransform> createWindowsH264Decoder();

}  // namespace murel::win
