#pragma once
// The media of the Linux platform: X11 or synthetic capture, libswscale conversion, libx264
// encoding, libavcodec H.264/HEVC decoding, and an X11 or recording presenter. The graphics device
// is the CPU; there is no timer resolution to raise.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "FfmpegMedia.hpp"
#include "RecordingPresenter.hpp"
#include "SyntheticScene.hpp"
#include "media/MediaFactory.hpp"

namespace murel {

struct LinuxMediaOptions {
    enum class Capture { X11, Synthetic };
    Capture capture = Capture::X11;
    // The X display captured (empty: $DISPLAY).
    std::string captureDisplay;
    // Size and rate of the synthetic scene.
    SyntheticSceneOptions scene;
    // Record presented pictures into this folder instead of drawing into the viewer's window.
    std::optional<std::filesystem::path> recordTo;
    // The X display of the viewer's window (empty: $DISPLAY).
    std::string presenterDisplay;
    X264Options encoder;
    int decoderThreads = 2;
};

// The CPU "device": every Linux media object works in memory.
class CpuGraphicsDevice final : public GraphicsDevice {
public:
    AdapterLuid adapterLuid() const override { return {}; }
};

MediaFactory makeLinuxMediaFactory(LinuxMediaOptions options = {});

}  // namespace murel
