#pragma once
// Behaviour of a media backend through the MediaFactory the Controller uses: conversion colours,
// the encoder-to-decoder round trip with timestamps, forced keyframes and their parameter sets,
// and the HEVC test decode. A backend is a type with:
//   static MediaFactory factory();
//   static PictureHandle bgraPicture(std::uint32_t width, std::uint32_t height, Rgb left, Rgb right);
//     (the left half of the columns in one colour, the rest in the other)
//   static Rgb pixel(const PictureHandle& bgraPicture, std::uint32_t x, std::uint32_t y);
// Each backend's test binary instantiates the suite once (INSTANTIATE_TYPED_TEST_SUITE_P).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "FakeMedia.hpp"
#include "media/AnnexB.hpp"
#include "media/MediaError.hpp"
#include "media/MediaFactory.hpp"

namespace murel::test {

inline std::vector<int> nalTypes(const std::vector<std::uint8_t>& unit) {
    std::vector<int> types;
    forEachNalUnit(unit, [&](std::span<const std::uint8_t> nal) {
        types.push_back(nalUnitType(VideoCodec::H264, nal));
        return true;
    });
    return types;
}

template <class B>
class MediaBehaviour : public ::testing::Test {
protected:
    void SetUp() override {
        media = B::factory();
        ASSERT_TRUE(media.canView() && media.canHost());
        device = media.makeGraphicsDevice(0);
        converter = media.makeConverter(*device);
    }

    // n pictures of a plain colour (changing per picture), encoded and decoded one by one.
    struct RoundTrip {
        std::vector<EncodedAccessUnit> units;
        std::vector<DecodedFrame> frames;
    };
    RoundTrip roundTrip(HardwareH264Encoder& encoder, VideoDecoder& decoder, int pictures, int keyframeAt = -1) {
        RoundTrip trip;
        const EncoderMode& mode = encoder.mode();
        for (int i = 0; i < pictures; ++i) {
            if (i == keyframeAt) encoder.requestKeyframe();
            const PictureHandle bgra = B::bgraPicture(mode.width, mode.height, {i * 8 % 256, 128, 255 - i * 8 % 256},
                                                          {i * 8 % 256, 128, 255 - i * 8 % 256});
            const PictureHandle nv12 =
                converter->convert(bgra, 0, PixelFormat::Nv12, mode.width, mode.height, 0, 0, mode.fps);
            EXPECT_TRUE(encoder.encode(nv12, 1000000 + 333333 * i));
            for (EncodedAccessUnit& unit : encoder.encodedUnits()) {
                EXPECT_TRUE(decoder.decode(unit.bytes, unit.timestamp));
                for (DecodedFrame& frame : decoder.decodedFrames()) trip.frames.push_back(std::move(frame));
                trip.units.push_back(std::move(unit));
            }
        }
        return trip;
    }

    MediaFactory media;
    std::unique_ptr<GraphicsDevice> device;
    std::unique_ptr<VideoConverter> converter;
};

TYPED_TEST_SUITE_P(MediaBehaviour);

TYPED_TEST_P(MediaBehaviour, ConversionKeepsColoursThroughNv12) {
    const Rgb colours[] = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {40, 170, 230}};
    for (const Rgb colour : colours) {
        const PictureHandle bgra = TypeParam::bgraPicture(64, 48, colour, colour);
        const PictureHandle nv12 = this->converter->convert(bgra, 0, PixelFormat::Nv12, 32, 24, 0, 0, 30);
        ASSERT_EQ(nv12->describe().format, PixelFormat::Nv12);
        EXPECT_EQ(nv12->describe().width, 32u);
        const PictureHandle back = this->converter->convert(nv12, 0, PixelFormat::Bgra, 96, 72, 0, 0, 30);
        const Rgb seen = TypeParam::pixel(back, 48, 36);
        EXPECT_TRUE(near(seen, colour, 6)) << colour.r << "," << colour.g << "," << colour.b << " came back as "
                                           << seen.r << "," << seen.g << "," << seen.b;
    }
}

TYPED_TEST_P(MediaBehaviour, ConversionOfAVisibleRegionStretchesOnlyThatRegion) {
    // Left half red, right half blue: converting only the left half gives red everywhere.
    const PictureHandle halves = TypeParam::bgraPicture(64, 32, {255, 0, 0}, {0, 0, 255});
    const PictureHandle left = this->converter->convert(halves, 0, PixelFormat::Bgra, 64, 32, 32, 32, 30);
    EXPECT_TRUE(near(TypeParam::pixel(left, 60, 16), {255, 0, 0}, 2));
    const PictureHandle whole = this->converter->convert(halves, 0, PixelFormat::Bgra, 64, 32, 0, 0, 30);
    EXPECT_TRUE(near(TypeParam::pixel(whole, 60, 16), {0, 0, 255}, 2));
    EXPECT_EQ(failureOf([&] { this->converter->convert(halves, 0, PixelFormat::Bgra, 64, 32, 65, 32, 30); }),
              media_text::kInvalidVisibleSize);
}

