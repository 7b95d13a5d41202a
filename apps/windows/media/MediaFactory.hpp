#pragma once
// What a platform offers the Controller for media: one maker per media object and the timer
// resolution of a media session. Part of the Controller's Platform record.
//
// Every maker throws ProtocolError with the backend's failure text; objects made on a device hold
// it by reference (the device must outlive them). Empty makers mean the platform cannot do that
// (the Controller then refuses what needs them); the timer members may be empty ("nothing to do").
//
// Windows: murel::win::makeWindowsMediaFactory() (D3D11, DXGI duplication, Media Foundation,
// timeBeginPeriod(1) / timeEndPeriod(1)). Linux: murel::makeLinuxMediaFactory() (X11 or synthetic
// capture, libswscale, libavcodec, X11 or recording presenter; no timer to raise). Tests: fakes.

#include <cstdint>
#include <functional>
#include <memory>

#include "media/DesktopCapture.hpp"
#include "media/GraphicsDevice.hpp"
#include "media/HardwareH264Encoder.hpp"
#include "media/HevcPreflight.hpp"
#include "media/VideoConverter.hpp"
#include "media/VideoDecoder.hpp"
#include "media/ViewerPresenter.hpp"

namespace murel {

struct MediaFactory {
    // The device on adapter adapterIndex (the Controller passes 0).
    std::function<std::unique_ptr<GraphicsDevice>(std::uint32_t adapterIndex)> makeGraphicsDevice;
    std::function<std::unique_ptr<VideoConverter>(GraphicsDevice& device)> makeConverter;
    // Starts capturing output outputIndex (the host passes 0).
    std::function<std::unique_ptr<DesktopCapture>(GraphicsDevice& device, std::uint32_t outputIndex)> makeCapture;
    // A started encoder for the mode (validated and levelled before anything is built).
    std::function<std::unique_ptr<HardwareH264Encoder>(GraphicsDevice& device, const EncoderMode& mode)> makeEncoder;
    // A started decoder. H.264 ignores width, height and fps; HEVC checks them against the
    // receive envelope and throws "HEVC decoder is unavailable; retain H.264" where it has none.
    std::function<std::unique_ptr<VideoDecoder>(GraphicsDevice& device, VideoCodec codec, std::uint32_t width,
                                                std::uint32_t height, std::uint32_t fps)>
        makeDecoder;
    // A presenter for the viewer's video surface (Command::surface: an HWND on Windows, an X11
    // window id on Linux).
    std::function<std::unique_ptr<ViewerPresenter>(GraphicsDevice& device, std::uint64_t window)> makePresenter;

    // timeBeginPeriod(1): true when raised (then restore once). Empty: nothing to raise.
    std::function<bool()> raiseTimerResolution;
    // timeEndPeriod(1). Must not throw.
    std::function<void()> restoreTimerResolution;

    // Viewing needs a device, converter, decoders and a presenter; hosting a device, converter,
    // capture and encoder.
    bool canView() const { return makeGraphicsDevice && makeConverter && makeDecoder && makePresenter; }
    bool canHost() const { return makeGraphicsDevice && makeConverter && makeCapture && makeEncoder; }
};

// The HEVC test decode on the factory's decoder for this device (HEVC, 64 x 64 at 30 fps); returns
// normally when HEVC decoding is verified, throws otherwise (see HevcPreflight.hpp).
void runHevcPreflight(const MediaFactory& media, GraphicsDevice& device,
                      const PreflightTiming& timing = steadyPreflightTiming());

// Raises the timer resolution on construction when the factory can, restores it on destruction.
class TimerResolutionScope {
public:
    explicit TimerResolutionScope(const MediaFactory& media);
    ~TimerResolutionScope();
    TimerResolutionScope(const TimerResolutionScope&) = delete;
    TimerResolutionScope& operator=(const TimerResolutionScope&) = delete;

    bool raised() const { return raised_; }

private:
    std::function<void()> restore_;
    bool raised_ = false;
};

}  // namespace murel
