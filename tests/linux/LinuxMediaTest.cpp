// The Linux media backends: the behaviour suite, the synthetic scene and its reader, the whole
// local chain (capture, conversion, encoding, decoding, presentation) with every picture's number
// read back, an independent decode of what we encode, and hostile bitstreams.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "FakeMedia.hpp"
#include "LinuxMediaFactory.hpp"
#include "MediaBehaviour.hpp"
#include "media/AnnexB.hpp"
#include "media/MediaClock.hpp"
#include "media/MediaError.hpp"
#include "media/VideoEnvelope.hpp"

namespace murel::test {
namespace {

using namespace media_text;

struct LinuxMediaBackend {
    static MediaFactory factory() {
        LinuxMediaOptions options;
        options.capture = LinuxMediaOptions::Capture::Synthetic;
        options.scene = {320, 180, 30};
        return makeLinuxMediaFactory(options);
    }
    static PictureHandle bgraPicture(std::uint32_t width, std::uint32_t height, Rgb left, Rgb right) {
        std::shared_ptr<CpuPicture> picture = CpuPicture::allocate(PixelFormat::Bgra, width, height);
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                const Rgb c = x < width / 2 ? left : right;
                std::uint8_t* p = picture->row(y) + 4 * x;
                p[0] = static_cast<std::uint8_t>(c.b);
                p[1] = static_cast<std::uint8_t>(c.g);
                p[2] = static_cast<std::uint8_t>(c.r);
                p[3] = 255;
            }
        }
        return picture;
    }
    static Rgb pixel(const PictureHandle& picture, std::uint32_t x, std::uint32_t y) {
        const std::uint8_t* p = cpuPicture(*picture).row(y) + 4 * x;
        return {p[2], p[1], p[0]};
    }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Linux, MediaBehaviour, LinuxMediaBackend);

namespace {

std::shared_ptr<CpuPicture> scenePicture(std::uint32_t width, std::uint32_t height, std::uint32_t frame,
                                         std::int64_t time) {
    std::shared_ptr<CpuPicture> picture = CpuPicture::allocate(PixelFormat::Bgra, width, height);
    drawScene(*picture, frame, time);
    return picture;
}

Rgb rgb(Bgr c) { return {c.r, c.g, c.b}; }

// The bar colours of a BGRA picture (or of the rectangle of one given by its corner and size).
void expectBars(const CpuPicture& picture, int tolerance) {
    for (int i = 0; i < 8; ++i) {
        const ScenePoint centre = sceneBarCentre(i, picture.width(), picture.height());
        const Rgb seen = rgb(averageColour(picture, centre.x, centre.y));
        const Rgb expected = rgb(kSceneBars[static_cast<std::size_t>(i)]);
        EXPECT_TRUE(near(seen, expected, tolerance))
            << "bar " << i << ": " << seen.r << "," << seen.g << "," << seen.b;
    }
}

TEST(SyntheticScene, StampsReadBackAtAnySize) {
    const std::int64_t times[] = {0, 1, 1234567890123456789LL, -5, std::numeric_limits<std::int64_t>::max()};
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{32, 32}, {320, 180}, {333, 177}, {1920, 1080}};
    std::uint32_t frame = 0;
    for (const auto& [w, h] : sizes) {
        for (const std::int64_t time : times) {
            frame = frame * 2654435761u + 7;
            const auto picture = scenePicture(w, h, frame, time);
            EXPECT_EQ(readSceneStamp(*picture), (SceneStamp{frame, time})) << w << "x" << h;
        }
        if (w >= 320) expectBars(*scenePicture(w, h, 1, 1), 0);
    }
}

