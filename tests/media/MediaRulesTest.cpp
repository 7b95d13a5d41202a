// The rules every media backend shares: the encoder's level choice, the envelopes, conversion
// targets, fitRect, refresh rates, access-unit checks and the failure texts.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "FakeMedia.hpp"
#include "media/HardwareH264Encoder.hpp"
#include "media/MediaError.hpp"
#include "media/MediaFactory.hpp"
#include "media/VideoConverter.hpp"
#include "media/VideoDecoder.hpp"
#include "media/VideoEnvelope.hpp"
#include "media/ViewerPresenter.hpp"

namespace murel::test {
namespace {

using namespace media_text;

std::int32_t level(std::uint32_t w, std::uint32_t h, std::uint32_t fps, std::uint32_t bitrate) {
    return chooseH264Level({w, h, fps, bitrate});
}

TEST(EncoderLevel, LowestLevelThatFitsFrameRateAndBitrate) {
    EXPECT_EQ(level(1920, 1080, 60, 20000000), 42);   // 8,160 MB, 489,600 MB/s
    EXPECT_EQ(level(1920, 1080, 60, 50000000), 42);   // level 4.2's bitrate limit itself
    EXPECT_EQ(level(1920, 1080, 60, 60000000), 50);   // bitrate beyond 4.2
    EXPECT_EQ(level(2560, 1440, 60, 20000000), 51);   // 14,400 MB, 864,000 MB/s
    EXPECT_EQ(level(3840, 2160, 60, 20000000), 52);   // 1,944,000 MB/s
    EXPECT_EQ(level(3840, 2160, 64, 20000000), 52);   // exactly 2,073,600 MB/s
    EXPECT_EQ(level(4096, 2304, 56, 100000000), 52);  // 36,864 MB, 2,064,384 MB/s
    EXPECT_EQ(level(2, 2, 1, 100000), 42);
    // 8,704 macroblocks is 4.2's frame limit; one column more needs 5.0.
    EXPECT_EQ(level(2048, 1088, 30, 20000000), 42);
    EXPECT_EQ(level(2064, 1088, 30, 20000000), 50);
}

TEST(EncoderLevel, RefusesModesOutsideTheEnvelopeWithTheirTexts) {
    EXPECT_EQ(failureOf([] { level(3840, 2160, 65, 20000000); }), kEncoderEnvelope);
    EXPECT_EQ(failureOf([] { level(4096, 2304, 57, 100000000); }), kEncoderEnvelope);
    EXPECT_EQ(failureOf([] { level(4096, 2320, 30, 20000000); }), kEncoderEnvelope);  // 37,120 MB
    for (const EncoderMode mode : {EncoderMode{1921, 1080, 60, 20000000}, EncoderMode{1920, 1080, 60, 99999},
                                   EncoderMode{1920, 1080, 60, 100000001}, EncoderMode{0, 1080, 60, 20000000},
                                   EncoderMode{4098, 1080, 30, 20000000}, EncoderMode{1920, 1080, 0, 20000000},
                                   EncoderMode{1920, 1080, 241, 20000000}, EncoderMode{1920, 1081, 30, 20000000}}) {
        EXPECT_EQ(failureOf([&] { chooseH264Level(mode); }), kEncoderModeInvalid)
            << mode.width << "x" << mode.height << "@" << mode.fps << " " << mode.bitrate;
    }
}

TEST(Envelope, HevcReceiveEnvelopeAndFrameEnvelope) {
    EXPECT_EQ(failureOf([] { checkHevcReceiveEnvelope(4096, 2304, 60); }), kHevcReceiveEnvelope);
    EXPECT_EQ(failureOf([] { checkHevcReceiveEnvelope(4096, 2304, 56); }), "");
    EXPECT_EQ(failureOf([] { checkHevcReceiveEnvelope(64, 64, 241); }), kHevcReceiveEnvelope);
    EXPECT_EQ(failureOf([] { checkHevcReceiveEnvelope(64, 64, 0); }), kHevcReceiveEnvelope);
    // The frame envelope is checked first and has its own text.
    EXPECT_EQ(failureOf([] { checkHevcReceiveEnvelope(4097, 16, 30); }), kDecodedFrameEnvelope);
    EXPECT_EQ(failureOf([] { checkHevcReceiveEnvelope(0, 16, 30); }), kDecodedFrameEnvelope);
    EXPECT_EQ(failureOf([] { checkHevcReceiveEnvelope(4096, 2320, 1); }), kDecodedFrameEnvelope);
    EXPECT_TRUE(fitsFrameEnvelope(4096, 2304));
    EXPECT_FALSE(fitsFrameEnvelope(4096, 2305));  // one more macroblock row
    EXPECT_EQ(frameMacroblocks(1920, 1080), 8160u);
}

TEST(Envelope, DecodedFrameRateAgainstCodedSize) {
    EXPECT_EQ(failureOf([] { checkDecodedFrameRate(240, 1, 64, 64); }), "");
    EXPECT_EQ(failureOf([] { checkDecodedFrameRate(241, 1, 64, 64); }), kDecodedRateEnvelope);
    EXPECT_EQ(failureOf([] { checkDecodedFrameRate(2401, 10, 64, 64); }), kDecodedRateEnvelope);
    EXPECT_EQ(failureOf([] { checkDecodedFrameRate(56, 1, 4096, 2304); }), "");
    EXPECT_EQ(failureOf([] { checkDecodedFrameRate(60000, 1001, 4096, 2304); }), kDecodedRateEnvelope);
    // Unknown rates (a zero part) are not checked; huge numerators do not overflow.
    EXPECT_EQ(failureOf([] { checkDecodedFrameRate(0, 1, 4096, 2304); }), "");
    EXPECT_EQ(failureOf([] { checkDecodedFrameRate(4294967295u, 1, 4096, 2304); }), kDecodedRateEnvelope);
    EXPECT_EQ(failureOf([] { checkDecodedFrameRate(4294967295u, 4294967295u, 4096, 2304); }), "");
}

TEST(Envelope, OutputTypeApertureGivesTheVisibleSize) {
    EXPECT_EQ(visibleSizeOfOutputType(1920, 1088, DisplayAperture{false, 1920, 1080}), (VisibleSize{1920, 1080}));
    EXPECT_EQ(visibleSizeOfOutputType(1920, 1088, std::nullopt), (VisibleSize{1920, 1088}));
    // An aperture larger than the frame, or empty, is ignored.
    EXPECT_EQ(visibleSizeOfOutputType(1920, 1088, DisplayAperture{false, 1921, 1080}), (VisibleSize{1920, 1088}));
    EXPECT_EQ(visibleSizeOfOutputType(1920, 1088, DisplayAperture{false, 0, 1080}), (VisibleSize{1920, 1088}));
    EXPECT_EQ(failureOf([] { visibleSizeOfOutputType(1920, 1088, DisplayAperture{true, 1920, 1080}); }),
              kOffsetAperture);
    EXPECT_EQ(failureOf([] { visibleSizeOfOutputType(8192, 64, std::nullopt); }), kDecodedFrameEnvelope);
}

TEST(Envelope, DecodedSurfaceChecksInOrder) {
    const DecodedSurface good{PixelFormat::Nv12, 1920, 1088, 4, 1, 3};
    EXPECT_EQ(checkDecodedSurface(good, {1920, 1080}), (VisibleSize{1920, 1080}));
    EXPECT_EQ(checkDecodedSurface(good, {0, 0}), (VisibleSize{1920, 1088}));

    auto with = [&](auto change) {
        DecodedSurface surface = good;
        change(surface);
        return failureOf([&] { checkDecodedSurface(surface, {1920, 1080}); });
    };
    EXPECT_EQ(with([](DecodedSurface& s) { s.format = PixelFormat::Bgra; }), kDecoderNotNv12);
    EXPECT_EQ(with([](DecodedSurface& s) { s.width = 4112; }), kDecodedFrameEnvelope);
    EXPECT_EQ(with([](DecodedSurface& s) { s.slice = 4; }), kDecoderSurfaceBudget);
    EXPECT_EQ(with([](DecodedSurface& s) { s.arraySize = 0; }), kDecoderSurfaceBudget);
    EXPECT_EQ(with([](DecodedSurface& s) { s.mipLevels = 2; }), kDecoderSurfaceBudget);
    // 37 slices of 4096 x 2304 NV12 fit in 512 MiB, 38 do not.
    EXPECT_EQ(with([](DecodedSurface& s) { s = {PixelFormat::Nv12, 4096, 2304, 37, 1, 0}; }), "");
    EXPECT_EQ(with([](DecodedSurface& s) { s = {PixelFormat::Nv12, 4096, 2304, 38, 1, 0}; }), kDecoderSurfaceBudget);
    EXPECT_EQ(failureOf([&] { checkDecodedSurface(good, {1921, 1080}); }), kDecodedApertureOutside);
    EXPECT_EQ(failureOf([&] { checkDecodedSurface(good, {1920, 1089}); }), kDecodedApertureOutside);
    EXPECT_EQ(checkDecodedSurface({PixelFormat::I420, 64, 64, 1, 1, 0}, {}, PixelFormat::I420), (VisibleSize{64, 64}));
}

std::string conversionFailure(const PictureHandle& input, std::uint32_t slice, PixelFormat target, std::uint32_t w,
                              std::uint32_t h, std::uint32_t vw = 0, std::uint32_t vh = 0, std::uint32_t fps = 60) {
    return failureOf([&] { validateConversion(input.get(), slice, target, w, h, vw, vh, fps); });
}

TEST(Conversion, TargetEdges) {
    const PictureHandle desktop = fakePicture(PixelFormat::Bgra, 2560, 1440);
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Nv12, 1366, 768), "");
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Nv12, 1365, 768), kNv12NeedsEvenSize);
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Nv12, 1366, 767), kNv12NeedsEvenSize);
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Bgra, 1365, 768), "");
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Nv12, 4096, 2304), "");
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Nv12, 4096, 2320), kInvalidConversionTarget);
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Bgra, 0, 768), kInvalidConversionTarget);
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Bgra, 4097, 16), kInvalidConversionTarget);
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Bgra, 64, 64, 0, 0, 0), kInvalidConversionTarget);
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Bgra, 64, 64, 0, 0, 241), kInvalidConversionTarget);
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::Bgra, 64, 64, 0, 0, 240), "");
    EXPECT_EQ(conversionFailure(desktop, 0, PixelFormat::I420, 64, 64), kInvalidConversionTarget);
    // A missing input is a bad target even when the size would also be refused for NV12.
    EXPECT_EQ(conversionFailure(nullptr, 0, PixelFormat::Nv12, 1365, 768), kInvalidConversionTarget);
}

