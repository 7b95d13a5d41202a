// The H.264 encoder and the H.264/HEVC decoders on scripted transforms: the types and controls they
// set, the samples they build, and what they make of the transform's output (real Media Foundation
// samples, real NV12 surfaces of Wine's device).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "FakeTransform.hpp"
#include "MediaTestSupport.hpp"
#include "media/HevcPreflight.hpp"
#include "media/MediaError.hpp"
#include "media/win/D3D11Picture.hpp"
#include "media/win/MediaFoundationH264Encoder.hpp"
#include "media/win/MediaFoundationVideoDecoder.hpp"

#include <codecapi.h>  // after the Windows headers it needs

namespace murel::test {
namespace {

using win::MediaFoundationH264Encoder;
using win::MediaFoundationVideoDecoder;

ComRef<IMFSample> memorySample(const std::vector<std::uint8_t>& bytes, LONGLONG time) {
    ComRef<IMFMediaBuffer> buffer;
    MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), buffer.put());
    BYTE* data = nullptr;
    buffer->Lock(&data, nullptr, nullptr);
    std::memcpy(data, bytes.data(), bytes.size());
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
    ComRef<IMFSample> sample;
    MFCreateSample(sample.put());
    sample->AddBuffer(buffer.get());
    sample->SetSampleTime(time);
    return sample;
}

ComRef<IMFSample> surfaceSample(ID3D11Texture2D* texture, UINT slice, LONGLONG time) {
    ComRef<IMFMediaBuffer> buffer;
    EXPECT_HRESULT_SUCCEEDED(MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), texture, slice, FALSE, buffer.put()));
    ComRef<IMFSample> sample;
    MFCreateSample(sample.put());
    sample->AddBuffer(buffer.get());
    sample->SetSampleTime(time);
    return sample;
}

std::vector<std::uint8_t> bytesOf(IMFSample* sample) {
    ComRef<IMFMediaBuffer> buffer;
    sample->ConvertToContiguousBuffer(buffer.put());
    BYTE* data = nullptr;
    DWORD length = 0;
    buffer->Lock(&data, nullptr, &length);
    std::vector<std::uint8_t> bytes(data, data + length);
    buffer->Unlock();
    return bytes;
}

ComRef<IMFMediaType> outputTypeOf(const GUID& subtype, UINT32 width, UINT32 height) {
    ComRef<IMFMediaType> type;
    MFCreateMediaType(type.put());
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    MFSetAttributeSize(type.get(), MF_MT_FRAME_SIZE, width, height);
    return type;
}

void setAperture(IMFMediaType* type, LONG width, LONG height, short offsetX = 0) {
    MFVideoArea area{};
    area.OffsetX.value = offsetX;
    area.Area = {width, height};
    type->SetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<const UINT8*>(&area), sizeof area);
}

UINT32 uint32Of(IMFAttributes* attributes, const GUID& key) {
    UINT32 value = 0xDEADBEEF;
    attributes->GetUINT32(key, &value);
    return value;
}

UINT64 uint64Of(IMFAttributes* attributes, const GUID& key) {
    UINT64 value = 0;
    return SUCCEEDED(attributes->GetUINT64(key, &value)) ? value : ~UINT64{0};
}

class EncoderTest : public ::testing::Test {
protected:
    std::unique_ptr<MediaFoundationH264Encoder> makeEncoder(const EncoderMode& mode) {
        return std::make_unique<MediaFoundationH264Encoder>(graphics, mode,
                                                            ComRef<IMFTransform>::share(fake.get()));
    }

    win::D3D11GraphicsDevice& graphics = sharedGraphicsDevice();
    ComRef<FakeTransform> fake = FakeTransform::make();
};