TEST(SyntheticScene, StampsSurviveScalingAndYuvButNotDamage) {
    const auto converter = makeSwsConverter();
    const auto original = scenePicture(1280, 720, 4242, 987654321);
    // Down to a quarter through I420 and NV12 at limited range, and back up to an odd size.
    for (const PixelFormat format : {PixelFormat::Nv12}) {
        const PictureHandle small = converter->convert(original, 0, format, 320, 180, 0, 0, 30);
        const PictureHandle back = converter->convert(small, 0, PixelFormat::Bgra, 401, 223, 0, 0, 30);
        EXPECT_EQ(readSceneStamp(cpuPicture(*back)), (SceneStamp{4242, 987654321}));
        expectBars(cpuPicture(*back), 10);
    }
    // One flipped block fails the checksum; a picture without a code reads as nothing.
    const auto damaged = scenePicture(320, 180, 4242, 987654321);
    const std::uint32_t top = 180 - 180 / 24 * 2;  // inside the third code row
    for (std::uint32_t y = top; y < top + 3; ++y) {
        for (std::uint32_t x = 100; x < 110; ++x) {
            std::uint8_t* p = damaged->row(y) + 4 * x;
            p[0] = p[1] = p[2] = static_cast<std::uint8_t>(255 - p[0]);
        }
    }
    EXPECT_EQ(readSceneStamp(*damaged), std::nullopt);
    EXPECT_EQ(readSceneStamp(cpuPicture(*LinuxMediaBackend::bgraPicture(320, 180, {0, 0, 0}, {255, 255, 255}))),
              std::nullopt);
}

TEST(SyntheticScene, CaptureNumbersPicturesAndStampsTheClock) {
    std::int64_t now = 1000;
    SyntheticDesktopCapture capture({64, 48, 75}, [&] { return now += 10; });
    EXPECT_EQ(capture.refreshRate(), 75u);
    EXPECT_EQ(capture.desktopBounds(), (FrameRect{0, 0, 64, 48}));
    for (std::uint32_t i = 0; i < 3; ++i) {
        const CapturedFrame frame = capture.capture(0);
        ASSERT_TRUE(frame.hasFrame);
        EXPECT_EQ(frame.timestamp, 1010 + 10 * static_cast<std::int64_t>(i));
        EXPECT_EQ(readSceneStamp(cpuPicture(*frame.picture)), (SceneStamp{i, frame.timestamp}));
    }
    EXPECT_EQ(failureOf([] { SyntheticDesktopCapture({31, 48, 60}); }),
              "The test scene needs 32...8192 pixels on each side");
}

// The whole local chain as the Controller runs it: capture, NV12 at the encoder's size, encode,
// decode, BGRA at the visible size, present. Every picture must come out, in order, readable.
struct ChainResult {
    std::vector<PresentedFrame> presented;
    std::vector<std::vector<std::uint8_t>> units;
    int barChecks = 0;
};

ChainResult runChain(std::uint32_t width, std::uint32_t height, std::uint32_t fps, int pictures,
                     RecordingPresenterOptions presenterOptions) {
    LinuxMediaOptions options;
    options.capture = LinuxMediaOptions::Capture::Synthetic;
    options.scene = {width, height, fps};
    const MediaFactory media = makeLinuxMediaFactory(options);
    const auto device = media.makeGraphicsDevice(0);
    const auto converter = media.makeConverter(*device);
    const auto capture = media.makeCapture(*device, 0);
    const FrameRect bounds = capture->desktopBounds();
    const EvenSize size = fitEncodeSize(bounds.w, bounds.h, std::min(bounds.w, 1920.0), std::min(bounds.h, 1080.0));
    const auto encoder = media.makeEncoder(*device, {size.width, size.height, fps, 2000000});
    const auto decoder = media.makeDecoder(*device, VideoCodec::H264, 1920, 1080, 60);
    RecordingPresenter presenter(std::move(presenterOptions));

    ChainResult result;
    presenter.onPresented([&](const CpuPicture& client, const PresentedFrame& frame) {
        result.presented.push_back(frame);
        // The bars of the drawn picture, inside the client area's letterbox.
        const FrameRect d = frame.destination;
        for (int i = 0; i < 8; ++i) {
            const ScenePoint c = sceneBarCentre(i, static_cast<std::uint32_t>(d.w), static_cast<std::uint32_t>(d.h));
            const Rgb seen = rgb(averageColour(client, d.x + c.x, d.y + c.y));
            EXPECT_TRUE(near(seen, rgb(kSceneBars[static_cast<std::size_t>(i)]), 24))
                << "picture " << frame.index << " bar " << i << ": " << seen.r << "," << seen.g << "," << seen.b;
            ++result.barChecks;
        }
    });

    for (int i = 0; i < pictures; ++i) {
        const CapturedFrame captured = capture->capture(0);
        EXPECT_TRUE(captured.hasFrame);
        const PictureHandle nv12 =
            converter->convert(captured.picture, 0, PixelFormat::Nv12, size.width, size.height, 0, 0, fps);
        EXPECT_TRUE(encoder->encode(nv12, steadyNanoseconds() / 100));
        for (EncodedAccessUnit& unit : encoder->encodedUnits()) {
            EXPECT_TRUE(decoder->decode(unit.bytes, unit.timestamp));
            result.units.push_back(std::move(unit.bytes));
        }
        std::vector<DecodedFrame> frames = decoder->decodedFrames();
        if (frames.empty()) continue;
        const DecodedFrame& latest = frames.back();
        const PictureHandle bgra = converter->convert(latest.picture, latest.slice, PixelFormat::Bgra, latest.width,
                                                      latest.height, latest.width, latest.height, fps);
        EXPECT_EQ(presenter.present(bgra), (PresentResult{PresentStatus::Presented, true}));
    }
    return result;
}

