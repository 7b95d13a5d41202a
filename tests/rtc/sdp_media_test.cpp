// The media-section editing the peer relies on: the viewer narrows a browser's or host's offer to one
// codec without congestion-control feedback; the host builds its send-only H.264 section.
#include "rtc/Description.hpp"
#include "sdp_fixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using rtc::Description;
using Media = Description::Media;

namespace {

Media firstVideo(const char* sdp) {
  Description d(sdp, "offer");
  for (unsigned i = 0; i < d.mediaCount(); ++i) {
    auto entry = d.media(i);
    if (auto* media = std::get_if<Media*>(&entry); media && (*media)->type() == "video") return **media;
  }
  throw std::runtime_error("no video section");
}

bool contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

}  // namespace

TEST(SdpMedia, NarrowingChromiumOfferToOneH264CodecWithoutTransportCc) {
  Media video = firstVideo(sdp_fixtures::kChromiumRecvOnlyOffer);
  // Keep only H.264 with packetization mode 1 and constrained baseline 42e01f (payload type 108).
  for (int pt : video.payloadTypes()) {
    const Media::RtpMap* map = video.rtpMap(pt);
    if (!map) continue;  // already gone with the codec its retransmission belonged to
    bool keep = map->format == "H264" && !map->fmtps.empty() && contains(map->fmtps[0], "profile-level-id=42e01f") &&
                contains(map->fmtps[0], "packetization-mode=1");
    if (!keep) video.removeRtpMap(pt);
  }
  // Retransmission types fail the test themselves; those bound to a removed codec went with it.
  EXPECT_EQ(video.payloadTypes(), std::vector<int>{108});
  EXPECT_EQ(video.rtpMap(109), nullptr);
  EXPECT_EQ(video.rtpMap(97), nullptr);

  video.rtpMap(108)->removeFeedback("transport-cc");
  EXPECT_EQ(video.rtpMap(108)->rtcpFbs, (std::vector<std::string>{"goog-remb", "ccm fir", "nack", "nack pli"}));
  for (int id : video.extIds())
    if (video.extMap(id)->uri == "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01" ||
        video.extMap(id)->uri == "urn:ietf:params:rtp-hdrext:transport-wide-cc-02")
      video.removeExtMap(id);
  EXPECT_EQ(video.extIds().size(), 10u);
  EXPECT_EQ(video.extMap(4), nullptr);

  std::string section = video.generateSdp();
  EXPECT_EQ(section.rfind("m=video 9 UDP/TLS/RTP/SAVPF 108\r\n", 0), 0u);
  EXPECT_FALSE(contains(section, "transport-cc"));
  EXPECT_FALSE(contains(section, "transport-wide-cc"));
  EXPECT_FALSE(contains(section, "a=rtpmap:96 "));
  EXPECT_FALSE(contains(section, "a=fmtp:109"));
  EXPECT_TRUE(contains(section, "a=fmtp:108 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f\r\n"));
  EXPECT_TRUE(contains(section, "a=rtcp-xr:rcvr-rtt=all\r\n"));  // untouched attributes remain

  // The answering side's copy mirrors the direction.
  Media answer = video.reciprocate();
  EXPECT_EQ(answer.direction(), Description::Direction::SendOnly);
}

TEST(SdpMedia, RemovingTheRetransmissionFirstLeavesItsCodec) {
  Media video = firstVideo(sdp_fixtures::kAiortcSendRecvOffer);
  video.removeRtpMap(98);  // rtx for VP8 97
  EXPECT_EQ(video.payloadTypes(), (std::vector<int>{97, 99, 100, 101, 102}));
  video.removeFormat("h264");  // both H.264 types and their RTX
  EXPECT_EQ(video.payloadTypes(), std::vector<int>{97});
  video.removeRtpMap(55);  // absent: nothing happens
  EXPECT_EQ(video.payloadTypes(), std::vector<int>{97});
}

TEST(SdpMedia, FeedbackRemovalMatchesWholeTypes) {
  Media::RtpMap map(96);
  for (const char* fb : {"nack", "nack pli", "nackx", "ccm fir", "transport-cc"}) map.addFeedback(fb);
  map.removeFeedback("nack");
  EXPECT_EQ(map.rtcpFbs, (std::vector<std::string>{"nackx", "ccm fir", "transport-cc"}));
  map.removeFeedback("ccm");
  EXPECT_EQ(map.rtcpFbs, (std::vector<std::string>{"nackx", "transport-cc"}));
  map.removeFeedback("transport");
  EXPECT_EQ(map.rtcpFbs.size(), 2u) << "a prefix of a type is not that type";
  EXPECT_THROW(map.addFeedback("nack\r\na=inject"), std::invalid_argument);
}