TEST_F(EncoderTest, OutputTypeFirstThenInputThenLowLatencyBaselineControls) {
    fake->exposeCodecApi = true;
    auto encoder = makeEncoder({1920, 1080, 60, 60000000});
    EXPECT_EQ(encoder->level(), 50);
    EXPECT_EQ(fake->typeCalls, (std::vector<std::string>{"output test", "output", "input test", "input"}));

    IMFMediaType* output = fake->outputType.get();
    ASSERT_NE(output, nullptr);
    GUID subtype{};
    output->GetGUID(MF_MT_SUBTYPE, &subtype);
    EXPECT_TRUE(subtype == MFVideoFormat_H264);
    EXPECT_EQ(uint64Of(output, MF_MT_FRAME_SIZE), (UINT64{1920} << 32) | 1080);
    EXPECT_EQ(uint64Of(output, MF_MT_FRAME_RATE), (UINT64{60} << 32) | 1);
    EXPECT_EQ(uint32Of(output, MF_MT_AVG_BITRATE), 60000000u);
    EXPECT_EQ(uint32Of(output, MF_MT_MPEG2_PROFILE), 66u);
    EXPECT_EQ(uint32Of(output, MF_MT_MPEG2_LEVEL), 50u);

    IMFMediaType* input = fake->inputType.get();
    ASSERT_NE(input, nullptr);
    input->GetGUID(MF_MT_SUBTYPE, &subtype);
    EXPECT_TRUE(subtype == MFVideoFormat_NV12);
    EXPECT_EQ(uint64Of(input, MF_MT_FRAME_SIZE), (UINT64{1920} << 32) | 1080);
    EXPECT_EQ(uint32Of(input, MF_MT_VIDEO_PRIMARIES), 2u);
    EXPECT_EQ(uint32Of(input, MF_MT_YUV_MATRIX), 1u);
    EXPECT_EQ(uint32Of(input, MF_MT_VIDEO_NOMINAL_RANGE), 2u);

    const auto* lowLatency = fake->codecValue(CODECAPI_AVLowLatencyMode);
    ASSERT_NE(lowLatency, nullptr);
    EXPECT_EQ(lowLatency->type, VT_BOOL);
    EXPECT_EQ(lowLatency->value, 0xFFFFu);  // VARIANT_TRUE
    const auto* bPictures = fake->codecValue(CODECAPI_AVEncMPVDefaultBPictureCount);
    ASSERT_NE(bPictures, nullptr);
    EXPECT_EQ(bPictures->value, 0u);
    const auto* gop = fake->codecValue(CODECAPI_AVEncMPVGOPSize);
    ASSERT_NE(gop, nullptr);
    EXPECT_EQ(gop->type, VT_UI4);
    EXPECT_EQ(gop->value, 120u);

    ASSERT_GE(fake->messages.size(), 3u);
    EXPECT_EQ(fake->messages[fake->messages.size() - 2], MFT_MESSAGE_NOTIFY_BEGIN_STREAMING);
    EXPECT_EQ(fake->messages.back(), MFT_MESSAGE_NOTIFY_START_OF_STREAM);

    encoder->requestKeyframe();
    const auto* keyframe = fake->codecValue(CODECAPI_AVEncVideoForceKeyFrame);
    ASSERT_NE(keyframe, nullptr);
    EXPECT_EQ(keyframe->type, VT_UI4);
    EXPECT_EQ(keyframe->value, 1u);
}

TEST_F(EncoderTest, EncoderWithoutControlsEncodesButCannotForceKeyframes) {
    auto encoder = makeEncoder({640, 360, 30, 2000000});
    EXPECT_EQ(encoder->level(), 42);
    EXPECT_EQ(messageOf([&] { encoder->requestKeyframe(); }),
              "Get encoder keyframe control failed (HRESULT 2147500034)");
}