void expectEveryPictureInOrder(const ChainResult& result, int pictures) {
    ASSERT_EQ(result.presented.size(), static_cast<std::size_t>(pictures));
    for (std::size_t i = 0; i < result.presented.size(); ++i) {
        const PresentedFrame& frame = result.presented[i];
        ASSERT_TRUE(frame.stamp.has_value()) << "picture " << i << " unreadable";
        EXPECT_EQ(frame.stamp->frame, i);
        EXPECT_GE(frame.presentedNs, frame.stamp->captureNs);
        if (i > 0) {
            EXPECT_GT(frame.stamp->captureNs, result.presented[i - 1].stamp->captureNs);
        }
    }
    EXPECT_EQ(result.barChecks, pictures * 8);
}

std::filesystem::path scratch(const std::string& name) {
    const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / ("murel-media-" + name);
    std::filesystem::remove_all(folder);
    return folder;
}

TEST(LocalChain, EveryPictureArrivesInOrderWithItsColours) {
    RecordingPresenterOptions recording;
    recording.folder = scratch("chain");
    recording.maxFrameFiles = 2;
    const ChainResult result = runChain(320, 180, 30, 40, recording);
    expectEveryPictureInOrder(result, 40);

    // The log has a line per picture with its number and latency; frame files stop at the bound.
    std::ifstream log(recording.folder / "presented.log");
    std::string line;
    int lines = 0;
    while (std::getline(log, line)) {
        EXPECT_NE(line.find("frame=" + std::to_string(lines) + " "), std::string::npos) << line;
        EXPECT_NE(line.find(" 320x180 "), std::string::npos) << line;
        ++lines;
    }
    EXPECT_EQ(lines, 40);
    EXPECT_TRUE(std::filesystem::exists(recording.folder / "frame-000001.ppm"));
    EXPECT_FALSE(std::filesystem::exists(recording.folder / "frame-000002.ppm"));
    std::ifstream ppm(recording.folder / "frame-000000.ppm", std::ios::binary);
    std::string magic;
    int w = 0;
    int h = 0;
    ppm >> magic >> w >> h;
    EXPECT_EQ(magic, "P6");
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 180);
}

TEST(LocalChain, LetterboxedIntoASquareClientArea) {
    RecordingPresenterOptions recording;
    recording.clientWidth = 400;
    recording.clientHeight = 400;
    const ChainResult result = runChain(640, 360, 60, 24, recording);
    expectEveryPictureInOrder(result, 24);
    EXPECT_EQ(result.presented.back().destination, (FrameRect{0, 87.5, 400, 225}));
}

