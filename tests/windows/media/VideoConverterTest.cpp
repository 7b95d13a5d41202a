// The D3D11 video converter over scripted video processing (Wine's device has none); the textures
// it allocates are Wine's. Also the GPU's HEVC capability check, which reads the same video device.
#include "media/win/D3D11VideoConverter.hpp"

#include <gtest/gtest.h>

#include "FakeVideoProcessing.hpp"
#include "MediaTestSupport.hpp"
#include "media/MediaError.hpp"
#include "media/win/D3D11Picture.hpp"
#include "media/win/MediaFoundationExtras.hpp"
#include "media/win/MediaFoundationVideoDecoder.hpp"

namespace murel::test {
namespace {

using win::D3D11VideoConverter;

bool operator==(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

class VideoConverterTest : public ::testing::Test {
protected:
    D3D11VideoConverter makeConverter() { return D3D11VideoConverter(graphics, fakes.device, fakes.context); }
    static PictureHandle picture(DXGI_FORMAT format, UINT width, UINT height, UINT slices = 1, UINT bind = 0) {
        return std::make_shared<win::D3D11Picture>(makeTexture(format, width, height, slices, bind));
    }

    win::D3D11GraphicsDevice& graphics = sharedGraphicsDevice();
    FakeVideoProcessing fakes;
    VideoProcessingState& state = *fakes.state;
};

// Wine cannot make NV12 render targets, so the scaling path runs with a BGRA target here; the NV12
// side's colour space is checked on its own below.
TEST_F(VideoConverterTest, PictureIsScaledIntoANewTextureOfTheTargetSize) {
    D3D11VideoConverter converter = makeConverter();
    PictureHandle desktop = picture(DXGI_FORMAT_B8G8R8A8_UNORM, 1366, 768);
    PictureHandle converted = converter.convert(desktop, 0, PixelFormat::Bgra, 1280, 720, 0, 0, 30);

    ASSERT_EQ(state.contents.size(), 1u);
    const D3D11_VIDEO_PROCESSOR_CONTENT_DESC& content = state.contents[0];
    EXPECT_EQ(content.InputFrameFormat, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
    EXPECT_EQ(content.InputFrameRate.Numerator, 30u);
    EXPECT_EQ(content.InputFrameRate.Denominator, 1u);
    EXPECT_EQ(content.InputWidth, 1366u);
    EXPECT_EQ(content.InputHeight, 768u);
    EXPECT_EQ(content.OutputFrameRate.Numerator, 30u);
    EXPECT_EQ(content.OutputWidth, 1280u);
    EXPECT_EQ(content.OutputHeight, 720u);
    EXPECT_EQ(content.Usage, D3D11_VIDEO_USAGE_OPTIMAL_SPEED);
    EXPECT_EQ(state.rateConversionIndex, 0u);

    const auto& target = win::D3D11Picture::of(*converted);
    const D3D11_TEXTURE2D_DESC description = target.textureDescription();
    EXPECT_EQ(description.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
    EXPECT_EQ(description.Width, 1280u);
    EXPECT_EQ(description.Height, 720u);
    EXPECT_EQ(description.ArraySize, 1u);
    EXPECT_EQ(description.MipLevels, 1u);
    EXPECT_EQ(description.BindFlags, static_cast<UINT>(D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET));

    EXPECT_EQ(state.inputResource, static_cast<ID3D11Resource*>(win::D3D11Picture::of(*desktop).texture()));
    EXPECT_EQ(state.inputView.ViewDimension, D3D11_VPIV_DIMENSION_TEXTURE2D);
    EXPECT_EQ(state.inputView.FourCC, 0u);
    EXPECT_EQ(state.inputView.Texture2D.ArraySlice, 0u);
    EXPECT_EQ(state.outputResource, static_cast<ID3D11Resource*>(target.texture()));
    EXPECT_EQ(state.outputView.ViewDimension, D3D11_VPOV_DIMENSION_TEXTURE2D);

    EXPECT_EQ(state.streamColorSpace, 0x24u) << "BT.709 full range RGB in";
    EXPECT_EQ(state.outputColorSpace, 0x24u);
    EXPECT_FALSE(state.autoProcessing);
    EXPECT_EQ(state.frameFormat, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
    EXPECT_TRUE(state.sourceRect == (RECT{0, 0, 1366, 768}));
    EXPECT_TRUE(state.destRect == (RECT{0, 0, 1280, 720}));
    EXPECT_TRUE(state.targetRect == (RECT{0, 0, 1280, 720}));

    EXPECT_EQ(state.blts, 1);
    EXPECT_EQ(state.bltProcessor, static_cast<ID3D11VideoProcessor*>(state.processors.back()));
    EXPECT_EQ(state.bltFrame, 0u);
    EXPECT_EQ(state.bltStreamCount, 1u);
    EXPECT_TRUE(state.bltStream.Enable);
    EXPECT_EQ(state.bltStream.PastFrames, 0u);
    EXPECT_EQ(state.bltStream.FutureFrames, 0u);
    EXPECT_NE(state.bltStream.pInputSurface, nullptr);
}

TEST_F(VideoConverterTest, Nv12SidesAreStudioRange) {
    EXPECT_EQ(bitsOf(win::conversionColorSpace(PixelFormat::Nv12)), 0x14u);
    EXPECT_EQ(bitsOf(win::conversionColorSpace(PixelFormat::Bgra)), 0x24u);
    D3D11VideoConverter converter = makeConverter();
    PictureHandle desktop = picture(DXGI_FORMAT_B8G8R8A8_UNORM, 1366, 768);
    EXPECT_EQ(messageOf([&] { converter.convert(desktop, 0, PixelFormat::Nv12, 1280, 720, 0, 0, 30); }),
              "Allocate converted texture failed (HRESULT 2147942487)")
        << "Wine learned NV12 render targets: convert to NV12 in the test above";
}

TEST_F(VideoConverterTest, DecodedSliceBecomesFullRangeBgraOfItsVisibleRows) {
    D3D11VideoConverter converter = makeConverter();
    PictureHandle decoded = picture(DXGI_FORMAT_NV12, 1920, 1088, 4, D3D11_BIND_DECODER);
    PictureHandle converted = converter.convert(decoded, 3, PixelFormat::Bgra, 1920, 1080, 1920, 1080, 60);
    EXPECT_EQ(state.inputView.Texture2D.ArraySlice, 3u);
    EXPECT_TRUE(state.sourceRect == (RECT{0, 0, 1920, 1080}));
    EXPECT_EQ(state.contents.back().InputHeight, 1080u);
    EXPECT_EQ(state.streamColorSpace, 0x14u);
    EXPECT_EQ(state.outputColorSpace, 0x24u);
    EXPECT_EQ(converted->describe().format, PixelFormat::Bgra);
    EXPECT_EQ(converter.cachedKey(), (ConversionKey{1920, 1080, 1920, 1080, 60, PixelFormat::Nv12, PixelFormat::Bgra}));
    EXPECT_EQ(messageOf([&] { converter.convert(decoded, 4, PixelFormat::Bgra, 1920, 1080, 1920, 1080, 60); }),
              media_text::kInvalidTextureSlice);
}

TEST_F(VideoConverterTest, ProcessorIsRebuiltOnlyWhenTheShapeChanges) {
    D3D11VideoConverter converter = makeConverter();
    PictureHandle desktop = picture(DXGI_FORMAT_B8G8R8A8_UNORM, 640, 360);
    PictureHandle first = converter.convert(desktop, 0, PixelFormat::Bgra, 640, 360, 0, 0, 30);
    PictureHandle second = converter.convert(desktop, 0, PixelFormat::Bgra, 640, 360, 0, 0, 30);
    EXPECT_EQ(state.contents.size(), 1u);
    EXPECT_EQ(state.processors.size(), 1u);
    EXPECT_NE(win::D3D11Picture::of(*first).texture(), win::D3D11Picture::of(*second).texture())
        << "every conversion writes a new texture";

    converter.convert(desktop, 0, PixelFormat::Bgra, 640, 360, 0, 0, 60);  // only the rate changed
    EXPECT_EQ(state.contents.size(), 2u);
    EXPECT_EQ(state.processors.size(), 2u);
    EXPECT_EQ(state.bltProcessor, static_cast<ID3D11VideoProcessor*>(state.processors.back()));
}

TEST_F(VideoConverterTest, FailedRebuildKeepsTheCachedProcessor) {
    D3D11VideoConverter converter = makeConverter();
    PictureHandle desktop = picture(DXGI_FORMAT_B8G8R8A8_UNORM, 640, 360);
    converter.convert(desktop, 0, PixelFormat::Bgra, 640, 360, 0, 0, 30);
    const ConversionKey cached = converter.cachedKey();

    state.createProcessorResult = E_OUTOFMEMORY;
    EXPECT_EQ(messageOf([&] { converter.convert(desktop, 0, PixelFormat::Bgra, 320, 180, 0, 0, 30); }),
              "Create video converter failed (HRESULT 2147942414)");
    state.createProcessorResult = S_OK;
    state.formatSupport[DXGI_FORMAT_B8G8R8A8_UNORM] = D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT;
    EXPECT_EQ(messageOf([&] { converter.convert(desktop, 0, PixelFormat::Bgra, 320, 180, 0, 0, 30); }),
              media_text::kConversionInputUnsupported);
    state.formatSupport[DXGI_FORMAT_B8G8R8A8_UNORM] = D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT;
    EXPECT_EQ(messageOf([&] { converter.convert(desktop, 0, PixelFormat::Bgra, 320, 180, 0, 0, 30); }),
              media_text::kConversionOutputUnsupported);
    state.formatSupport.clear();
    EXPECT_EQ(converter.cachedKey(), cached);

    // The old shape still converts with the processor it had.
    const std::size_t enumerators = state.contents.size();
    converter.convert(desktop, 0, PixelFormat::Bgra, 640, 360, 0, 0, 30);
    EXPECT_EQ(state.contents.size(), enumerators);
    EXPECT_EQ(state.bltProcessor, static_cast<ID3D11VideoProcessor*>(state.processors.front()));

    state.bltResult = E_INVALIDARG;
    EXPECT_EQ(messageOf([&] { converter.convert(desktop, 0, PixelFormat::Bgra, 640, 360, 0, 0, 30); }),
              "Convert video texture failed (HRESULT 2147942487)");
}

TEST_F(VideoConverterTest, HevcNeedsTheMainProfileWithNv12Output) {
    EXPECT_EQ(messageOf([&] { win::requireHevcMainNv12(fakes.device.get()); }), media_text::kHevcGpuUnsupported);
    state.decoderProfiles = {win::kD3D11DecoderProfileHevcVldMain};
    state.hevcNv12 = false;
    EXPECT_EQ(messageOf([&] { win::requireHevcMainNv12(fakes.device.get()); }), media_text::kHevcGpuUnsupported);
    state.hevcNv12 = true;
    // Other profiles around it are walked past without a format check.
    const GUID h264 = {0x1b81be68, 0xa0c7, 0x11d3, {0xb9, 0x84, 0x00, 0xc0, 0x4f, 0x2e, 0x73, 0xc5}};
    state.decoderProfiles = {h264, win::kD3D11DecoderProfileHevcVldMain, h264};
    state.decoderFormatChecks = 0;
    EXPECT_NO_THROW(win::requireHevcMainNv12(fakes.device.get()));
    EXPECT_EQ(state.decoderFormatChecks, 1);
}

}  // namespace
}  // namespace murel::test
