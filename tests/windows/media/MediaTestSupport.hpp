#pragma once
// Shared set-up of the Windows media tests: one multithreaded COM apartment with Media Foundation
// started, one Direct3D 11 device for the whole process (Wine creates it on its GL-backed adapter).

#include <objbase.h>
#include <mfapi.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "media/win/D3D11GraphicsDevice.hpp"

namespace murel::test {

inline void enterMediaApartment() {
    static const bool started = [] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        return SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_FULL));
    }();
    (void)started;
}

inline win::D3D11GraphicsDevice& sharedGraphicsDevice() {
    enterMediaApartment();
    static win::D3D11GraphicsDevice device(0);
    return device;
}

// A texture on the shared device; BGRA ones are filled with one colour (0xAARRGGBB).
inline win::ComRef<ID3D11Texture2D> makeTexture(DXGI_FORMAT format, UINT width, UINT height, UINT arraySize = 1,
                                                UINT bindFlags = 0, std::uint32_t fill = 0) {
    D3D11_TEXTURE2D_DESC description{};
    description.Width = width;
    description.Height = height;
    description.MipLevels = 1;
    description.ArraySize = arraySize;
    description.Format = format;
    description.SampleDesc.Count = 1;
    description.Usage = D3D11_USAGE_DEFAULT;
    description.BindFlags = bindFlags;
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height, fill);
    D3D11_SUBRESOURCE_DATA data{pixels.data(), width * 4, 0};
    const bool filled = format == DXGI_FORMAT_B8G8R8A8_UNORM && arraySize == 1;
    win::ComRef<ID3D11Texture2D> texture;
    sharedGraphicsDevice().device()->CreateTexture2D(&description, filled ? &data : nullptr, texture.put());
    return texture;
}

// The pixels of a BGRA texture (0xAARRGGBB), row by row, read back through a staging copy on the
// device the texture belongs to.
inline std::vector<std::uint32_t> readPixels(ID3D11Texture2D* texture,
                                             win::D3D11GraphicsDevice& graphics = sharedGraphicsDevice()) {
    D3D11_TEXTURE2D_DESC description{};
    texture->GetDesc(&description);
    description.Usage = D3D11_USAGE_STAGING;
    description.BindFlags = 0;
    description.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    description.MiscFlags = 0;
    win::ComRef<ID3D11Texture2D> staging;
    if (FAILED(graphics.device()->CreateTexture2D(&description, nullptr, staging.put()))) return {};
    graphics.context()->CopyResource(staging.get(), texture);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(graphics.context()->Map(staging.get(), 0, D3D11_MAP_READ, 0, &mapped))) return {};
    std::vector<std::uint32_t> pixels;
    pixels.reserve(static_cast<std::size_t>(description.Width) * description.Height);
    for (UINT y = 0; y < description.Height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(static_cast<const std::uint8_t*>(mapped.pData) +
                                                                 static_cast<std::size_t>(y) * mapped.RowPitch);
        pixels.insert(pixels.end(), row, row + description.Width);
    }
    graphics.context()->Unmap(staging.get(), 0);
    return pixels;
}

// A reference count read without changing it: AddRef then Release, minus the probe's own.
inline ULONG referencesOf(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// The message of what the call throws, or a marker when it returns.
template <class Call>
std::string messageOf(Call&& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no exception>";
}

}  // namespace murel::test