// An independent decode (PyAV) of what the encoder produced: same number of pictures, Baseline,
// and every picture's number reads back from its pixels.
TEST(LocalChain, PyAvDecodesTheEncodedStream) {
    const ChainResult result = runChain(320, 180, 30, 20, {});
    const std::filesystem::path folder = scratch("pyav");
    std::filesystem::create_directories(folder);
    {
        std::ofstream stream(folder / "stream.h264", std::ios::binary);
        for (const auto& unit : result.units)
            stream.write(reinterpret_cast<const char*>(unit.data()), static_cast<std::streamsize>(unit.size()));
    }
    const std::string command = "/usr/bin/python3 " MUREL_LINUX_TESTS_DIR "/decode_h264.py '" +
                                (folder / "stream.h264").string() + "' '" + (folder / "frames.bgra").string() + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char output[256] = {};
    const bool read = std::fgets(output, sizeof output, pipe) != nullptr;
    const int status = pclose(pipe);
    ASSERT_TRUE(read);
    ASSERT_EQ(status, 0);
    std::istringstream words(output);
    int frames = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::string profile;
    words >> frames >> width >> height >> profile;
    EXPECT_EQ(frames, 20);
    EXPECT_EQ(width, 320u);
    EXPECT_EQ(height, 180u);
    EXPECT_NE(profile.find("Baseline"), std::string::npos) << profile;

    std::ifstream raw(folder / "frames.bgra", std::ios::binary);
    std::vector<std::uint8_t> picture(std::size_t{width} * height * 4);
    for (int i = 0; i < frames; ++i) {
        ASSERT_TRUE(raw.read(reinterpret_cast<char*>(picture.data()), static_cast<std::streamsize>(picture.size())));
        const auto stamp = readSceneStamp(picture.data(), width, height, static_cast<std::ptrdiff_t>(width) * 4);
        ASSERT_TRUE(stamp.has_value()) << "picture " << i;
        EXPECT_EQ(stamp->frame, static_cast<std::uint32_t>(i));
    }
}

TEST(X264Encoder, KeyframesEveryTwoSecondsOfPictures) {
    const auto encoder = makeX264Encoder({160, 96, 5, 500000});
    const auto converter = makeSwsConverter();
    std::vector<int> keyframes;
    for (int i = 0; i < 25; ++i) {
        const PictureHandle nv12 = converter->convert(scenePicture(160, 96, static_cast<std::uint32_t>(i), i), 0,
                                                      PixelFormat::Nv12, 160, 96, 0, 0, 5);
        ASSERT_TRUE(encoder->encode(nv12, i * 2000000));
        for (const EncodedAccessUnit& unit : encoder->encodedUnits()) {
            const std::vector<int> types = nalTypes(unit.bytes);
            if (std::find(types.begin(), types.end(), kH264NalIdr) != types.end()) keyframes.push_back(i);
        }
    }
    EXPECT_EQ(keyframes, (std::vector<int>{0, 10, 20}));
}

TEST(X264Encoder, RefusesPicturesOfAnotherBackend) {
    const auto encoder = makeX264Encoder({64, 64, 30, 500000});
    EXPECT_EQ(failureOf([&] { encoder->encode(fakePicture(PixelFormat::Nv12, 64, 64), 0); }), kForeignPicture);
}

// A real stream to break: a keyframe and a few pictures of the scene.
std::vector<std::vector<std::uint8_t>> sceneStream(int pictures) {
    const auto encoder = makeX264Encoder({320, 180, 30, 1000000});
    const auto converter = makeSwsConverter();
    std::vector<std::vector<std::uint8_t>> units;
    for (int i = 0; i < pictures; ++i) {
        encoder->encode(converter->convert(scenePicture(320, 180, static_cast<std::uint32_t>(i), i), 0,
                                           PixelFormat::Nv12, 320, 180, 0, 0, 30),
                        i);
        for (EncodedAccessUnit& unit : encoder->encodedUnits()) units.push_back(std::move(unit.bytes));
    }
    return units;
}

// The HEVC test picture with its SPS replaced.
std::vector<std::uint8_t> hevcUnitWithSps(const std::vector<std::uint8_t>& sps) {
    std::vector<std::uint8_t> unit;
    const std::vector<std::uint8_t> original(kHevcTestUnit.begin(), kHevcTestUnit.end());
    forEachNalUnit(original, [&](std::span<const std::uint8_t> nal) {
        const std::vector<std::uint8_t> own = {0, 0, 0, 1};
        if (nalUnitType(VideoCodec::Hevc, nal) == kHevcNalSps) {
            unit.insert(unit.end(), sps.begin(), sps.end());
        } else {
            unit.insert(unit.end(), own.begin(), own.end());
            unit.insert(unit.end(), nal.begin(), nal.end());
        }
        return true;
    });
    return unit;
}

