#include "media/win/DxgiDesktopCapture.hpp"

#include <utility>

#include "media/MediaError.hpp"
#include "media/win/D3D11Picture.hpp"
#include "platform/win/WinError.hpp"

namespace murel::win {

DxgiDesktopCapture::DuplicationStarter dxgiDuplicationStarter(D3D11GraphicsDevice& graphics,
                                                              std::uint32_t outputIndex) {
    return [&graphics, outputIndex](DXGI_OUTPUT_DESC& description) {
        ComRef<IDXGIOutput> output;
        checkHr(graphics.adapter()->EnumOutputs(outputIndex, output.put()), "Select desktop output");
        checkHr(output->GetDesc(&description), "Read desktop bounds");
        throwUnless(description.AttachedToDesktop && description.Rotation == DXGI_MODE_ROTATION_IDENTITY,
                    media_text::kCaptureDisplayUnsupported);
        ComRef<IDXGIOutput1> output1;
        checkHr(output.query(output1), "Get desktop duplication output");
        ComRef<IDXGIOutputDuplication> duplication;
        checkHr(output1->DuplicateOutput(graphics.device(), duplication.put()), "Start desktop duplication");
        return duplication;
    };
}

DxgiDesktopCapture::DxgiDesktopCapture(D3D11GraphicsDevice& graphics, std::uint32_t outputIndex)
    : DxgiDesktopCapture(graphics, dxgiDuplicationStarter(graphics, outputIndex)) {}

DxgiDesktopCapture::DxgiDesktopCapture(D3D11GraphicsDevice& graphics, DuplicationStarter starter)
    : graphics_(graphics), starter_(std::move(starter)) {
    startDuplication();
}

DxgiDesktopCapture::~DxgiDesktopCapture() { stopDuplication(); }

bool DxgiDesktopCapture::duplicating() const { return static_cast<bool>(duplication_); }

void DxgiDesktopCapture::startDuplication() {
    stopDuplication();
    DXGI_OUTPUT_DESC description{};
    ComRef<IDXGIOutputDuplication> duplication = starter_(description);
    outputDescription_ = description;
    duplication_ = std::move(duplication);
}

void DxgiDesktopCapture::stopDuplication() noexcept {
    releaseFrame();
    duplication_.reset();
}

DesktopCapture::Acquired DxgiDesktopCapture::acquireFrame(std::uint32_t timeoutMs) {
    DXGI_OUTDUPL_FRAME_INFO info{};
    ComRef<IDXGIResource> resource;
    const HRESULT hr = duplication_->AcquireNextFrame(timeoutMs, &info, resource.put());
    // A resource handed out along with a timeout or lost access goes with `resource`.
    if (hr == DXGI_ERROR_WAIT_TIMEOUT) return Acquired::NoNewFrame;
    if (hr == DXGI_ERROR_ACCESS_LOST) return Acquired::AccessLost;
    checkHr(hr, "Acquire desktop frame");
    frameInfo_ = info;
    resource_ = std::move(resource);
    holding_ = true;
    return Acquired::Frame;
}

bool DxgiDesktopCapture::protectedContentMasked() { return frameInfo_.ProtectedContentMaskedOut != FALSE; }

PictureDescription DxgiDesktopCapture::describeAcquired() {
    checkHr(resource_.query(desktopTexture_), "Read desktop texture");
    desktopTexture_->GetDesc(&desktopDescription_);
    return {static_cast<PixelFormat>(desktopDescription_.Format), desktopDescription_.Width,
            desktopDescription_.Height, desktopDescription_.ArraySize};
}

PictureHandle DxgiDesktopCapture::copyAcquired() {
    D3D11_TEXTURE2D_DESC description = desktopDescription_;
    description.Usage = D3D11_USAGE_DEFAULT;
    description.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
    description.CPUAccessFlags = 0;
    description.MiscFlags = 0;
    ComRef<ID3D11Texture2D> owned;
    checkHr(graphics_.device()->CreateTexture2D(&description, nullptr, owned.put()),
            "Allocate owned capture texture");
    graphics_.context()->CopyResource(owned.get(), desktopTexture_.get());
    return std::make_shared<D3D11Picture>(std::move(owned));
}

std::int64_t DxgiDesktopCapture::acquiredTimestamp() {
    if (frameInfo_.LastPresentTime.QuadPart != 0) return frameInfo_.LastPresentTime.QuadPart;
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void DxgiDesktopCapture::releaseFrame() noexcept {
    desktopTexture_.reset();
    if (holding_ && duplication_) duplication_->ReleaseFrame();
    holding_ = false;
    resource_.reset();
    frameInfo_ = {};
}

FrameRect DxgiDesktopCapture::desktopBounds() const {
    const RECT& r = outputDescription_.DesktopCoordinates;
    return {static_cast<double>(r.left), static_cast<double>(r.top), static_cast<double>(r.right) - r.left,
            static_cast<double>(r.bottom) - r.top};
}

std::uint32_t DxgiDesktopCapture::refreshRate() {
    if (duplication_) {
        DXGI_OUTDUPL_DESC description{};
        duplication_->GetDesc(&description);
        const std::uint32_t rate =
            roundRefreshRate(description.ModeDesc.RefreshRate.Numerator, description.ModeDesc.RefreshRate.Denominator);
        if (rate != 0) return rate;
    }
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    std::uint32_t fromSettings = 0;
    if (EnumDisplaySettingsExW(outputDescription_.DeviceName, ENUM_CURRENT_SETTINGS, &mode, 0) &&
        (mode.dmFields & DM_DISPLAYFREQUENCY)) {
        fromSettings = mode.dmDisplayFrequency;
    }
    return pickRefreshRate(fromSettings);
}

}  // namespace murel::win