TEST_F(EncoderTest, PicturesGoInAsSurfacesWithTimeAndDuration) {
    auto encoder = makeEncoder({640, 360, 30, 2000000});
    ComRef<ID3D11Texture2D> texture = makeTexture(DXGI_FORMAT_NV12, 640, 360);
    ASSERT_TRUE(texture);
    EXPECT_TRUE(encoder->encode(std::make_shared<win::D3D11Picture>(texture), 1234));
    ASSERT_EQ(fake->inputSamples.size(), 1u);
    IMFSample* sample = fake->inputSamples.front().get();
    LONGLONG value = 0;
    sample->GetSampleTime(&value);
    EXPECT_EQ(value, 1234);
    sample->GetSampleDuration(&value);
    EXPECT_EQ(value, 333333);
    ComRef<IMFMediaBuffer> buffer;
    ASSERT_HRESULT_SUCCEEDED(sample->GetBufferByIndex(0, buffer.put()));
    ComRef<IMFDXGIBuffer> surface;
    ASSERT_HRESULT_SUCCEEDED(buffer.query(surface));
    ComRef<ID3D11Texture2D> wrapped;
    surface->GetResource(__uuidof(ID3D11Texture2D), wrapped.putVoid());
    EXPECT_EQ(wrapped.get(), texture.get());

    EXPECT_FALSE(encoder->encode(nullptr, 1));
    auto wrongSize = std::make_shared<win::D3D11Picture>(makeTexture(DXGI_FORMAT_NV12, 640, 362));
    EXPECT_EQ(messageOf([&] { encoder->encode(wrongSize, 2); }), media_text::kEncoderInputMismatch);
    EXPECT_EQ(fake->inputSamples.size(), 1u);
}

TEST_F(EncoderTest, OutputsBecomeAnnexBAccessUnits) {
    auto encoder = makeEncoder({640, 360, 30, 2000000});
    auto texture = std::make_shared<win::D3D11Picture>(makeTexture(DXGI_FORMAT_NV12, 640, 360));
    ASSERT_TRUE(encoder->encode(texture, 10));
    fake->outputInfo.dwFlags = MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
    const std::vector<std::uint8_t> idr{0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x65, 0x88};
    fake->outputs.push_back({S_OK, true, false, memorySample(idr, 10)});
    fake->outputs.push_back({S_OK, true, false, memorySample({0, 0, 1, 0x41, 0x9a}, 20)});
    const std::vector<EncodedAccessUnit> units = encoder->encodedUnits();
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].bytes, idr);
    EXPECT_EQ(units[0].timestamp, 10);
    EXPECT_EQ(units[1].timestamp, 20);

    ASSERT_TRUE(encoder->encode(texture, 30));
    fake->outputs.push_back({S_OK, true, false, memorySample({0, 0, 0, 9, 0x10}, 30)});
    EXPECT_EQ(messageOf([&] { encoder->encodedUnits(); }), media_text::kEncoderNotAnnexB);
    ASSERT_TRUE(encoder->encode(texture, 40));
    fake->outputs.push_back({S_OK, true, false, memorySample({0, 0, 1}, 40)});
    EXPECT_EQ(messageOf([&] { encoder->encodedUnits(); }), media_text::kEncodedSizeInvalid);
}

class DecoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake->exposeCodecApi = true;
        fake->availableOutputTypes.push_back(outputTypeOf(MFVideoFormat_YUY2, 1920, 1088));
        fake->availableOutputTypes.push_back(outputTypeOf(MFVideoFormat_NV12, 1920, 1088));
        setAperture(fake->availableOutputTypes.back().get(), 1920, 1080);
        fake->availableOutputTypes.push_back(outputTypeOf(MFVideoFormat_NV12, 640, 480));
    }
    std::unique_ptr<MediaFoundationVideoDecoder> makeDecoder(VideoCodec codec, std::uint32_t width = 1920,
                                                             std::uint32_t height = 1080, std::uint32_t fps = 60) {
        return std::make_unique<MediaFoundationVideoDecoder>(graphics, codec, width, height, fps,
                                                             ComRef<IMFTransform>::share(fake.get()));
    }
    // The transform's next output: one picture of a decoder surface array.
    void output(ID3D11Texture2D* texture, UINT slice, LONGLONG time) {
        fake->outputInfo.dwFlags = MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
        fake->outputs.push_back({S_OK, true, false, surfaceSample(texture, slice, time)});
    }
    void feed(MediaFoundationVideoDecoder& decoder) {
        const std::uint8_t unit[] = {0, 0, 0, 1, 0x65};
        ASSERT_TRUE(decoder.decode(unit, 0));
    }

    win::D3D11GraphicsDevice& graphics = sharedGraphicsDevice();
    ComRef<FakeTransform> fake = FakeTransform::make();
};

