#pragma once
// The process's one Direct3D 11 device: hardware, on a chosen DXGI adapter, with BGRA and video
// support, and with multithread protection on, because Media Foundation's asynchronous transforms
// use the same device from their own threads.

#include <d3d11.h>
#include <dxgi.h>

#include <cstdint>

#include "media/GraphicsDevice.hpp"
#include "media/win/ComRef.hpp"

namespace murel::win {

class D3D11GraphicsDevice final : public GraphicsDevice {
public:
    // Throws ProtocolError naming the failed step; nothing created is kept.
    explicit D3D11GraphicsDevice(std::uint32_t adapterIndex);

    // The adapter's LUID (IDXGIAdapter1::GetDesc1), so encoders are chosen on the same adapter.
    AdapterLuid adapterLuid() const override;
    LUID luid() const;

    ID3D11Device* device() const { return device_.get(); }
    ID3D11DeviceContext* context() const { return context_.get(); }
    IDXGIAdapter1* adapter() const { return adapter_.get(); }

    // The device behind a GraphicsDevice made by the Windows media factory.
    static D3D11GraphicsDevice& of(GraphicsDevice& device);

private:
    // Released in reverse order: context, adapter, device.
    ComRef<ID3D11Device> device_;
    ComRef<ID3D11DeviceContext> context_;
    ComRef<IDXGIAdapter1> adapter_;
};

}  // namespace murel::win