TEST(SdpMedia, HostVideoSectionWithH264SsrcAndBitrate) {
  Description::Video video("video", Description::Direction::SendOnly);
  video.addH264Codec(102, std::string("profile-level-id=42e034;packetization-mode=1;level-asymmetry-allowed=1"));
  video.addSSRC(1, "murel-screen", "murel-desktop", "murel-screen");
  video.setBitrate(20001);
  EXPECT_EQ(video.payloadTypes(), std::vector<int>{102});
  const auto* map = video.rtpMap(102);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->format, "H264");
  EXPECT_EQ(map->clockRate, 90000);
  EXPECT_EQ(map->fmtps, std::vector<std::string>{"profile-level-id=42e034;packetization-mode=1;level-asymmetry-allowed=1"});
  EXPECT_EQ(map->rtcpFbs, (std::vector<std::string>{"nack", "nack pli", "ccm fir"}));
  EXPECT_EQ(video.getSSRCs(), std::vector<uint32_t>{1});
  EXPECT_EQ(video.getCNameForSsrc(1), "murel-screen");
  EXPECT_EQ(video.ssrcAttributes(1), (std::vector<std::string>{"cname:murel-screen", "msid:murel-desktop murel-screen"}));
  EXPECT_EQ(video.bitrate(), 20001);

  // Default profile and the other codec helpers.
  Description::Video other("v2");
  other.addH264Codec(96);
  other.addH265Codec(97);
  other.addVideoCodec(98, "AV1");
  EXPECT_EQ(other.rtpMap(96)->fmtps,
            std::vector<std::string>{"profile-level-id=42e01f;packetization-mode=1;level-asymmetry-allowed=1"});
  EXPECT_EQ(other.rtpMap(97)->format, "H265");
  EXPECT_TRUE(other.rtpMap(98)->fmtps.empty());
  EXPECT_EQ(other.direction(), Description::Direction::SendOnly);

  // Replacing a payload type keeps its place; SSRC attributes are replaced too.
  Media::RtpMap replacement(102);
  replacement.format = "H264";
  replacement.clockRate = 90000;
  video.addRtpMap(replacement);
  EXPECT_EQ(video.payloadTypes(), std::vector<int>{102});
  EXPECT_TRUE(video.rtpMap(102)->fmtps.empty());
  video.addSSRC(1, "other");
  EXPECT_EQ(video.ssrcAttributes(1), std::vector<std::string>{"cname:other"});
  video.removeSSRC(1);
  EXPECT_FALSE(video.hasSSRC(1));

  EXPECT_THROW(video.addRtpMap(Media::RtpMap(128)), std::invalid_argument);
  EXPECT_THROW(Media::RtpMap(-1), std::invalid_argument);
  EXPECT_THROW(video.addSSRC(2, std::string("two words")), std::invalid_argument);
  for (uint32_t s = 10; video.getSSRCs().size() < rtc::SDP_MAX_SSRCS; ++s) video.addSSRC(s, "c");
  EXPECT_THROW(video.addSSRC(999, "c"), std::length_error);
}

TEST(SdpMedia, ExtensionMaps) {
  Description::Video video("0");
  video.addExtMap({3, "urn:ietf:params:rtp-hdrext:sdes:mid"});
  video.addExtMap({5, "urn:3gpp:video-orientation", Description::Direction::SendOnly});
  video.addExtMap({3, "urn:ietf:params:rtp-hdrext:toffset"});  // same id replaces
  EXPECT_EQ(video.extIds(), (std::vector<int>{3, 5}));
  EXPECT_EQ(video.extMap(3)->uri, "urn:ietf:params:rtp-hdrext:toffset");
  video.addH264Codec(96);
  std::string section = video.generateSdp("\n");
  EXPECT_TRUE(contains(section, "a=extmap:3 urn:ietf:params:rtp-hdrext:toffset\n"));
  EXPECT_TRUE(contains(section, "a=extmap:5/sendonly urn:3gpp:video-orientation\n"));
  video.removeExtMap(3);
  video.removeExtMap(42);
  EXPECT_EQ(video.extIds(), std::vector<int>{5});

  Description::Entry::ExtMap parsed(std::string_view("7/recvonly urn:x:y attr1 attr2"));
  EXPECT_EQ(parsed.id, 7);
  EXPECT_EQ(parsed.direction, Description::Direction::RecvOnly);
  EXPECT_EQ(parsed.uri, "urn:x:y");
  EXPECT_EQ(parsed.attributes, "attr1 attr2");
  for (const char* bad : {"0 urn:x", "15 urn:x", "256 urn:x", "1/sideways urn:x", "x urn:x", "1"})
    EXPECT_THROW(Description::Entry::ExtMap(std::string_view(bad)), std::invalid_argument) << bad;
  EXPECT_THROW(video.addExtMap({16, "has space"}), std::invalid_argument);
}

