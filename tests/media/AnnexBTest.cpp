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

struct H264Sps {
    std::uint32_t profile = 66;
    std::uint64_t widthMbs = 20;
    std::uint64_t heightMapUnits = 12;
    bool frameMbsOnly = true;
    int pocType = 2;
    int pocCycle = 0;
    bool scalingLists = false;
    int chromaFormat = 1;
};

Bytes h264Sps(const H264Sps& p) {
    BitWriter w;
    w.bits(p.profile, 8);
    w.bits(0, 8);
    w.bits(40, 8);
    w.ue(0);
    if (p.profile == 100) {
        w.ue(p.chromaFormat);
        if (p.chromaFormat == 3) w.bits(0, 1);
        w.ue(0);
        w.ue(0);
        w.bits(0, 1);
        w.bits(p.scalingLists ? 1 : 0, 1);
        if (p.scalingLists) {
            const int lists = p.chromaFormat != 3 ? 8 : 12;
            for (int i = 0; i < lists; ++i) {
                w.bits(1, 1);
                const int size = i < 6 ? 16 : 64;
                // A ramp of deltas, then a jump to 0 that ends the list early for odd lists.
                for (int j = 0; j < size; ++j) {
                    if (i % 2 == 1 && j == 5) {
                        w.se(-8 - 5);  // next = 0: the rest repeats the last value
                        break;
                    }
                    w.se(1);
                }
            }
        }
    }
    w.ue(0);  // log2_max_frame_num_minus4
    w.ue(p.pocType);
    if (p.pocType == 0) w.ue(4);
    if (p.pocType == 1) {
        w.bits(0, 1);
        w.se(-3);
        w.se(7);
        w.ue(p.pocCycle);
        for (int i = 0; i < p.pocCycle; ++i) w.se(i - 100);
    }
    w.ue(1);
    w.bits(0, 1);
    w.ue(p.widthMbs - 1);
    w.ue(p.heightMapUnits - 1);
    w.bits(p.frameMbsOnly ? 1 : 0, 1);
    if (!p.frameMbsOnly) w.bits(0, 1);  // mb_adaptive_frame_field_flag
    w.bits(1, 1);                       // direct_8x8_inference_flag
    w.bits(0, 1);                       // frame_cropping_flag
    w.bits(0, 1);                       // vui_parameters_present_flag
    return w.nal({0x67});
}

Bytes hevcSps(std::uint64_t width, std::uint64_t height, int subLayers = 0) {
    BitWriter w;
    w.bits(0, 4);
    w.bits(subLayers, 3);
    w.bits(1, 1);
    // general profile_tier_level: space, tier, profile Main, compatibility, flags, level 93.
    w.bits(0, 2);
    w.bits(0, 1);
    w.bits(1, 5);
    w.bits(0x60000000, 32);
    w.bits(0x9, 4);
    w.bits(0, 43);
    w.bits(0, 1);
    w.bits(93, 8);
    for (int i = 0; i < subLayers; ++i) {
        w.bits(1, 1);
        w.bits(1, 1);
    }
    if (subLayers > 0) w.bits(0, 2 * (8 - subLayers));
    for (int i = 0; i < subLayers; ++i) {
        w.bits(0x123456789ABull, 44);
        w.bits(0x123456789ABull, 44);
        w.bits(90, 8);
    }
    w.ue(0);
    w.ue(1);
    w.ue(width);
    w.ue(height);
    w.bits(0, 1);  // conformance_window_flag
    return w.nal({0x42, 0x01});
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
    EXPECT_EQ(failureOf([] { checkReceivedAccessUnit(VideoCodec::H264, h264Sps({.widthMbs = 4096, .heightMapUnits = 4096})); }),
              kDecodedFrameEnvelope);
    EXPECT_EQ(failureOf([] { checkReceivedAccessUnit(VideoCodec::H264, h264Sps({.widthMbs = 257, .heightMapUnits = 1})); }),
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
