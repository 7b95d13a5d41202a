// The host's video line and the viewer's codec choice: level table, the H.264 and HEVC format
// tests, selection order, and what the viewer strips from its copy of the offer.

#include <gtest/gtest.h>

#include "PeerTestSupport.hpp"
#include "peer/VideoCodecs.hpp"
#include "protocol/Wire.hpp"

#include "ErrorOf.hpp"

namespace murel {
namespace {

using namespace peertest;
using RtpMap = rtc::Description::Media::RtpMap;

using murel::test::errorOf;

RtpMap h264(std::vector<std::string> fmtps) {
    RtpMap map("102 H264/90000");
    map.fmtps = std::move(fmtps);
    return map;
}

RtpMap hevc(std::vector<std::string> fmtps, int clock = 90000) {
    RtpMap map("96 H265/" + std::to_string(clock));
    map.fmtps = std::move(fmtps);
    return map;
}

TEST(HostVideoLine, LevelTable) {
    EXPECT_EQ(h264ProfileLevelId(41), "42e029");
    EXPECT_EQ(h264ProfileLevelId(42), "42e02a");
    EXPECT_EQ(h264ProfileLevelId(50), "42e032");
    EXPECT_EQ(h264ProfileLevelId(51), "42e033");
    EXPECT_EQ(h264ProfileLevelId(52), "42e034");
    for (int level : {40, 53, 0, -41, 31})
        EXPECT_EQ(errorOf([&] { h264ProfileLevelId(level); }), "Unsupported H.264 level") << level;
}

TEST(HostVideoLine, MediaSection) {
    const std::string section = hostVideoMedia(41, 20000000).generateSdp("\n");
    EXPECT_NE(section.find("m=video 9 UDP/TLS/RTP/SAVPF 102\n"), std::string::npos) << section;
    EXPECT_NE(section.find("a=mid:video\n"), std::string::npos);
    EXPECT_NE(section.find("a=sendonly\n"), std::string::npos);
    EXPECT_NE(section.find("a=rtpmap:102 H264/90000\n"), std::string::npos);
    EXPECT_NE(section.find("a=fmtp:102 profile-level-id=42e029;packetization-mode=1;level-asymmetry-allowed=1\n"),
              std::string::npos);
    EXPECT_NE(section.find("a=ssrc:1 cname:murel-screen\n"), std::string::npos);
    EXPECT_NE(section.find("a=ssrc:1 msid:murel-desktop murel-screen\n"), std::string::npos);
    EXPECT_NE(section.find("b=AS:20000\n"), std::string::npos);
    EXPECT_NE(hostVideoMedia(52, 20000001).generateSdp("\n").find("b=AS:20001\n"), std::string::npos);
    EXPECT_NE(hostVideoMedia(52, 100000).generateSdp("\n").find("b=AS:100\n"), std::string::npos);
}

TEST(H264Test, LevelsUpToFivePointTwo) {
    EXPECT_TRUE(passesH264Test(h264({"profile-level-id=42e034"})));
    EXPECT_TRUE(passesH264Test(h264({})));
    EXPECT_TRUE(passesH264Test(h264({"packetization-mode=1;level-asymmetry-allowed=1"})));
    EXPECT_TRUE(passesH264Test(h264({" PROFILE-LEVEL-ID = 42E01F ;packetization-mode=0"})));
    EXPECT_TRUE(passesH264Test(h264({"profile-level-id=64000a"})));  // level 1.0, profile not examined
    EXPECT_FALSE(passesH264Test(h264({"profile-level-id=42e035"})));  // 5.3
    EXPECT_FALSE(passesH264Test(h264({"profile-level-id=64003c"})));  // 6.0
    EXPECT_TRUE(passesH264Test(h264({"profile-level-id=42e01e"})));   // 3.0
    EXPECT_FALSE(passesH264Test(h264({"profile-level-id=42e009"})));  // level_idc 9 is not listed
}

TEST(H264Test, MalformedProfiles) {
    EXPECT_FALSE(passesH264Test(h264({"profile-level-id=42e0"})));
    EXPECT_FALSE(passesH264Test(h264({"profile-level-id=42e01f", "profile-level-id=42e01f"})));
    EXPECT_FALSE(passesH264Test(h264({"profile-level-id=42e01f;profile-level-id=42e01f"})));
    EXPECT_FALSE(passesH264Test(h264({"profile-level-id"})));
    EXPECT_FALSE(passesH264Test(h264({"profile-level-id=42g01f"})));
    RtpMap lower("102 h264/90000");
    EXPECT_FALSE(passesH264Test(lower)) << "the format name is matched exactly";
}

TEST(HevcTest, MainProfileUpToLevelSixPointOne) {
    EXPECT_TRUE(passesHevcTest(hevc({"profile-id=1;tier-flag=0;level-id=93;tx-mode=SRST"})));
    EXPECT_TRUE(passesHevcTest(hevc({})));
    EXPECT_TRUE(passesHevcTest(hevc({"level-id=183"})));
    EXPECT_TRUE(passesHevcTest(hevc({"tier-flag=1"})));
    EXPECT_TRUE(passesHevcTest(hevc({"profile-space=0;sprop-max-don-diff=0"})));
    EXPECT_FALSE(passesHevcTest(hevc({"level-id=180"})));
    EXPECT_FALSE(passesHevcTest(hevc({"level-id=186"})));
    EXPECT_FALSE(passesHevcTest(hevc({"profile-id=2"})));
    EXPECT_FALSE(passesHevcTest(hevc({"tier-flag=2"})));
    EXPECT_FALSE(passesHevcTest(hevc({"tx-mode=MRST"})));
    EXPECT_FALSE(passesHevcTest(hevc({"sprop-max-don-diff=1"})));
    EXPECT_FALSE(passesHevcTest(hevc({"profile-space=1"})));
    EXPECT_FALSE(passesHevcTest(hevc({"profile-id=1", "profile-id=1"})));
    EXPECT_FALSE(passesHevcTest(hevc({"level-id=+93"})));
    EXPECT_FALSE(passesHevcTest(hevc({"level-id=4294967389"})));  // 93 beyond 32 bits
    EXPECT_FALSE(passesHevcTest(hevc({"level-id="})));
    EXPECT_FALSE(passesHevcTest(hevc({}, 48000)));
    EXPECT_FALSE(passesHevcTest(h264({})));
}

rtc::Description::Media offeredVideo(const std::string& lines) {
    rtc::Description description(sdpText({"video"}, false, {}, lines), "offer");
    return *std::get<rtc::Description::Media*>(description.media(0));
}

const std::string kHevcThenH264 =
    "m=video 9 UDP/TLS/RTP/SAVPF 96 97 102 103 104\r\nc=IN IP4 0.0.0.0\r\na=rtcp-mux\r\na=sendonly\r\n"
    "a=extmap:3 http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01\r\n"
    "a=extmap:4 urn:ietf:params:rtp-hdrext:sdes:mid\r\n"
    "a=extmap:5 urn:ietf:params:rtp-hdrext:transport-wide-cc-02\r\n"
    "a=rtpmap:96 H265/90000\r\na=fmtp:96 profile-id=1;level-id=120\r\na=rtcp-fb:96 transport-cc\r\n"
    "a=rtcp-fb:96 nack pli\r\n"
    "a=rtpmap:97 rtx/90000\r\na=fmtp:97 apt=96\r\n"
    "a=rtpmap:102 H264/90000\r\na=fmtp:102 profile-level-id=42e01f;packetization-mode=1\r\n"
    "a=rtcp-fb:102 transport-cc\r\na=rtcp-fb:102 nack\r\na=rtcp-fb:102 goog-remb\r\n"
    "a=rtpmap:103 rtx/90000\r\na=fmtp:103 apt=102\r\n"
    "a=rtpmap:104 VP8/90000\r\n";

TEST(SelectVideo, HevcFirstWhenAllowed) {
    auto selection = selectVideo(offeredVideo(kHevcThenH264), true);
    EXPECT_EQ(selection.codec, kCodecHevc);
    EXPECT_EQ(selection.media.payloadTypes(), std::vector<int>{96});
    const std::string section = selection.media.generateSdp("\n");
    EXPECT_EQ(section.find("transport-cc"), std::string::npos) << section;
    EXPECT_NE(section.find("a=rtcp-fb:96 nack pli"), std::string::npos);
    EXPECT_NE(section.find("sdes:mid"), std::string::npos);
}

TEST(SelectVideo, H264WithoutHevcPermission) {
    auto selection = selectVideo(offeredVideo(kHevcThenH264), false);
    EXPECT_EQ(selection.codec, kCodecH264);
    EXPECT_EQ(selection.media.payloadTypes(), std::vector<int>{102});
    const std::string section = selection.media.generateSdp("\n");
    EXPECT_EQ(section.find("transport-cc"), std::string::npos) << section;
    EXPECT_EQ(section.find("transport-wide-cc"), std::string::npos);
    EXPECT_NE(section.find("a=rtcp-fb:102 goog-remb"), std::string::npos);
    EXPECT_NE(section.find("a=rtcp-fb:102 nack"), std::string::npos);
}

TEST(SelectVideo, EveryPassingH264PayloadTypeStays) {
    auto selection = selectVideo(
        offeredVideo("m=video 9 UDP/TLS/RTP/SAVPF 104 102 106 108\r\nc=IN IP4 0.0.0.0\r\na=rtcp-mux\r\n"
                     "a=sendonly\r\na=rtpmap:104 VP8/90000\r\na=rtpmap:102 H264/90000\r\n"
                     "a=fmtp:102 profile-level-id=42001f\r\na=rtpmap:106 H264/90000\r\n"
                     "a=fmtp:106 profile-level-id=640035\r\na=rtpmap:108 H264/90000\r\n"),
        true);
    EXPECT_EQ(selection.codec, kCodecH264);
    EXPECT_EQ(selection.media.payloadTypes(), (std::vector<int>{102, 108}));
}

TEST(SelectVideo, NothingUsable) {
    for (const std::string fmtp : {"profile-level-id=42e035", "profile-level-id=64003c"}) {
        const std::string lines = "m=video 9 UDP/TLS/RTP/SAVPF 102 104\r\nc=IN IP4 0.0.0.0\r\na=rtcp-mux\r\n"
                                  "a=sendonly\r\na=rtpmap:102 H264/90000\r\na=fmtp:102 " +
                                  fmtp + "\r\na=rtpmap:104 VP8/90000\r\n";
        EXPECT_EQ(errorOf([&] { selectVideo(offeredVideo(lines), true); }),
                  "Remote host did not offer a usable video codec");
    }
    // HEVC only, not allowed.
    const std::string hevcOnly = "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\na=rtcp-mux\r\n"
                                 "a=sendonly\r\na=rtpmap:96 H265/90000\r\n";
    EXPECT_EQ(errorOf([&] { selectVideo(offeredVideo(hevcOnly), false); }),
              "Remote host did not offer a usable video codec");
    EXPECT_EQ(selectVideo(offeredVideo(hevcOnly), true).codec, kCodecHevc);
}

}  // namespace
}  // namespace murel
