#pragma once
// Draws decoded BGRA pictures into the viewer's video surface window through a flip-model swap chain
// on the shared device, letterboxed on black. It never blocks: one frame may be queued, readiness
// is polled on the frame-latency waitable object with a zero wait, and Present does not wait. A
// picture offered while the chain is busy and the window kept its size is not consumed.

#include <d3d11.h>
#include <dxgi1_3.h>

#include <string_view>

#include "media/ViewerPresenter.hpp"
#include "media/win/ComRef.hpp"
#include "media/win/D3D11GraphicsDevice.hpp"

namespace murel::win {

// The presenter's HLSL: "vs" makes one viewport-covering triangle from three vertex ids (no vertex
// buffer), "ps" samples the picture with alpha forced to 1.
extern const std::string_view kViewerShaderText;

class DxgiViewerPresenter final : public ViewerPresenter {
public:
    // Creates the swap chain on the window, its pacing, the shaders and the sampler. Throws
    // ProtocolError after releasing whatever was already created.
    DxgiViewerPresenter(D3D11GraphicsDevice& graphics, HWND window);
    // The same on a swap chain made by the caller (for a window it was made for): pacing, shaders
    // and sampler only.
    DxgiViewerPresenter(D3D11GraphicsDevice& graphics, HWND window, ComRef<IDXGISwapChain1> swapChain);
    ~DxgiViewerPresenter() override;

    void presentEmpty() override;
    FrameRect destination() const override { return destination_; }

protected:
    PresentResult presentPicture(const Picture& picture) override;

private:
    void limitFrameLatency();
    void buildPipeline();
    void release() noexcept;
    // Matches the buffers to the client area; an empty area leaves width and height 0.
    void resize();
    bool ready();
    bool shown() const;

    D3D11GraphicsDevice& graphics_;
    HWND window_;
    int width_ = 0;
    int height_ = 0;
    FrameRect destination_;
    HANDLE frameReady_ = nullptr;
    bool readyConsumed_ = false;
    ComRef<IDXGISwapChain1> swapChain_;
    ComRef<ID3D11RenderTargetView> renderTarget_;
    ComRef<ID3D11VertexShader> vertexShader_;
    ComRef<ID3D11PixelShader> pixelShader_;
    ComRef<ID3D11SamplerState> sampler_;
};

}  // namespace murel::win