TEST(Conversion, SliceAndVisibleRegion) {
    const PictureHandle decoded = fakePicture(PixelFormat::Nv12, 1920, 1088, 4);
    EXPECT_EQ(conversionFailure(decoded, 3, PixelFormat::Bgra, 1920, 1080, 1920, 1080), "");
    EXPECT_EQ(conversionFailure(decoded, 4, PixelFormat::Bgra, 1920, 1080, 1920, 1080), kInvalidTextureSlice);
    EXPECT_EQ(conversionFailure(decoded, 0, PixelFormat::Bgra, 1920, 1080, 1921, 1080), kInvalidVisibleSize);
    EXPECT_EQ(conversionFailure(decoded, 0, PixelFormat::Bgra, 1920, 1080, 1920, 1089), kInvalidVisibleSize);

    const ConversionShape shape =
        validateConversion(decoded.get(), 2, PixelFormat::Bgra, 1280, 720, 1920, 1080, 30);
    EXPECT_EQ(shape.key, (ConversionKey{1920, 1080, 1280, 720, 30, PixelFormat::Nv12, PixelFormat::Bgra}));
    EXPECT_EQ(shape.slice, 2u);
    EXPECT_EQ(shape.inputHeight, 1088u);
    // Visible 0 x 0 is the whole input.
    const ConversionShape whole = validateConversion(decoded.get(), 0, PixelFormat::Nv12, 640, 360, 0, 0, 60);
    EXPECT_EQ(whole.key.visibleWidth, 1920u);
    EXPECT_EQ(whole.key.visibleHeight, 1088u);
}

