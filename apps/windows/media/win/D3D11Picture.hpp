#pragma once
// A picture of the Windows media objects: one D3D11 texture (all of its slices) on the shared
// device, and for a decoded picture the decoder's output sample, which keeps the decoder from
// reusing the surface while the picture is alive.

#include <d3d11.h>
#include <mfobjects.h>

#include "media/MediaTypes.hpp"
#include "media/win/ComRef.hpp"

namespace murel::win {

class D3D11Picture final : public Picture {
public:
    explicit D3D11Picture(ComRef<ID3D11Texture2D> texture, ComRef<IMFSample> sample = {});

    // Format (the DXGI number), width, height and array size of the texture.
    PictureDescription describe() const override;

    ID3D11Texture2D* texture() const { return texture_.get(); }
    D3D11_TEXTURE2D_DESC textureDescription() const;

    // The Windows picture behind a handle; throws "Picture does not belong to this media device"
    // for a picture of another backend.
    static const D3D11Picture& of(const Picture& picture);

private:
    ComRef<ID3D11Texture2D> texture_;
    ComRef<IMFSample> sample_;
};

}  // namespace murel::win
