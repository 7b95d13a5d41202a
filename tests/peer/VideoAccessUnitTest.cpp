// Which access units count as keyframes: the H.264 parameter-set order and the HEVC analysis.

#include <gtest/gtest.h>

#include "PeerTestSupport.hpp"
#include "peer/VideoAccessUnit.hpp"

namespace murel {
namespace {

using namespace peertest;

TEST(H264Keyframe, ParameterSetsThenIdr) {
    EXPECT_TRUE(isH264Keyframe(h264Keyframe()));
    // SEI and an access unit delimiter in between are passed over; 3-byte start codes count too.
    EXPECT_TRUE(isH264Keyframe(rtptest::annexB({h264Nal(9, 2), h264Nal(7), h264Nal(8), h264Nal(6), h264Nal(5)},
                                               {false, true})));
    EXPECT_TRUE(isH264Keyframe(annexB4({h264Nal(7), h264Nal(8), h264Nal(5), h264Nal(5)})));
}

TEST(H264Keyframe, WhatIsNot) {
    EXPECT_FALSE(isH264Keyframe(annexB4({h264Nal(8), h264Nal(7), h264Nal(5)})));            // PPS before SPS
    EXPECT_FALSE(isH264Keyframe(annexB4({h264Nal(7), h264Nal(8), h264Nal(5), h264Nal(1)})));  // then a P slice
    EXPECT_FALSE(isH264Keyframe(annexB4({h264Nal(7), h264Nal(5)})));                         // no PPS
    EXPECT_FALSE(isH264Keyframe(annexB4({h264Nal(7), h264Nal(8), h264Nal(5), h264Nal(7)})));  // SPS after IDR
    EXPECT_FALSE(isH264Keyframe(annexB4({h264Nal(7), h264Nal(8)})));                         // no picture
    EXPECT_FALSE(isH264Keyframe(annexB4({h264Nal(7), h264Nal(8), h264Nal(24), h264Nal(5)})));  // reserved type
    EXPECT_FALSE(isH264Keyframe(annexB4({h264Nal(7), h264Nal(8), h264Nal(5, 1)})));           // one-byte unit
    binary forbidden = h264Nal(5);
    forbidden[0] |= std::byte{0x80};
    EXPECT_FALSE(isH264Keyframe(annexB4({h264Nal(7), h264Nal(8), forbidden})));
    binary leading = h264Keyframe();
    leading.insert(leading.begin(), std::byte{0x01});
    EXPECT_FALSE(isH264Keyframe(leading));
    binary zeros = h264Keyframe();
    zeros.insert(zeros.begin(), 3, std::byte{0});
    EXPECT_TRUE(isH264Keyframe(zeros)) << "leading zero bytes are allowed";
    EXPECT_FALSE(isH264Keyframe(h264Nal(5)));  // no start code at all
    EXPECT_FALSE(isH264Keyframe({}));
}

TEST(H264Idr, FoundAnywhere) {
    EXPECT_TRUE(containsH264Idr(annexB4({h264Nal(5)})));
    EXPECT_TRUE(containsH264Idr(annexB4({h264Nal(9, 2), h264Nal(6), h264Nal(5)})));
    EXPECT_FALSE(containsH264Idr(h264Delta()));
    EXPECT_FALSE(containsH264Idr(annexB4({h264Nal(7), h264Nal(8)})));
}

TEST(HevcAccessUnitAnalysis, IrapWithParameterSetsIsAKeyframe) {
    for (uint8_t irap : {16, 19, 20, 21}) {
        auto unit = analyseHevcAccessUnit(annexB4({hevcNal(32), hevcNal(33), hevcNal(34), hevcNal(irap)}));
        EXPECT_TRUE(unit.valid && unit.keyframe && !unit.hasRasl) << int(irap);
    }
    // More slices of the same IRAP picture keep it a keyframe; SEI (39) passes.
    auto multi = analyseHevcAccessUnit(
        annexB4({hevcNal(32), hevcNal(33), hevcNal(34), hevcNal(39), hevcNal(19), hevcNal(19, 8, false)}));
    EXPECT_TRUE(multi.valid && multi.keyframe);
}

TEST(HevcAccessUnitAnalysis, WhatIsNotAKeyframe) {
    auto withoutFirstSlice = analyseHevcAccessUnit(annexB4({hevcNal(32), hevcNal(33), hevcNal(34), hevcNal(19, 8, false)}));
    EXPECT_TRUE(withoutFirstSlice.valid);
    EXPECT_FALSE(withoutFirstSlice.keyframe);
    auto withTrail = analyseHevcAccessUnit(annexB4({hevcNal(32), hevcNal(33), hevcNal(34), hevcNal(19), hevcNal(1)}));
    EXPECT_TRUE(withTrail.valid);
    EXPECT_FALSE(withTrail.keyframe);
    auto noVps = analyseHevcAccessUnit(annexB4({hevcNal(33), hevcNal(34), hevcNal(19)}));
    EXPECT_FALSE(noVps.valid) << "an SPS without a VPS makes the unit invalid";
    auto delta = analyseHevcAccessUnit(hevcDelta());
    EXPECT_TRUE(delta.valid);
    EXPECT_FALSE(delta.keyframe);
    auto rasl = analyseHevcAccessUnit(annexB4({hevcNal(32), hevcNal(33), hevcNal(34), hevcNal(21), hevcNal(9, 8, false)}));
    EXPECT_TRUE(rasl.valid && rasl.hasRasl);
    EXPECT_FALSE(rasl.keyframe);
}

TEST(HevcAccessUnitAnalysis, MalformedUnitsAreInvalid) {
    binary layer = hevcNal(1);
    layer[1] = std::byte{0x09};  // layer id 1
    binary temporalZero = hevcNal(1);
    temporalZero[1] = std::byte{0x00};
    binary forbidden = hevcNal(1);
    forbidden[0] |= std::byte{0x80};
    for (const auto& nal : {layer, temporalZero, forbidden, hevcNal(41), hevcNal(1, 2)})
        EXPECT_FALSE(analyseHevcAccessUnit(annexB4({nal})).valid);
    EXPECT_FALSE(analyseHevcAccessUnit(annexB4({hevcNal(1), hevcNal(32)})).valid) << "VPS after a slice";
    EXPECT_FALSE(analyseHevcAccessUnit(annexB4({hevcNal(32), hevcNal(33), hevcNal(34)})).valid) << "no slice";
    binary leading = hevcKeyframe();
    leading.insert(leading.begin(), std::byte{0x07});
    EXPECT_FALSE(analyseHevcAccessUnit(leading).valid);
}

}  // namespace
}  // namespace murel
