// Annex-B scanning and the picture sizes announced by parameter sets, including hostile ones.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "FakeMedia.hpp"
#include "media/AnnexB.hpp"
#include "media/HevcPreflight.hpp"
#include "media/MediaError.hpp"

namespace murel::test {
namespace {

using namespace media_text;
using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

std::optional<CodedSize> h264Size(const Bytes& unit) {
    std::optional<CodedSize> size;
    forEachNalUnit(unit, [&](std::span<const std::uint8_t> nal) {
        size = parseH264SpsSize(nal);
        return false;
    });
    return size;
}

std::optional<CodedSize> hevcSize(const Bytes& unit) {
    std::optional<CodedSize> size;
    forEachNalUnit(unit, [&](std::span<const std::uint8_t> nal) {
        size = parseHevcSpsSize(nal);
        return false;
    });
    return size;
}

TEST(AnnexB, SplitsOnThreeAndFourByteStartCodesAndDropsTrailingZeros) {
    const Bytes unit = {0xAA, 0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 0, 0, 0x03, 0, 0, 1, 0x65, 9, 0, 0};
    std::vector<Bytes> nals;
    forEachNalUnit(unit, [&](std::span<const std::uint8_t> nal) {
        nals.emplace_back(nal.begin(), nal.end());
        return true;
    });
    ASSERT_EQ(nals.size(), 3u);
    EXPECT_EQ(nals[0], (Bytes{0x67, 1, 2}));
    EXPECT_EQ(nals[1], (Bytes{0x68, 0, 0, 0x03}));
    EXPECT_EQ(nals[2], (Bytes{0x65, 9}));
    EXPECT_EQ(nalUnitType(VideoCodec::H264, nals[0]), kH264NalSps);
    EXPECT_EQ(nalUnitType(VideoCodec::H264, nals[2]), kH264NalIdr);
    // Stopping early.
    int seen = 0;
    forEachNalUnit(unit, [&](std::span<const std::uint8_t>) { return ++seen < 2; });
    EXPECT_EQ(seen, 2);
    // No start code, empty NAL units and a start code at the very end yield nothing.
    forEachNalUnit(Bytes{1, 2, 3, 0, 0}, [&](std::span<const std::uint8_t>) { return ADD_FAILURE(), true; });
    forEachNalUnit(Bytes{0, 0, 1, 0, 0, 1}, [&](std::span<const std::uint8_t>) { return ADD_FAILURE(), true; });
}

TEST(AnnexB, NalHeaders) {
    EXPECT_EQ(nalUnitType(VideoCodec::H264, Bytes{}), -1);
    EXPECT_EQ(nalUnitType(VideoCodec::H264, Bytes{0xE7}), -1);  // forbidden bit
    EXPECT_EQ(nalUnitType(VideoCodec::Hevc, Bytes{0x42}), -1);  // header is two bytes
    EXPECT_EQ(nalUnitType(VideoCodec::Hevc, Bytes{0x42, 0x01}), kHevcNalSps);
    EXPECT_EQ(nalUnitType(VideoCodec::Hevc, Bytes{0x40, 0x01}), kHevcNalVps);
}

TEST(SpsSize, RealEncoderParameterSets) {
    // libx264: 1920 x 1080 High (cropped from 1920 x 1088) and 320 x 180 Baseline.
    const Bytes high = fromHex("0000000167640028acb200f0044fcb08000003000800000301e478c19240");
    const Bytes baseline = fromHex("000000016742c00dd901419f9e10000003001000000303c8f142a480");
    EXPECT_EQ(h264Size(high), (CodedSize{1920, 1088}));
    EXPECT_EQ(h264Size(baseline), (CodedSize{320, 192}));
    const Bytes preflight(kHevcTestUnit.begin(), kHevcTestUnit.end());
    EXPECT_EQ(checkReceivedAccessUnit(VideoCodec::Hevc, preflight), (CodedSize{64, 64}));
    EXPECT_EQ(checkReceivedAccessUnit(VideoCodec::H264, high), (CodedSize{1920, 1088}));
}

TEST(SpsSize, H264SyntaxVariants) {
    EXPECT_EQ(h264Size(h264Sps({})), (CodedSize{320, 192}));
    EXPECT_EQ(h264Size(h264Sps({.pocType = 0})), (CodedSize{320, 192}));
    EXPECT_EQ(h264Size(h264Sps({.pocType = 1, .pocCycle = 255})), (CodedSize{320, 192}));
    EXPECT_EQ(h264Size(h264Sps({.profile = 100, .scalingLists = true})), (CodedSize{320, 192}));
    EXPECT_EQ(h264Size(h264Sps({.profile = 100, .scalingLists = true, .chromaFormat = 3})), (CodedSize{320, 192}));
    // Field coding: map units are field rows, the frame is twice as tall.
    EXPECT_EQ(h264Size(h264Sps({.heightMapUnits = 34, .frameMbsOnly = false})), (CodedSize{320, 1088}));
    // A width whose Exp-Golomb code runs into 00 00 0x is escaped; the reader removes the escape.
    const Bytes escaped = h264Sps({.widthMbs = 16777216, .heightMapUnits = 1});
    const Bytes escape = {0, 0, 3};
    ASSERT_NE(std::search(escaped.begin() + 4, escaped.end(), escape.begin(), escape.end()), escaped.end());
    EXPECT_EQ(h264Size(escaped), (CodedSize{268435456, 16}));
}

TEST(SpsSize, MalformedSetsAreUnreadable) {
    // Cut short at every length: never read past the end, never a size.
    const Bytes full = h264Sps({.profile = 100, .scalingLists = true});
    for (std::size_t length = 4; length + 3 < full.size(); ++length) {
        EXPECT_EQ(h264Size(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length))), std::nullopt)
            << length;
    }
    EXPECT_EQ(h264Size(h264Sps({.pocType = 1, .pocCycle = 256})), std::nullopt);  // cycle above 255
    // 33 leading zeros: an Exp-Golomb code too long for the syntax.
    BitWriter w;
    w.bits(66, 8);
    w.bits(0, 16);
    w.bits(0, 40);
    EXPECT_EQ(h264Size(w.nal({0x67})), std::nullopt);
    EXPECT_EQ(parseH264SpsSize(Bytes{0x68, 0xff}), std::nullopt);  // not an SPS
    EXPECT_EQ(parseHevcSpsSize(Bytes{0x42}), std::nullopt);
}

