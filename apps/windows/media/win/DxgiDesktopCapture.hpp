#pragma once
// Pictures of one output of the shared device's adapter with DXGI desktop duplication. Every new
// desktop image is copied into a BGRA texture the frame owns, so the duplication frame is given
// back at once. Only attached, unrotated outputs are captured; the pointer is not drawn.

#include <dxgi1_2.h>

#include <functional>

#include "media/DesktopCapture.hpp"
#include "media/win/ComRef.hpp"
#include "media/win/D3D11GraphicsDevice.hpp"

namespace murel::win {

class DxgiDesktopCapture final : public DesktopCapture {
public:
    // Starts duplicating output outputIndex of the device's adapter; throws the start-up failures.
    DxgiDesktopCapture(D3D11GraphicsDevice& graphics, std::uint32_t outputIndex);

    // Starts a duplication: fills in the output's description and returns the duplication, or
    // throws. The constructor above uses DXGI's own; tests hand in their own duplications.
    using DuplicationStarter = std::function<ComRef<IDXGIOutputDuplication>(DXGI_OUTPUT_DESC& description)>;
    DxgiDesktopCapture(D3D11GraphicsDevice& graphics, DuplicationStarter starter);

    ~DxgiDesktopCapture() override;

    FrameRect desktopBounds() const override;
    std::uint32_t refreshRate() override;

protected:
    bool duplicating() const override;
    void startDuplication() override;
    void stopDuplication() noexcept override;
    Acquired acquireFrame(std::uint32_t timeoutMs) override;
    bool protectedContentMasked() override;
    PictureDescription describeAcquired() override;
    PictureHandle copyAcquired() override;
    std::int64_t acquiredTimestamp() override;
    void releaseFrame() noexcept override;

private:
    D3D11GraphicsDevice& graphics_;
    DuplicationStarter starter_;
    DXGI_OUTPUT_DESC outputDescription_{};
    ComRef<IDXGIOutputDuplication> duplication_;
    // The frame held between acquireFrame and releaseFrame.
    DXGI_OUTDUPL_FRAME_INFO frameInfo_{};
    ComRef<IDXGIResource> resource_;
    ComRef<ID3D11Texture2D> desktopTexture_;
    D3D11_TEXTURE2D_DESC desktopDescription_{};
    bool holding_ = false;
};

// DXGI's duplication of output outputIndex of the device's adapter: "Select desktop output",
// "Read desktop bounds", the attached and unrotated check, "Get desktop duplication output",
// "Start desktop duplication".
DxgiDesktopCapture::DuplicationStarter dxgiDuplicationStarter(D3D11GraphicsDevice& graphics,
                                                              std::uint32_t outputIndex);

}  // namespace murel::win
