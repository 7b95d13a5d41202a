#include "LinuxMediaFactory.hpp"

#include "X11Media.hpp"
#include "media/MediaError.hpp"

namespace murel {
namespace {

void requireCpuDevice(const GraphicsDevice& device) {
    throwUnless(dynamic_cast<const CpuGraphicsDevice*>(&device) != nullptr, media_text::kForeignPicture);
}

}  // namespace

MediaFactory makeLinuxMediaFactory(LinuxMediaOptions options) {
    MediaFactory media;
    media.makeGraphicsDevice = [](std::uint32_t adapterIndex) -> std::unique_ptr<GraphicsDevice> {
        // Only adapter 0 exists here, as an index without an adapter fails on Windows.
        throwUnless(adapterIndex == 0, "Select graphics adapter failed (no such adapter)");
        return std::make_unique<CpuGraphicsDevice>();
    };
    media.makeConverter = [](GraphicsDevice& device) {
        requireCpuDevice(device);
        return makeSwsConverter();
    };
    media.makeCapture = [options](GraphicsDevice& device,
                                  std::uint32_t outputIndex) -> std::unique_ptr<DesktopCapture> {
        requireCpuDevice(device);
        throwUnless(outputIndex == 0, "Select desktop output failed (no such output)");
        if (options.capture == LinuxMediaOptions::Capture::Synthetic) {
            return std::make_unique<SyntheticDesktopCapture>(options.scene);
        }
        return makeX11Capture(options.captureDisplay);
    };
    media.makeEncoder = [encoder = options.encoder](GraphicsDevice& device, const EncoderMode& mode) {
        requireCpuDevice(device);
        return makeX264Encoder(mode, encoder);
    };
    media.makeDecoder = [threads = options.decoderThreads](GraphicsDevice& device, VideoCodec codec,
                                                           std::uint32_t width, std::uint32_t height,
                                                           std::uint32_t fps) {
        requireCpuDevice(device);
        return makeAvDecoder(codec, width, height, fps, threads);
    };
    media.makePresenter = [options](GraphicsDevice& device, std::uint64_t window) -> std::unique_ptr<ViewerPresenter> {
        requireCpuDevice(device);
        if (options.recordTo) {
            RecordingPresenterOptions recording;
            recording.folder = *options.recordTo;
            return std::make_unique<RecordingPresenter>(recording);
        }
        return makeX11Presenter(options.presenterDisplay, window);
    };
    return media;
}

}  // namespace murel