TEST_F(DecoderTest, H264DecoderLearnsSizeAndRateFromTheStream) {
    auto decoder = makeDecoder(VideoCodec::H264, 7000, 7000, 999);  // ignored for H.264
    IMFMediaType* input = fake->inputType.get();
    ASSERT_NE(input, nullptr);
    GUID subtype{};
    input->GetGUID(MF_MT_SUBTYPE, &subtype);
    EXPECT_TRUE(subtype == MFVideoFormat_H264);
    EXPECT_EQ(uint64Of(input, MF_MT_FRAME_SIZE), ~UINT64{0});
    EXPECT_EQ(uint64Of(input, MF_MT_FRAME_RATE), ~UINT64{0});

    const auto* lowLatency = fake->codecValue(CODECAPI_AVLowLatencyMode);
    ASSERT_NE(lowLatency, nullptr);
    EXPECT_EQ(lowLatency->type, VT_UI4);
    EXPECT_EQ(lowLatency->value, 1u);
    ASSERT_NE(fake->codecValue(CODECAPI_AVDecVideoMaxCodedWidth), nullptr);
    EXPECT_EQ(fake->codecValue(CODECAPI_AVDecVideoMaxCodedWidth)->value, 4096u);
    ASSERT_NE(fake->codecValue(CODECAPI_AVDecVideoMaxCodedHeight), nullptr);
    EXPECT_EQ(fake->codecValue(CODECAPI_AVDecVideoMaxCodedHeight)->value, 4096u);

    // The first NV12 type is taken, its aperture gives the visible size.
    EXPECT_EQ(fake->outputType.get(), fake->availableOutputTypes[1].get());
    EXPECT_EQ(decoder->visibleWidth(), 1920u);
    EXPECT_EQ(decoder->visibleHeight(), 1080u);
    EXPECT_EQ(fake->messages.back(), MFT_MESSAGE_NOTIFY_START_OF_STREAM);

    fake = FakeTransform::make();
    EXPECT_EQ(messageOf([&] { makeDecoder(VideoCodec::H264); }),
              "Get Windows decoder controls failed (HRESULT 2147500034)");
}

TEST_F(DecoderTest, HevcDecoderAsksForMainProfileAtItsModeWithLowLatency) {
    auto decoder = makeDecoder(VideoCodec::Hevc, 1280, 720, 30);
    IMFMediaType* input = fake->inputType.get();
    ASSERT_NE(input, nullptr);
    GUID subtype{};
    input->GetGUID(MF_MT_SUBTYPE, &subtype);
    EXPECT_TRUE(subtype == MFVideoFormat_HEVC);
    EXPECT_EQ(uint64Of(input, MF_MT_FRAME_SIZE), (UINT64{1280} << 32) | 720);
    EXPECT_EQ(uint64Of(input, MF_MT_FRAME_RATE), (UINT64{30} << 32) | 1);
    EXPECT_EQ(uint32Of(input, MF_MT_MPEG2_PROFILE), 1u);
    EXPECT_EQ(uint32Of(fake->attributes.get(), MF_LOW_LATENCY), 1u);
    EXPECT_TRUE(fake->codecValues.empty());
}

TEST_F(DecoderTest, OutputTypeNegotiationRefusesWhatTheViewerCannotShow) {
    const auto refusal = [&](ComRef<IMFMediaType> nv12) {
        fake = FakeTransform::make();
        fake->exposeCodecApi = true;
        fake->availableOutputTypes.push_back(std::move(nv12));
        return messageOf([&] { makeDecoder(VideoCodec::H264); });
    };
    auto offset = outputTypeOf(MFVideoFormat_NV12, 1920, 1088);
    setAperture(offset.get(), 1920, 1080, 8);
    EXPECT_EQ(refusal(offset), media_text::kOffsetAperture);
    EXPECT_EQ(refusal(outputTypeOf(MFVideoFormat_NV12, 4112, 2304)), media_text::kDecodedFrameEnvelope);
    auto fast = outputTypeOf(MFVideoFormat_NV12, 640, 480);
    MFSetAttributeRatio(fast.get(), MF_MT_FRAME_RATE, 241, 1);
    EXPECT_EQ(refusal(fast), media_text::kDecodedRateEnvelope);
    auto wide = outputTypeOf(MFVideoFormat_NV12, 4096, 2304);
    MFSetAttributeRatio(wide.get(), MF_MT_FRAME_RATE, 57, 1);
    EXPECT_EQ(refusal(wide), media_text::kDecodedRateEnvelope);
    auto ntsc = outputTypeOf(MFVideoFormat_NV12, 1920, 1088);
    MFSetAttributeRatio(ntsc.get(), MF_MT_FRAME_RATE, 60000, 1001);
    EXPECT_EQ(refusal(ntsc), "<no exception>");
    EXPECT_EQ(refusal(outputTypeOf(MFVideoFormat_YUY2, 640, 480)), media_text::kDecoderNoNv12Type);
}

