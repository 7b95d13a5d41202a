#include "media/win/D3D11Picture.hpp"

#include <utility>

#include "media/MediaError.hpp"

namespace murel::win {

D3D11Picture::D3D11Picture(ComRef<ID3D11Texture2D> texture, ComRef<IMFSample> sample)
    : texture_(std::move(texture)), sample_(std::move(sample)) {}

D3D11_TEXTURE2D_DESC D3D11Picture::textureDescription() const {
    D3D11_TEXTURE2D_DESC description{};
    if (texture_) texture_->GetDesc(&description);
    return description;
}

PictureDescription D3D11Picture::describe() const {
    const D3D11_TEXTURE2D_DESC description = textureDescription();
    return {static_cast<PixelFormat>(description.Format), description.Width, description.Height,
            description.ArraySize};
}

const D3D11Picture& D3D11Picture::of(const Picture& picture) {
    const auto* d3d = dynamic_cast<const D3D11Picture*>(&picture);
    throwUnless(d3d != nullptr && d3d->texture_, media_text::kForeignPicture);
    return *d3d;
}

}  // namespace murel::win