TEST(SdpMedia, AttributesOfSections) {
  Description::Video video("0");
  EXPECT_EQ(video.attributes(), std::vector<std::string>{"rtcp-mux"});
  video.addAttribute("rtcp-rsize");
  video.addAttribute("x-custom:1 2 3");
  video.removeAttribute("x-custom");
  EXPECT_EQ(video.attributes(), (std::vector<std::string>{"rtcp-mux", "rtcp-rsize"}));
  EXPECT_THROW(video.addAttribute("bad\nline"), std::invalid_argument);
  EXPECT_THROW(video.addAttribute(std::string("nul\0byte", 8)), std::invalid_argument);
  // Attributes the model writes itself would come out twice and the text would not read back.
  for (const char* owned : {"mid:x", "sendonly", "inactive", "rtpmap:96 VP8/90000", "fmtp:96 a=b", "rtcp-fb:96 nack",
                            "ssrc:1 cname:x", "extmap:1 urn:x", "ice-ufrag:abcd", "fingerprint:sha-256 00",
                            "setup:active", "candidate:1 1 udp 1 1.2.3.4 5 typ host", "end-of-candidates"})
    EXPECT_THROW(video.addAttribute(owned), std::invalid_argument) << owned;
  video.addAttribute("rtcp-fb:* nack");
  video.removeAttribute("rtcp-fb");
  video.setDirection(Description::Direction::Inactive);
  video.addVP8Codec(100);
  EXPECT_TRUE(contains(video.generateSdp(), "a=inactive\r\n"));

  // A section whose every codec was removed cannot be used and is written rejected.
  video.removeRtpMap(100);
  EXPECT_EQ(video.generateSdp().rfind("m=video 0 UDP/TLS/RTP/SAVPF 0\r\n", 0), 0u);
}

TEST(SdpMedia, ApplicationSection) {
  Description::Application app("data");
  EXPECT_EQ(app.sctpPort(), rtc::DEFAULT_SCTP_PORT);
  EXPECT_FALSE(app.maxMessageSize());
  app.setMaxMessageSize(4096);
  app.hintSctpPort(6000);  // already set: unchanged
  EXPECT_EQ(app.sctpPort(), 5000);
  EXPECT_EQ(app.description(), "UDP/DTLS/SCTP webrtc-datachannel");
  EXPECT_FALSE(app.reciprocate().maxMessageSize());
  EXPECT_EQ(app.reciprocate().mid(), "data");
  std::string section = app.generateSdp("\r\n", "::", 9);
  EXPECT_TRUE(contains(section, "c=IN IP6 ::\r\n"));
  EXPECT_TRUE(contains(section, "a=max-message-size:4096\r\n"));
}

TEST(SdpMedia, ChromiumSendingSectionKeepsSsrcGroupsAndMsid) {
  Media video = firstVideo(sdp_fixtures::kChromiumSendRecvOffer);
  auto ssrcs = video.getSSRCs();
  ASSERT_EQ(ssrcs.size(), 2u);
  EXPECT_EQ(video.ssrcAttributes(ssrcs[0]).size(), 2u);
  std::string section = video.generateSdp();
  EXPECT_TRUE(contains(section, "a=ssrc-group:FID " + std::to_string(ssrcs[0]) + " " + std::to_string(ssrcs[1])));
  EXPECT_LT(section.find("a=ssrc-group:"), section.find("a=ssrc:"));
  Media answer = video.reciprocate();
  EXPECT_EQ(answer.direction(), Description::Direction::SendRecv);
  EXPECT_TRUE(answer.getSSRCs().empty());
  EXPECT_FALSE(contains(answer.generateSdp(), "a=msid:"));
  EXPECT_FALSE(contains(answer.generateSdp(), "a=ssrc-group:"));
}