TEST_F(DecoderTest, StreamChangeTakesTheNewOutputType) {
    auto decoder = makeDecoder(VideoCodec::H264);
    feed(*decoder);
    fake->availableOutputTypes = {outputTypeOf(MFVideoFormat_NV12, 1280, 720)};
    fake->outputs.push_back({MF_E_TRANSFORM_STREAM_CHANGE});
    ComRef<ID3D11Texture2D> surfaces = makeTexture(DXGI_FORMAT_NV12, 1280, 720, 2, D3D11_BIND_DECODER);
    output(surfaces.get(), 1, 99);
    const std::vector<DecodedFrame> frames = decoder->decodedFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(fake->outputTypesSet, 2);
    EXPECT_EQ(frames[0].width, 1280u);
    EXPECT_EQ(frames[0].height, 720u);
    EXPECT_EQ(frames[0].slice, 1u);
}

TEST_F(DecoderTest, AccessUnitsAreSizeCheckedThenCopiedIntoTimedSamples) {
    auto decoder = makeDecoder(VideoCodec::H264);
    EXPECT_EQ(messageOf([&] { decoder->decode({}, 0); }), media_text::kAccessUnitSize);
    const std::vector<std::uint8_t> huge(8 * 1024 * 1024 + 1);
    EXPECT_EQ(messageOf([&] { decoder->decode(huge, 0); }), media_text::kAccessUnitSize);
    EXPECT_TRUE(fake->inputSamples.empty());

    const std::vector<std::uint8_t> unit{0, 0, 0, 1, 0x65, 0x88, 0x84};
    EXPECT_TRUE(decoder->decode(unit, 4242));
    ASSERT_EQ(fake->inputSamples.size(), 1u);
    EXPECT_EQ(bytesOf(fake->inputSamples[0].get()), unit);
    LONGLONG value = 0;
    fake->inputSamples[0]->GetSampleTime(&value);
    EXPECT_EQ(value, 4242);
    EXPECT_TRUE(FAILED(fake->inputSamples[0]->GetSampleDuration(&value))) << "compressed samples carry no duration";

    fake->inputResults.push_back(MF_E_NOTACCEPTING);
    EXPECT_FALSE(decoder->decode(unit, 4243));
}

TEST_F(DecoderTest, FramesAreVisibleSlicesOfTheDecoderSurfaceAndHoldIt) {
    auto decoder = makeDecoder(VideoCodec::H264);
    feed(*decoder);
    ComRef<ID3D11Texture2D> surfaces = makeTexture(DXGI_FORMAT_NV12, 1920, 1088, 4, D3D11_BIND_DECODER);
    output(surfaces.get(), 3, 777);
    IMFSample* sample = fake->outputs.back().sample.get();
    std::vector<DecodedFrame> frames = decoder->decodedFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].slice, 3u);
    EXPECT_EQ(frames[0].width, 1920u);
    EXPECT_EQ(frames[0].height, 1080u);
    EXPECT_EQ(frames[0].timestamp, 777);
    EXPECT_EQ(frames[0].timestampError, 0u);
    EXPECT_EQ(win::D3D11Picture::of(*frames[0].picture).texture(), surfaces.get());
    const PictureDescription description = frames[0].picture->describe();
    EXPECT_EQ(description.format, PixelFormat::Nv12);
    EXPECT_EQ(description.arraySize, 4u);

    // The picture keeps the sample, so the decoder does not reuse the surface while it is shown.
    const ULONG held = referencesOf(sample);
    frames.clear();
    EXPECT_EQ(referencesOf(sample), held - 1);
}

