// DXGI desktop capture over scripted duplications whose desktop images are real textures of Wine's
// device (Wine itself cannot duplicate an output).
#include "media/win/DxgiDesktopCapture.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "FakeDuplication.hpp"
#include "MediaTestSupport.hpp"
#include "media/MediaError.hpp"
#include "media/win/D3D11Picture.hpp"

namespace murel::test {
namespace {

using win::DxgiDesktopCapture;

class DesktopCaptureTest : public ::testing::Test {
protected:
    // Every start of a duplication makes a new fake, filled with what `next` holds.
    std::unique_ptr<DxgiDesktopCapture> makeCapture() {
        return std::make_unique<DxgiDesktopCapture>(graphics, [this](DXGI_OUTPUT_DESC& description) {
            ++starts;
            if (refuseStart) throw ProtocolError("Start desktop duplication failed (HRESULT 2289696812)");
            description = {};
            wcscpy(description.DeviceName, L"\\\\.\\NOSUCHDISPLAY");
            description.DesktopCoordinates = {-1280, 0, 0, 720};
            description.AttachedToDesktop = TRUE;
            description.Rotation = DXGI_MODE_ROTATION_IDENTITY;
            ComRef<FakeDuplication> duplication = FakeDuplication::make();
            duplication->frames = next;
            duplication->refreshRate = refreshRate;
            next.clear();
            started.push_back(duplication);
            return ComRef<IDXGIOutputDuplication>::share(duplication.get());
        });
    }
    FakeDuplication& current() { return *started.back().get(); }
    static ComRef<ID3D11Texture2D> desktop(std::uint32_t colour = 0xFF2060A0,
                                           DXGI_FORMAT format = DXGI_FORMAT_B8G8R8A8_UNORM) {
        return makeTexture(format, 64, 32, 1, 0, colour);
    }

