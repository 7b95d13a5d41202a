#include "media/win/D3D11GraphicsDevice.hpp"

#include <d3d10.h>

#include "media/MediaError.hpp"
#include "platform/win/WinError.hpp"

namespace murel::win {

D3D11GraphicsDevice::D3D11GraphicsDevice(std::uint32_t adapterIndex) {
    ComRef<IDXGIFactory1> factory;
    checkHr(CreateDXGIFactory1(__uuidof(IDXGIFactory1), factory.putVoid()), "Create DXGI factory");
    checkHr(factory->EnumAdapters1(adapterIndex, adapter_.put()), "Select graphics adapter");

    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    checkHr(D3D11CreateDevice(adapter_.get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr,
                              D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT, levels,
                              static_cast<UINT>(sizeof levels / sizeof levels[0]), D3D11_SDK_VERSION,
                              device_.put(), nullptr, context_.put()),
            "Create hardware D3D11 device");

    ComRef<ID3D10Multithread> multithread;
    checkHr(context_.query(multithread), "D3D multithread protection");
    multithread->SetMultithreadProtected(TRUE);
    // The factory goes with this scope; the members release themselves if a later step threw.
}

LUID D3D11GraphicsDevice::luid() const {
    DXGI_ADAPTER_DESC1 description{};
    checkHr(adapter_->GetDesc1(&description), "Read adapter identity");
    return description.AdapterLuid;
}

AdapterLuid D3D11GraphicsDevice::adapterLuid() const {
    const LUID value = luid();
    return {static_cast<std::uint32_t>(value.LowPart), static_cast<std::int32_t>(value.HighPart)};
}

D3D11GraphicsDevice& D3D11GraphicsDevice::of(GraphicsDevice& device) {
    auto* d3d = dynamic_cast<D3D11GraphicsDevice*>(&device);
    throwUnless(d3d != nullptr, media_text::kForeignPicture);
    return *d3d;
}

}  // namespace murel::win