TYPED_TEST_P(MediaBehaviour, EncodedUnitsDecodeInOrderWithTheirTimestamps) {
    const EncoderMode mode{320, 180, 30, 1000000};
    const auto encoder = this->media.makeEncoder(*this->device, mode);
    EXPECT_EQ(encoder->level(), 42);
    const auto decoder = this->media.makeDecoder(*this->device, VideoCodec::H264, 1920, 1080, 60);
    auto trip = this->roundTrip(*encoder, *decoder, 12);
    for (DecodedFrame& frame : decoder->decodedFrames()) trip.frames.push_back(std::move(frame));

    ASSERT_EQ(trip.units.size(), 12u);
    ASSERT_EQ(trip.frames.size(), 12u);
    for (std::size_t i = 0; i < trip.units.size(); ++i) {
        EXPECT_EQ(trip.units[i].timestamp, 1000000 + 333333 * static_cast<std::int64_t>(i));
        EXPECT_TRUE(startsWithStartCode(trip.units[i].bytes));
        EXPECT_EQ(trip.frames[i].timestamp, trip.units[i].timestamp);
        EXPECT_EQ(trip.frames[i].width, 320u);
        EXPECT_EQ(trip.frames[i].height, 180u);
        // The viewer's conversion of the decoded picture at its visible size.
        const PictureHandle shown = this->converter->convert(trip.frames[i].picture, trip.frames[i].slice,
                                                             PixelFormat::Bgra, 320, 180, 320, 180, 30);
        const Rgb expected{static_cast<int>(i) * 8 % 256, 128, 255 - static_cast<int>(i) * 8 % 256};
        EXPECT_TRUE(near(TypeParam::pixel(shown, 160, 90), expected, 12)) << "picture " << i;
    }
    // The first unit is a keyframe with its parameter sets.
    const std::vector<int> first = nalTypes(trip.units[0].bytes);
    EXPECT_NE(std::find(first.begin(), first.end(), kH264NalSps), first.end());
    EXPECT_NE(std::find(first.begin(), first.end(), kH264NalIdr), first.end());
}

TYPED_TEST_P(MediaBehaviour, ForcedKeyframeIsSpsPpsIdrAtTheChosenLevel) {
    const EncoderMode mode{640, 360, 60, 60000000};  // the bitrate asks for level 5.0
    const auto encoder = this->media.makeEncoder(*this->device, mode);
    ASSERT_EQ(encoder->level(), 50);
    const auto decoder = this->media.makeDecoder(*this->device, VideoCodec::H264, 1920, 1080, 60);
    const auto trip = this->roundTrip(*encoder, *decoder, 8, 5);
    ASSERT_EQ(trip.units.size(), 8u);
    for (int i = 1; i < 8; ++i) {
        const std::vector<int> types = nalTypes(trip.units[static_cast<std::size_t>(i)].bytes);
        ASSERT_FALSE(types.empty());
        if (i == 5) {
            ASSERT_GE(types.size(), 3u);
            EXPECT_EQ(types[0], kH264NalSps);
            EXPECT_EQ(types[1], kH264NalPps);
            for (std::size_t n = 2; n < types.size(); ++n) EXPECT_EQ(types[n], kH264NalIdr);
            // level_idc is the SPS's third payload byte; profile_idc 66 is Baseline.
            std::vector<std::uint8_t> sps;
            forEachNalUnit(trip.units[5].bytes, [&](std::span<const std::uint8_t> nal) {
                sps.assign(nal.begin(), nal.end());
                return false;
            });
            ASSERT_GE(sps.size(), 4u);
            EXPECT_EQ(sps[1], 66);
            EXPECT_EQ(sps[3], 50);
        } else {
            EXPECT_EQ(std::find(types.begin(), types.end(), kH264NalIdr), types.end()) << "picture " << i;
        }
    }
}

TYPED_TEST_P(MediaBehaviour, HevcPreflightDecodesTheTestPicture) {
    EXPECT_EQ(failureOf([&] { runHevcPreflight(this->media, *this->device); }), "");
}

REGISTER_TYPED_TEST_SUITE_P(MediaBehaviour, ConversionKeepsColoursThroughNv12,
                            ConversionOfAVisibleRegionStretchesOnlyThatRegion,
                            EncodedUnitsDecodeInOrderWithTheirTimestamps, ForcedKeyframeIsSpsPpsIdrAtTheChosenLevel,
                            HevcPreflightDecodesTheTestPicture);

}  // namespace murel::test