class CountingConverter final : public VideoConverter {
public:
    int calls = 0;
    ConversionShape last;

protected:
    PictureHandle convertPicture(const Picture&, const ConversionShape& shape) override {
        ++calls;
        last = shape;
        return fakePicture(shape.key.outputFormat, shape.key.targetWidth, shape.key.targetHeight);
    }
};

TEST(Conversion, BackendSeesOnlyValidatedRequests) {
    CountingConverter converter;
    EXPECT_EQ(failureOf([&] { converter.convert(nullptr, 0, PixelFormat::Bgra, 64, 64, 0, 0, 30); }),
              kInvalidConversionTarget);
    EXPECT_EQ(failureOf([&] {
                  converter.convert(fakePicture(PixelFormat::Bgra, 64, 64), 1, PixelFormat::Bgra, 64, 64, 0, 0, 30);
              }),
              kInvalidTextureSlice);
    EXPECT_EQ(converter.calls, 0);
    const PictureHandle out =
        converter.convert(fakePicture(PixelFormat::Bgra, 1920, 1080), 0, PixelFormat::Nv12, 1280, 720, 0, 0, 30);
    EXPECT_EQ(converter.calls, 1);
    EXPECT_EQ(out->describe().format, PixelFormat::Nv12);
    EXPECT_EQ(converter.last.key.visibleWidth, 1920u);
}

