#pragma once
// Scaling and colour conversion with the D3D11 video processor of the shared device. The processor
// and its enumerator are built for one shape (visible size, target size, rate, input and output
// format) and kept until the shape changes; every conversion writes a new texture the caller owns.

#include <d3d11.h>

#include "media/VideoConverter.hpp"
#include "media/win/ComRef.hpp"
#include "media/win/D3D11GraphicsDevice.hpp"

namespace murel::win {

class D3D11VideoConverter final : public VideoConverter {
public:
    // Queries the video device and video context; throws "Get D3D video device" / "Get D3D video
    // context" failures where the driver has no video processing.
    explicit D3D11VideoConverter(D3D11GraphicsDevice& graphics);
    // The same with the video interfaces handed in.
    D3D11VideoConverter(D3D11GraphicsDevice& graphics, ComRef<ID3D11VideoDevice> videoDevice,
                        ComRef<ID3D11VideoContext> videoContext);

    // The shape the cached processor was built for (all zero before the first conversion).
    const ConversionKey& cachedKey() const { return key_; }

protected:
    PictureHandle convertPicture(const Picture& input, const ConversionShape& shape) override;

private:
    void rebuild(const ConversionKey& key);

    D3D11GraphicsDevice& graphics_;
    ComRef<ID3D11VideoDevice> videoDevice_;
    ComRef<ID3D11VideoContext> videoContext_;
    ConversionKey key_;
    ComRef<ID3D11VideoProcessorEnumerator> enumerator_;
    ComRef<ID3D11VideoProcessor> processor_;
};

// The colour space of one side of a conversion: BT.709 with studio range for NV12 (0x14), BT.709
// with full range for anything else (0x24).
D3D11_VIDEO_PROCESSOR_COLOR_SPACE conversionColorSpace(PixelFormat format);

}  // namespace murel::win