TEST(AvDecoder, HugeParameterSetsAreRefusedBeforeLibavcodec) {
    // Valid SPSs announcing 65,536 x 65,536 (H.264) and 8,192 x 8,192 (HEVC), and one just beyond the
    // envelope; libavcodec would otherwise allocate its per-picture tables for them.
    std::vector<std::uint8_t> unit = h264Sps({.widthMbs = 4096, .heightMapUnits = 4096});
    unit.insert(unit.end(), {0, 0, 0, 1, 0x68, 0xce, 0x38, 0x80, 0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33});
    const auto decoder = makeAvDecoder(VideoCodec::H264, 1920, 1080, 60);
    EXPECT_EQ(failureOf([&] { decoder->decode(unit, 0); }), kDecodedFrameEnvelope);
    EXPECT_EQ(failureOf([&] { decoder->decode(h264Sps({.widthMbs = 256, .heightMapUnits = 145}), 0); }),
              kDecodedFrameEnvelope);

    const auto hevc = makeAvDecoder(VideoCodec::Hevc, 64, 64, 30);
    EXPECT_EQ(failureOf([&] { hevc->decode(hevcUnitWithSps(hevcSps(8192, 8192)), 0); }), kDecodedFrameEnvelope);
    EXPECT_EQ(failureOf([&] { hevc->decode(hevcUnitWithSps(hevcSps(4096, 2320)), 0); }), kDecodedFrameEnvelope);
    // An unreadable SPS (cut short) is refused too.
    std::vector<std::uint8_t> cut = hevcSps(64, 64);
    cut.resize(12);
    EXPECT_EQ(failureOf([&] { hevc->decode(hevcUnitWithSps(cut), 0); }), kParameterSetUnreadable);

    // The test picture rebuilt with its own SPS decodes on a fresh decoder, as does a real H.264 stream.
    const std::vector<std::uint8_t> original(kHevcTestUnit.begin(), kHevcTestUnit.end());
    std::vector<std::uint8_t> ownSps = {0, 0, 0, 1};
    forEachNalUnit(original, [&](std::span<const std::uint8_t> nal) {
        if (nalUnitType(VideoCodec::Hevc, nal) != kHevcNalSps) return true;
        ownSps.insert(ownSps.end(), nal.begin(), nal.end());
        return false;
    });
    ASSERT_EQ(hevcUnitWithSps(ownSps), original);
    const auto fresh = makeAvDecoder(VideoCodec::Hevc, 64, 64, 30);
    EXPECT_TRUE(fresh->decode(hevcUnitWithSps(ownSps), 12345));
    const std::vector<DecodedFrame> good = fresh->decodedFrames();
    ASSERT_EQ(good.size(), 1u);
    EXPECT_EQ(good[0].width, 64u);
    EXPECT_EQ(good[0].timestamp, 12345);
    const auto h264 = makeAvDecoder(VideoCodec::H264, 1920, 1080, 60);
    for (const auto& u : sceneStream(3)) EXPECT_TRUE(h264->decode(u, 0));
    EXPECT_EQ(h264->decodedFrames().size(), 3u);
}

TEST(AvDecoder, TruncatedAndCorruptedUnitsNeverCrash) {
    const std::vector<std::vector<std::uint8_t>> stream = sceneStream(4);
    ASSERT_EQ(stream.size(), 4u);
    std::mt19937 random(15);
    // Only ProtocolError may come out; anything else (or a sanitizer report) fails the test.
    std::map<std::string, int> refusals;
    const auto attempt = [&](const std::vector<std::vector<std::uint8_t>>& units) {
        const auto decoder = makeAvDecoder(VideoCodec::H264, 1920, 1080, 60, 1);
        try {
            for (const auto& unit : units) decoder->decode(unit, 0);
            for (const DecodedFrame& frame : decoder->decodedFrames()) {
                const PictureDescription picture = frame.picture->describe();
                EXPECT_TRUE(fitsFrameEnvelope(picture.width, picture.height));
            }
        } catch (const ProtocolError& error) {
            ++refusals[error.what()];
        }
    };
    for (const auto& original : stream) {
        // Every cut inside the first 40 bytes (start code, parameter sets), then every twentieth.
        for (std::size_t length = 1; length < original.size(); length += length < 40 ? 1 : original.size() / 20) {
            attempt(
                {std::vector<std::uint8_t>(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(length))});
        }
        // Random byte changes after the first start code, behind a good keyframe.
        for (int round = 0; round < 6; ++round) {
            std::vector<std::uint8_t> bent = original;
            for (int n = 0; n < 8; ++n) bent[4 + random() % (bent.size() - 4)] = static_cast<std::uint8_t>(random());
            attempt({stream[0], bent});
        }
    }
    // Cuts within the start code and within the keyframe's SPS were refused by our checks.
    EXPECT_GT(refusals[kAccessUnitNotAnnexB], 0);
    EXPECT_GT(refusals[kParameterSetUnreadable], 0);
}