TEST_F(DecoderTest, OutputsThatAreNotUsableDecoderSurfacesAreRefused) {
    auto decoder = makeDecoder(VideoCodec::H264);
    feed(*decoder);
    fake->outputInfo.dwFlags = MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
    fake->outputs.push_back({S_OK, true, false, memorySample({1, 2, 3}, 0)});
    EXPECT_EQ(messageOf([&] { decoder->decodedFrames(); }),
              "Require a D3D11 decoder surface failed (HRESULT 2147500034)");

    feed(*decoder);
    ComRef<ID3D11Texture2D> bgra = makeTexture(DXGI_FORMAT_B8G8R8A8_UNORM, 1920, 1088);
    output(bgra.get(), 0, 0);
    EXPECT_EQ(messageOf([&] { decoder->decodedFrames(); }), media_text::kDecoderNotNv12);

    // Negotiated 1920 x 1080 visible, but the surface is smaller.
    feed(*decoder);
    ComRef<ID3D11Texture2D> small = makeTexture(DXGI_FORMAT_NV12, 1280, 720);
    output(small.get(), 0, 0);
    EXPECT_EQ(messageOf([&] { decoder->decodedFrames(); }), media_text::kDecodedApertureOutside);
}

TEST_F(DecoderTest, HevcFramesMustBeDecoderSurfacesOfTheSharedDevice) {
    auto decoder = makeDecoder(VideoCodec::Hevc, 1920, 1080, 60);
    feed(*decoder);
    ComRef<ID3D11Texture2D> plain = makeTexture(DXGI_FORMAT_NV12, 1920, 1088);
    output(plain.get(), 0, 0);
    EXPECT_EQ(messageOf([&] { decoder->decodedFrames(); }), media_text::kHevcNotGpuSurface);

    // The same kind of surface on another device.
    win::D3D11GraphicsDevice other(0);
    D3D11_TEXTURE2D_DESC description{};
    description.Width = 1920;
    description.Height = 1088;
    description.MipLevels = 1;
    description.ArraySize = 1;
    description.Format = DXGI_FORMAT_NV12;
    description.SampleDesc.Count = 1;
    description.BindFlags = D3D11_BIND_DECODER;
    ComRef<ID3D11Texture2D> foreign;
    ASSERT_HRESULT_SUCCEEDED(other.device()->CreateTexture2D(&description, nullptr, foreign.put()));
    feed(*decoder);
    output(foreign.get(), 0, 0);
    EXPECT_EQ(messageOf([&] { decoder->decodedFrames(); }), media_text::kHevcNotGpuSurface);

    feed(*decoder);
    ComRef<ID3D11Texture2D> own = makeTexture(DXGI_FORMAT_NV12, 1920, 1088, 2, D3D11_BIND_DECODER);
    output(own.get(), 1, 5);
    EXPECT_EQ(decoder->decodedFrames().size(), 1u);
}

TEST_F(DecoderTest, HevcPreflightPassesOnADecoderThatReturnsTheTestPicture) {
    fake->availableOutputTypes = {outputTypeOf(MFVideoFormat_NV12, 64, 64)};
    ComRef<ID3D11Texture2D> surface = makeTexture(DXGI_FORMAT_NV12, 64, 64, 1, D3D11_BIND_DECODER);
    output(surface.get(), 0, kPreflightFirstTimestamp);
    EXPECT_NO_THROW(runHevcPreflight([&] { return makeDecoder(VideoCodec::Hevc, 64, 64, 30); }));
    ASSERT_FALSE(fake->inputSamples.empty());
    EXPECT_EQ(bytesOf(fake->inputSamples[0].get()),
              std::vector<std::uint8_t>(kHevcTestUnit.begin(), kHevcTestUnit.end()));

    fake = FakeTransform::make();
    fake->availableOutputTypes = {outputTypeOf(MFVideoFormat_NV12, 64, 64)};
    output(surface.get(), 0, kPreflightFirstTimestamp + 1);
    EXPECT_EQ(messageOf([&] { runHevcPreflight([&] { return makeDecoder(VideoCodec::Hevc, 64, 64, 30); }); }),
              media_text::kPreflightIncorrect);
}

}  // namespace
}  // namespace murel::test
