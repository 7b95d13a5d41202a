// The media behaviour suite on the Windows backend. It needs what Wine lacks (video processing, a
// hardware encoder, the Windows H.264 decoder), so the Wine run leaves it out (see CMakeLists.txt);
// run windows_media_tests.exe on Windows with a GPU to exercise it.
#include <gtest/gtest.h>

#include "MediaBehaviour.hpp"
#include "MediaTestSupport.hpp"
#include "media/win/D3D11Picture.hpp"
#include "media/win/WindowsMediaFactory.hpp"

namespace murel::test {
namespace {

struct WindowsMediaBackend {
    // The suite's device; pictures must be made on the device the converter works on.
    static inline win::D3D11GraphicsDevice* device = nullptr;

    static MediaFactory factory() {
        enterMediaApartment();
        MediaFactory media = win::makeWindowsMediaFactory();
        media.makeGraphicsDevice = [](std::uint32_t adapterIndex) -> std::unique_ptr<GraphicsDevice> {
            auto made = std::make_unique<win::D3D11GraphicsDevice>(adapterIndex);
            device = made.get();
            return made;
        };
        return media;
    }

    static PictureHandle bgraPicture(std::uint32_t width, std::uint32_t height, Rgb left, Rgb right) {
        std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
        const auto bgra = [](Rgb c) {
            return 0xFF000000u | static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 |
                   static_cast<std::uint32_t>(c.b);
        };
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) pixels[y * width + x] = bgra(x < width / 2 ? left : right);
        }
        D3D11_TEXTURE2D_DESC description{};
        description.Width = width;
        description.Height = height;
        description.MipLevels = 1;
        description.ArraySize = 1;
        description.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        description.SampleDesc.Count = 1;
        description.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
        D3D11_SUBRESOURCE_DATA data{pixels.data(), width * 4, 0};
        win::ComRef<ID3D11Texture2D> texture;
        EXPECT_HRESULT_SUCCEEDED(device->device()->CreateTexture2D(&description, &data, texture.put()));
        return std::make_shared<win::D3D11Picture>(std::move(texture));
    }

    static Rgb pixel(const PictureHandle& picture, std::uint32_t x, std::uint32_t y) {
        ID3D11Texture2D* texture = win::D3D11Picture::of(*picture).texture();
        const std::vector<std::uint32_t> pixels = readPixels(texture, *device);
        D3D11_TEXTURE2D_DESC description{};
        texture->GetDesc(&description);
        const std::size_t at = static_cast<std::size_t>(y) * description.Width + x;
        if (at >= pixels.size()) return {-1, -1, -1};
        return {static_cast<int>(pixels[at] >> 16 & 0xFF), static_cast<int>(pixels[at] >> 8 & 0xFF),
                static_cast<int>(pixels[at] & 0xFF)};
    }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Windows, MediaBehaviour, WindowsMediaBackend);

}  // namespace murel::test