TEST(FitRect, LetterboxesAndPillarboxes) {
    EXPECT_EQ(fitRect(1000, 1000, 1920, 1080), (FrameRect{0, 218.75, 1000, 562.5}));
    EXPECT_EQ(fitRect(1000, 500, 1000, 1000), (FrameRect{250, 0, 500, 500}));
    EXPECT_EQ(fitRect(1920, 1080, 1920, 1080), (FrameRect{0, 0, 1920, 1080}));
    // Equal ratios take the width branch.
    EXPECT_EQ(fitRect(960, 540, 1920, 1080), (FrameRect{0, 0, 960, 540}));
    const double bad[] = {0, -1, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
    for (const double value : bad) {
        EXPECT_EQ(failureOf([&] { fitRect(value, 100, 100, 100); }), kInvalidFrameSize);
        EXPECT_EQ(failureOf([&] { fitRect(100, value, 100, 100); }), kInvalidFrameSize);
        EXPECT_EQ(failureOf([&] { fitRect(100, 100, value, 100); }), kInvalidFrameSize);
        EXPECT_EQ(failureOf([&] { fitRect(100, 100, 100, value); }), kInvalidFrameSize);
    }
}

TEST(FitRect, EncodeSizeIsTruncatedToEvenNumbers) {
    EXPECT_EQ(fitEncodeSize(2560, 1440, 1920, 1080), (EvenSize{1920, 1080}));
    EXPECT_EQ(fitEncodeSize(1366, 768, 1366, 768), (EvenSize{1366, 768}));
    EXPECT_EQ(fitEncodeSize(1280, 1025, 1280, 1025), (EvenSize{1280, 1024}));
    // 1000 x 1000 into 1920 x 1080: 1080 x 1080 centred.
    EXPECT_EQ(fitEncodeSize(1000, 1000, 1920, 1080), (EvenSize{1080, 1080}));
    // 1366 x 768 into 1280 x 1080: 1280 x 719.6... -> 1280 x 718.
    EXPECT_EQ(fitEncodeSize(1366, 768, 1280, 1080), (EvenSize{1280, 718}));
}

TEST(RefreshRate, RoundsFractionsAndFallsBack) {
    EXPECT_EQ(roundRefreshRate(60000, 1001), 60u);
    EXPECT_EQ(roundRefreshRate(59500, 1000), 60u);  // halves round up
    EXPECT_EQ(roundRefreshRate(59499, 1000), 59u);
    EXPECT_EQ(roundRefreshRate(144, 1), 144u);
    EXPECT_EQ(roundRefreshRate(0, 0), 0u);
    EXPECT_EQ(roundRefreshRate(60, 0), 0u);
    EXPECT_EQ(roundRefreshRate(1, 1), 0u);  // not above 1
    EXPECT_EQ(roundRefreshRate(4294967295u, 1), 4294967295u);
    EXPECT_EQ(pickRefreshRate(roundRefreshRate(0, 0), 75), 75u);
    EXPECT_EQ(pickRefreshRate(0, 1), 60u);
    EXPECT_EQ(pickRefreshRate(0), 60u);
    EXPECT_EQ(pickRefreshRate(120, 75), 120u);
}

TEST(CaptureTimeout, BoundedAtOneSecond) {
    EXPECT_EQ(failureOf([] { checkCaptureTimeout(1000); }), "");
    EXPECT_EQ(failureOf([] { checkCaptureTimeout(1001); }), kCaptureTimeoutUnbounded);
}

TEST(EncodedAccessUnit, SizeAndStartCode) {
    using Bytes = std::vector<std::uint8_t>;
    EXPECT_EQ(failureOf([] { checkEncodedAccessUnit(Bytes{0, 0, 1, 0x65}); }), "");
    EXPECT_EQ(failureOf([] { checkEncodedAccessUnit(Bytes{0, 0, 0, 1, 0x67}); }), "");
    EXPECT_EQ(failureOf([] { checkEncodedAccessUnit(Bytes{0, 0, 0, 9, 0x10}); }), kEncoderNotAnnexB);
    EXPECT_EQ(failureOf([] { checkEncodedAccessUnit(Bytes{0, 0, 2, 1}); }), kEncoderNotAnnexB);
    EXPECT_EQ(failureOf([] { checkEncodedAccessUnit(Bytes{0, 0, 1}); }), kEncodedSizeInvalid);
    EXPECT_EQ(failureOf([] { checkEncodedSize(kMaxAccessUnitBytes); }), "");
    EXPECT_EQ(failureOf([] { checkEncodedSize(kMaxAccessUnitBytes + 1); }), kEncodedSizeInvalid);
}

class RecordingEncoder final : public HardwareH264Encoder {
public:
    explicit RecordingEncoder(const EncoderMode& mode) : HardwareH264Encoder(mode) {}
    std::vector<std::int64_t> submitted;
    std::vector<EncodedAccessUnit> encodedUnits() override { return {}; }
    void requestKeyframe() override {}

protected:
    bool submitPicture(const Picture&, std::int64_t timestamp) override {
        submitted.push_back(timestamp);
        return true;
    }
};

TEST(Encoder, ValidatesModeBeforeTheBackendAndChecksEveryPicture) {
    EXPECT_EQ(failureOf([] { RecordingEncoder encoder({1921, 1080, 60, 20000000}); }), kEncoderModeInvalid);
    RecordingEncoder encoder({1280, 720, 30, 5000000});
    EXPECT_EQ(encoder.level(), 42);
    EXPECT_FALSE(encoder.encode(nullptr, 1));
    EXPECT_EQ(failureOf([&] { encoder.encode(fakePicture(PixelFormat::Bgra, 1280, 720), 2); }), kEncoderInputMismatch);
    EXPECT_EQ(failureOf([&] { encoder.encode(fakePicture(PixelFormat::Nv12, 1280, 722), 3); }), kEncoderInputMismatch);
    EXPECT_EQ(failureOf([&] { encoder.encode(fakePicture(PixelFormat::Nv12, 1280, 720, 2), 4); }),
              kEncoderInputMismatch);
    EXPECT_TRUE(encoder.encode(fakePicture(PixelFormat::Nv12, 1280, 720), 5));
    EXPECT_EQ(encoder.submitted, std::vector<std::int64_t>{5});
}

class RecordingDecoder final : public VideoDecoder {
public:
    RecordingDecoder(VideoCodec codec, std::uint32_t w, std::uint32_t h, std::uint32_t fps)
        : VideoDecoder(codec, w, h, fps) {}
    std::vector<std::size_t> sizes;
    std::vector<DecodedFrame> decodedFrames() override { return {}; }

protected:
    bool submitAccessUnit(std::span<const std::uint8_t> unit, std::int64_t) override {
        sizes.push_back(unit.size());
        return true;
    }
};

TEST(Decoder, EnvelopeForHevcOnlyAndUnitSizeBeforeTheBackend) {
    EXPECT_EQ(failureOf([] { RecordingDecoder decoder(VideoCodec::Hevc, 4096, 2304, 60); }), kHevcReceiveEnvelope);
    EXPECT_EQ(failureOf([] { RecordingDecoder decoder(VideoCodec::Hevc, 4096, 2304, 56); }), "");
    // An H.264 decoder ignores the size and rate it is given.
    EXPECT_EQ(failureOf([] { RecordingDecoder decoder(VideoCodec::H264, 0, 0, 0); }), "");

    RecordingDecoder decoder(VideoCodec::H264, 1920, 1080, 60);
    std::vector<std::uint8_t> unit;
    EXPECT_EQ(failureOf([&] { decoder.decode(unit, 0); }), kAccessUnitSize);
    unit.resize(kMaxAccessUnitBytes + 1);
    EXPECT_EQ(failureOf([&] { decoder.decode(unit, 0); }), kAccessUnitSize);
    EXPECT_TRUE(decoder.sizes.empty());
    unit.resize(kMaxAccessUnitBytes);
    EXPECT_TRUE(decoder.decode(unit, 0));
    unit.resize(1);
    EXPECT_TRUE(decoder.decode(unit, 0));
    EXPECT_EQ(decoder.sizes, (std::vector<std::size_t>{kMaxAccessUnitBytes, 1}));
}

class RecordingPresenter final : public ViewerPresenter {
public:
    int presented = 0;
    void presentEmpty() override {}
    FrameRect destination() const override { return {}; }

protected:
    PresentResult presentPicture(const Picture& picture) override {
        checkPresentable(picture);
        ++presented;
        return {PresentStatus::Presented, true};
    }
};

TEST(Presenter, AbsentAndNonBgraPicturesAreRefused) {
    RecordingPresenter presenter;
    EXPECT_EQ(failureOf([&] { presenter.present(nullptr); }), kPresentAbsent);
    EXPECT_EQ(failureOf([&] { presenter.present(fakePicture(PixelFormat::Bgra, 64, 64, 2)); }), kPresentNeedsBgra);
    EXPECT_EQ(failureOf([&] { presenter.present(fakePicture(PixelFormat::Nv12, 64, 64)); }), kPresentNeedsBgra);
    EXPECT_EQ(presenter.present(fakePicture(PixelFormat::Bgra, 64, 64)),
              (PresentResult{PresentStatus::Presented, true}));
    EXPECT_EQ(presenter.presented, 1);
}

TEST(FailureText, ComCallsReportTheirHresult) {
    EXPECT_EQ(hresultFailureText(kFrameAvailabilityStep, kHresultUnspecifiedFailure),
              "Get viewer frame availability failed (HRESULT 2147500037)");
    EXPECT_EQ(hresultFailureText("Acquire desktop frame", 0x887A0026u),
              "Acquire desktop frame failed (HRESULT 2289696806)");
    EXPECT_EQ(windowsErrorFailureText("Read viewer dimensions", 1400),
              "Read viewer dimensions failed (Windows error 1400)");
    EXPECT_EQ(libraryFailureText("Open X display", "X11", 2), "Open X display failed (X11 error 2)");
}

TEST(TimerResolution, RestoredOnlyWhenRaised) {
    int raises = 0;
    int restores = 0;
    MediaFactory media;
    {
        TimerResolutionScope scope(media);  // nothing to raise
        EXPECT_FALSE(scope.raised());
    }
    media.raiseTimerResolution = [&] { return ++raises, false; };
    media.restoreTimerResolution = [&] { ++restores; };
    {
        TimerResolutionScope scope(media);
        EXPECT_FALSE(scope.raised());
    }
    EXPECT_EQ(restores, 0);
    media.raiseTimerResolution = [&] { return ++raises, true; };
    {
        TimerResolutionScope scope(media);
        EXPECT_TRUE(scope.raised());
    }
    EXPECT_EQ(raises, 2);
    EXPECT_EQ(restores, 1);
}

}  // namespace
}  // namespace murel::test
