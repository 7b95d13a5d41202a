#include "media/win/WindowsMediaFactory.hpp"

#include <windows.h>
#include <timeapi.h>

#include "media/win/D3D11GraphicsDevice.hpp"
#include "media/win/D3D11VideoConverter.hpp"
#include "media/win/DxgiDesktopCapture.hpp"
#include "media/win/DxgiViewerPresenter.hpp"
#include "media/win/MediaFoundationH264Encoder.hpp"
#include "media/win/MediaFoundationVideoDecoder.hpp"

namespace murel::win {

MediaFactory makeWindowsMediaFactory() {
    MediaFactory media;
    media.makeGraphicsDevice = [](std::uint32_t adapterIndex) -> std::unique_ptr<GraphicsDevice> {
        return std::make_unique<D3D11GraphicsDevice>(adapterIndex);
    };
    media.makeConverter = [](GraphicsDevice& device) -> std::unique_ptr<VideoConverter> {
        return std::make_unique<D3D11VideoConverter>(D3D11GraphicsDevice::of(device));
    };
    media.makeCapture = [](GraphicsDevice& device, std::uint32_t outputIndex) -> std::unique_ptr<DesktopCapture> {
        return std::make_unique<DxgiDesktopCapture>(D3D11GraphicsDevice::of(device), outputIndex);
    };
    media.makeEncoder = [](GraphicsDevice& device, const EncoderMode& mode) -> std::unique_ptr<HardwareH264Encoder> {
        return std::make_unique<MediaFoundationH264Encoder>(D3D11GraphicsDevice::of(device), mode);
    };
    media.makeDecoder = [](GraphicsDevice& device, VideoCodec codec, std::uint32_t width, std::uint32_t height,
                           std::uint32_t fps) -> std::unique_ptr<VideoDecoder> {
        return std::make_unique<MediaFoundationVideoDecoder>(D3D11GraphicsDevice::of(device), codec, width, height,
                                                             fps);
    };
    media.makePresenter = [](GraphicsDevice& device, std::uint64_t window) -> std::unique_ptr<ViewerPresenter> {
        return std::make_unique<DxgiViewerPresenter>(D3D11GraphicsDevice::of(device),
                                                     reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)));
    };
    media.raiseTimerResolution = [] { return timeBeginPeriod(1) == TIMERR_NOERROR; };
    media.restoreTimerResolution = [] { timeEndPeriod(1); };
    return media;
}

}  // namespace murel::win
