// What every Windows media object does on this machine's Wine: the device works; duplication,
// video processing, hardware codecs and the Windows H.264 decoder are missing, and each object
// fails at the step that needs them, with that step's text.
#include <gtest/gtest.h>

#include <string>

#include "MediaTestSupport.hpp"
#include "media/MediaError.hpp"
#include "media/win/D3D11VideoConverter.hpp"
#include "media/win/DxgiDesktopCapture.hpp"
#include "media/win/DxgiViewerPresenter.hpp"
#include "media/win/MediaFoundationH264Encoder.hpp"
#include "media/win/MediaFoundationVideoDecoder.hpp"
#include "media/win/WindowsMediaFactory.hpp"

namespace murel::test {
namespace {

using namespace murel::win;

constexpr const char* kNotImplemented = "(HRESULT 2147500033)";  // E_NOTIMPL
constexpr const char* kNoInterface = "(HRESULT 2147500034)";     // E_NOINTERFACE
constexpr const char* kNotFound = "(HRESULT 2289696770)";        // DXGI_ERROR_NOT_FOUND

std::string failed(const char* step, const char* code) { return std::string(step) + " failed " + code; }

TEST(WineMedia, GraphicsDeviceLivesOnAdapterZeroOnly) {
    D3D11GraphicsDevice& device = sharedGraphicsDevice();
    EXPECT_NE(device.device(), nullptr);
    EXPECT_NE(device.context(), nullptr);
    const AdapterLuid luid = device.adapterLuid();
    const LUID native = device.luid();
    EXPECT_EQ(luid.lowPart, native.LowPart);
    EXPECT_EQ(luid.highPart, native.HighPart);
    EXPECT_EQ(messageOf([] { D3D11GraphicsDevice second(1); }), failed("Select graphics adapter", kNotFound));

    // Media Foundation's asynchronous transforms use the device from their own threads.
    ComRef<ID3D10Multithread> multithread;
    ASSERT_HRESULT_SUCCEEDED(device.context()->QueryInterface(__uuidof(ID3D10Multithread), multithread.putVoid()));
    EXPECT_TRUE(multithread->GetMultithreadProtected());
}

TEST(WineMedia, EachObjectStopsAtTheStepWineLacks) {
    D3D11GraphicsDevice& device = sharedGraphicsDevice();
    EXPECT_EQ(messageOf([&] { DxgiDesktopCapture capture(device, 0); }),
              failed("Start desktop duplication", kNotImplemented));
    EXPECT_EQ(messageOf([&] { DxgiDesktopCapture capture(device, 7); }), failed("Select desktop output", kNotFound));

    EXPECT_EQ(messageOf([&] { D3D11VideoConverter converter(device); }), failed("Get D3D video device", kNoInterface));

    EXPECT_EQ(messageOf([&] { MediaFoundationH264Encoder encoder(device, {1920, 1080, 60, 20000000}); }),
              media_text::kNoHardwareEncoder);
    // The mode is refused before anything is enumerated.
    EXPECT_EQ(messageOf([&] { MediaFoundationH264Encoder encoder(device, {1921, 1080, 60, 20000000}); }),
              media_text::kEncoderModeInvalid);

    // Without GStreamer's H.264 parser Wine cannot make its H.264 decoder (E_FAIL).
    EXPECT_EQ(messageOf([&] { MediaFoundationVideoDecoder decoder(device, VideoCodec::H264, 1920, 1080, 60); }),
              "Create Windows H.264 decoder failed (HRESULT 2147500037)");
    EXPECT_EQ(messageOf([&] { MediaFoundationVideoDecoder decoder(device, VideoCodec::Hevc, 1920, 1080, 60); }),
              failed("Get HEVC GPU video device", kNoInterface));
    EXPECT_EQ(messageOf([&] { MediaFoundationVideoDecoder decoder(device, VideoCodec::Hevc, 4096, 2304, 60); }),
              media_text::kHevcReceiveEnvelope);
}

TEST(WineMedia, FactoryBuildsTheWindowsObjects) {
    const MediaFactory media = makeWindowsMediaFactory();
    EXPECT_TRUE(media.canView());
    EXPECT_TRUE(media.canHost());

    std::unique_ptr<GraphicsDevice> device = media.makeGraphicsDevice(0);
    ASSERT_NE(dynamic_cast<D3D11GraphicsDevice*>(device.get()), nullptr);
    EXPECT_EQ(messageOf([&] { media.makeConverter(*device); }), failed("Get D3D video device", kNoInterface));
    EXPECT_EQ(messageOf([&] { media.makeCapture(*device, 0); }), failed("Start desktop duplication", kNotImplemented));
    EXPECT_EQ(messageOf([&] { media.makeEncoder(*device, {1280, 720, 30, 5000000}); }), media_text::kNoHardwareEncoder);
    // The HEVC test decode fails where its decoder cannot be built, so the viewer keeps H.264.
    EXPECT_EQ(messageOf([&] { runHevcPreflight(media, *device); }), failed("Get HEVC GPU video device", kNoInterface));

    {
        TimerResolutionScope timer(media);
        EXPECT_TRUE(timer.raised());
    }
}

}  // namespace
}  // namespace murel::test