TEST(SpsSize, HevcSubLayersAreSkipped) {
    EXPECT_EQ(hevcSize(hevcSps(1920, 1080)), (CodedSize{1920, 1080}));
    EXPECT_EQ(hevcSize(hevcSps(1280, 720, 3)), (CodedSize{1280, 720}));
    EXPECT_EQ(hevcSize(hevcSps(64, 64, 6)), (CodedSize{64, 64}));
    EXPECT_EQ(hevcSize(hevcSps(0, 64)), std::nullopt);
    const Bytes full = hevcSps(1920, 1080, 2);
    for (std::size_t length = 5; length + 2 < full.size(); ++length) {
        EXPECT_EQ(hevcSize(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length))), std::nullopt)
            << length;
    }
}

TEST(ReceivedUnit, HostileUnitsAreRefusedBeforeAnyDecoder) {
    EXPECT_EQ(failureOf([] { checkReceivedAccessUnit(VideoCodec::H264, Bytes{0x65, 0, 0, 1}); }),
              kAccessUnitNotAnnexB);
    // Huge pictures, announced by an SPS that is otherwise valid.
    EXPECT_EQ(failureOf([] {
                  checkReceivedAccessUnit(VideoCodec::H264, h264Sps({.widthMbs = 4096, .heightMapUnits = 4096}));
              }),
              kDecodedFrameEnvelope);
    EXPECT_EQ(
        failureOf([] { checkReceivedAccessUnit(VideoCodec::H264, h264Sps({.widthMbs = 257, .heightMapUnits = 1})); }),
        kDecodedFrameEnvelope);
    EXPECT_EQ(failureOf([] { checkReceivedAccessUnit(VideoCodec::Hevc, hevcSps(65535, 65535)); }),
              kDecodedFrameEnvelope);
    EXPECT_EQ(failureOf([] { checkReceivedAccessUnit(VideoCodec::Hevc, hevcSps(4096, 2320)); }), kDecodedFrameEnvelope);
    EXPECT_EQ(failureOf([] { checkReceivedAccessUnit(VideoCodec::Hevc, hevcSps(4096, 2304)); }), "");
    // A truncated SPS in front of a slice.
    Bytes truncated = h264Sps({});
    truncated.resize(8);
    truncated.insert(truncated.end(), {0, 0, 0, 1, 0x65, 0x88});
    EXPECT_EQ(failureOf([&] { checkReceivedAccessUnit(VideoCodec::H264, truncated); }), kParameterSetUnreadable);
    // The last good SPS of a unit wins; a unit without one says nothing.
    Bytes two = h264Sps({});
    const Bytes second = h264Sps({.widthMbs = 80, .heightMapUnits = 45});
    two.insert(two.end(), second.begin(), second.end());
    EXPECT_EQ(checkReceivedAccessUnit(VideoCodec::H264, two), (CodedSize{1280, 720}));
    EXPECT_EQ(checkReceivedAccessUnit(VideoCodec::H264, Bytes{0, 0, 1, 0x41, 0x9a}), std::nullopt);
}

}  // namespace
}  // namespace murel::test