    win::D3D11GraphicsDevice& graphics = sharedGraphicsDevice();
    std::deque<FakeDuplication::Frame> next;
    DXGI_RATIONAL refreshRate{60, 1};
    std::vector<ComRef<FakeDuplication>> started;
    int starts = 0;
    bool refuseStart = false;
};

TEST_F(DesktopCaptureTest, NewImageIsCopiedIntoATextureTheFrameOwns) {
    ComRef<ID3D11Texture2D> image = desktop(0xFF2060A0);
    next.push_back({S_OK, image, 777});
    auto capture = makeCapture();
    const CapturedFrame frame = capture->capture(0);

    ASSERT_TRUE(frame.hasFrame);
    EXPECT_EQ(frame.timestamp, 777);
    EXPECT_EQ(frame.x, -1280);
    EXPECT_EQ(frame.y, 0);
    EXPECT_EQ(frame.width, 1280);
    EXPECT_EQ(frame.height, 720);
    ASSERT_NE(frame.picture, nullptr);
    const auto& picture = win::D3D11Picture::of(*frame.picture);
    EXPECT_NE(picture.texture(), image.get()) << "the desktop image itself was handed out";
    const D3D11_TEXTURE2D_DESC description = picture.textureDescription();
    EXPECT_EQ(description.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
    EXPECT_EQ(description.Width, 64u);
    EXPECT_EQ(description.Height, 32u);
    EXPECT_EQ(description.Usage, D3D11_USAGE_DEFAULT);
    EXPECT_EQ(description.BindFlags, static_cast<UINT>(D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET));
    EXPECT_EQ(description.CPUAccessFlags, 0u);
    const std::vector<std::uint32_t> pixels = readPixels(picture.texture());
    ASSERT_EQ(pixels.size(), 64u * 32u);
    EXPECT_EQ(pixels.front(), 0xFF2060A0u);
    EXPECT_EQ(pixels.back(), 0xFF2060A0u);

    // The duplication frame went back at once and nothing keeps the desktop image.
    EXPECT_FALSE(current().holding);
    EXPECT_EQ(current().releases, 1);
    EXPECT_EQ(referencesOf(image.get()), 1u);
}

TEST_F(DesktopCaptureTest, TimeoutIsBoundedBeforeTheDuplicationIsTouched) {
    auto capture = makeCapture();
    EXPECT_EQ(messageOf([&] { capture->capture(1001); }), media_text::kCaptureTimeoutUnbounded);
    EXPECT_EQ(current().acquires, 0);
    EXPECT_FALSE(capture->capture(1000).hasFrame);
    EXPECT_EQ(current().acquires, 1);
}

TEST_F(DesktopCaptureTest, NoNewImageReleasesAResourceHandedOutAnyway) {
    ComRef<ID3D11Texture2D> image = desktop();
    next.push_back({DXGI_ERROR_WAIT_TIMEOUT, image});
    auto capture = makeCapture();
    const CapturedFrame frame = capture->capture(0);
    EXPECT_FALSE(frame.hasFrame);
    EXPECT_EQ(frame.picture, nullptr);
    EXPECT_EQ(referencesOf(image.get()), 1u);
}

TEST_F(DesktopCaptureTest, ImageWithoutPresentTimeCarriesTheTimeOfTheCopy) {
    next.push_back({S_OK, desktop(), 0});
    auto capture = makeCapture();
    LARGE_INTEGER before{};
    LARGE_INTEGER after{};
    QueryPerformanceCounter(&before);
    const CapturedFrame frame = capture->capture(0);
    QueryPerformanceCounter(&after);
    ASSERT_TRUE(frame.hasFrame);
    EXPECT_GE(frame.timestamp, before.QuadPart);
    EXPECT_LE(frame.timestamp, after.QuadPart);
}

TEST_F(DesktopCaptureTest, LostAccessIsReportedOnceAndTheNextCallStartsAgain) {
    next.push_back({DXGI_ERROR_ACCESS_LOST, {}});
    auto capture = makeCapture();
    try {
        capture->capture(0);
        ADD_FAILURE() << "lost access was not reported";
    } catch (const TransientMediaError& error) {
        EXPECT_STREQ(error.what(), media_text::kCaptureLost);
    }
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(referencesOf(started.front().get()), 1u) << "the lost duplication was kept";

    // While the desktop stays unavailable each call fails with the start-up text and tries again.
    refuseStart = true;
    EXPECT_EQ(messageOf([&] { capture->capture(0); }), "Start desktop duplication failed (HRESULT 2289696812)");
    EXPECT_EQ(messageOf([&] { capture->capture(0); }), "Start desktop duplication failed (HRESULT 2289696812)");
    EXPECT_EQ(starts, 3);

    refuseStart = false;
    next.push_back({S_OK, desktop(), 5});
    EXPECT_TRUE(capture->capture(0).hasFrame);
    EXPECT_EQ(starts, 4);
}

TEST_F(DesktopCaptureTest, RefusedImagesAreGivenBackSoLaterCapturesWork) {
    next.push_back({S_OK, desktop(), 1, true});
    next.push_back({S_OK, desktop(0, DXGI_FORMAT_R10G10B10A2_UNORM), 2});
    next.push_back({S_OK, desktop(0, DXGI_FORMAT_R16G16B16A16_FLOAT), 3});
    next.push_back({S_OK, desktop(), 4});
    auto capture = makeCapture();
    EXPECT_EQ(messageOf([&] { capture->capture(0); }), media_text::kCaptureProtected);
    EXPECT_FALSE(current().holding);
    EXPECT_EQ(messageOf([&] { capture->capture(0); }), media_text::kCaptureFormat);
    EXPECT_FALSE(current().holding);
    EXPECT_EQ(messageOf([&] { capture->capture(0); }), media_text::kCaptureFormat);
    EXPECT_FALSE(current().holding);
    const CapturedFrame frame = capture->capture(0);
    EXPECT_TRUE(frame.hasFrame) << "a refused image was still held by the duplication";
    EXPECT_EQ(frame.timestamp, 4);
    EXPECT_EQ(current().releases, 4);
    EXPECT_EQ(starts, 1);
}

TEST_F(DesktopCaptureTest, AcquireFailureNamesTheStep) {
    next.push_back({E_ACCESSDENIED, {}});
    auto capture = makeCapture();
    EXPECT_EQ(messageOf([&] { capture->capture(0); }), "Acquire desktop frame failed (HRESULT 2147942405)");
    EXPECT_FALSE(current().holding);
}

TEST_F(DesktopCaptureTest, RefreshRateRoundsTheModeAndFallsBackTo60) {
    refreshRate = {60000, 1001};
    EXPECT_EQ(makeCapture()->refreshRate(), 60u);
    refreshRate = {144, 1};
    EXPECT_EQ(makeCapture()->refreshRate(), 144u);
    // 0/0 and 1/1 say nothing; the display settings of a display that does not exist neither.
    refreshRate = {0, 0};
    EXPECT_EQ(makeCapture()->refreshRate(), 60u);
    refreshRate = {1, 1};
    EXPECT_EQ(makeCapture()->refreshRate(), 60u);
}

}  // namespace
}  // namespace murel::test