TEST(AvDecoder, AtMostEightPicturesWaitToBeTaken) {
    const std::vector<std::vector<std::uint8_t>> stream = sceneStream(12);
    const auto decoder = makeAvDecoder(VideoCodec::H264, 1920, 1080, 60);
    std::size_t accepted = 0;
    while (accepted < stream.size() && decoder->decode(stream[accepted], static_cast<std::int64_t>(accepted))) {
        ++accepted;
    }
    EXPECT_LT(accepted, stream.size());
    std::vector<DecodedFrame> first = decoder->decodedFrames();
    EXPECT_EQ(first.size(), 8u);
    for (std::size_t i = accepted; i < stream.size(); ++i)
        EXPECT_TRUE(decoder->decode(stream[i], static_cast<std::int64_t>(i)));
    std::vector<DecodedFrame> rest = decoder->decodedFrames();
    ASSERT_EQ(first.size() + rest.size(), 12u);
    // Oldest first, across both takes.
    for (std::size_t i = 0; i < rest.size(); ++i) EXPECT_EQ(rest[i].timestamp, static_cast<std::int64_t>(8 + i));
}

TEST(AvDecoder, DecodedPicturesOutliveTheirDecoder) {
    std::vector<DecodedFrame> frames;
    {
        const auto decoder = makeAvDecoder(VideoCodec::H264, 1920, 1080, 60);
        for (const auto& unit : sceneStream(2)) decoder->decode(unit, 0);
        frames = decoder->decodedFrames();
    }
    ASSERT_EQ(frames.size(), 2u);
    const auto converter = makeSwsConverter();
    const PictureHandle shown = converter->convert(frames[1].picture, 0, PixelFormat::Bgra, 320, 180, 320, 180, 30);
    EXPECT_EQ(readSceneStamp(cpuPicture(*shown)), (SceneStamp{1, 1}));
}

TEST(RecordingPresenter, HiddenViewerConsumesWithoutShowing) {
    RecordingPresenter presenter({});
    presenter.setVisible(false);
    EXPECT_EQ(presenter.present(scenePicture(64, 64, 0, 0)), (PresentResult{PresentStatus::NotShown, true}));
    EXPECT_EQ(presenter.destination(), FrameRect{});
    EXPECT_EQ(presenter.presentedCount(), 0u);
    presenter.setVisible(true);
    EXPECT_EQ(presenter.present(scenePicture(64, 64, 0, 0)), (PresentResult{PresentStatus::Presented, true}));
    EXPECT_EQ(presenter.destination(), (FrameRect{0, 0, 64, 64}));
    presenter.presentEmpty();
    EXPECT_EQ(presenter.destination(), FrameRect{});
}

TEST(LinuxMediaFactory, OnlyAdapterAndOutputZeroExist) {
    const MediaFactory media = LinuxMediaBackend::factory();
    EXPECT_FALSE(media.raiseTimerResolution);
    EXPECT_NE(failureOf([&] { media.makeGraphicsDevice(1); }), "");
    const auto device = media.makeGraphicsDevice(0);
    EXPECT_EQ(device->adapterLuid(), AdapterLuid{});
    EXPECT_NE(failureOf([&] { media.makeCapture(*device, 1); }), "");
    EXPECT_EQ(failureOf([&] { media.makeEncoder(*device, {1921, 1080, 60, 20000000}); }), kEncoderModeInvalid);
    EXPECT_EQ(failureOf([&] { media.makeDecoder(*device, VideoCodec::Hevc, 4096, 2304, 60); }), kHevcReceiveEnvelope);
}

}  // namespace
}  // namespace murel::test
