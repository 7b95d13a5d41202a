// Malformed and oversized descriptions: each is refused with std::invalid_argument naming the problem,
// before it can grow memory; none crashes.
#include "rtc/Description.hpp"
#include "sdp_fixtures.hpp"

#include <gtest/gtest.h>

#include <string>

using rtc::Description;

namespace {

const std::string kHead = "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n";
const std::string kVideo = "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:0\r\na=rtpmap:96 H264/90000\r\n";
const std::string kBareVideo = "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:0\r\n";

// The message of the std::invalid_argument that parsing `sdp` throws; "" when it parses.
std::string rejection(const std::string& sdp) {
  try {
    Description d(sdp, "offer");
    (void)d.generateSdp();
    return "";
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
}

}  // namespace

TEST(SdpLimits, MalformedDescriptionsAreRefusedWithTheirReason) {
  struct Case {
    std::string sdp;
    const char* reason;
  };
  const Case cases[] = {
      {"v=1\r\n", "v=0"},
      {"o=- 1 1 IN IP4 0.0.0.0\r\nv=0\r\n", "v=0"},
      {"\r\n\r\n", "empty"},
      {"v=0\r\ns=-\r\n", "o="},
      {"v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\n", "s="},
      {kHead + "v=0\r\n", "second v="},
      {kHead + "o=- 1 1 IN IP4 0.0.0.0\r\n", "o="},
      {"v=0\r\no=- 1 1\r\ns=-\r\n", "o= line"},
      {kHead + "garbage\r\n", "<type>=<value>"},
      {kHead + "=x\r\n", "<type>=<value>"},
      {kHead + "x=unknown\r\n", "unknown line type"},
      {kHead + "a=\r\n", "empty attribute"},
      {kHead + "a=candidate:1 1 udp 1 1.2.3.4 5 typ host\r\n", "outside a media section"},
      {kHead + "m=video 9 UDP/TLS/RTP/SAVPF\r\n", "m= line"},
      {kHead + "m=video x UDP/TLS/RTP/SAVPF 96\r\n", "m= port"},
      {kHead + "m=video 70000 UDP/TLS/RTP/SAVPF 96\r\n", "m= port"},
      {kHead + "m=video 9 UDP/TLS/RTP/SAVPF 128\r\n", "payload type"},
      {kHead + "m=video 9 UDP/TLS/RTP/SAVPF -1\r\n", "payload type"},
      {kHead + "m=video 9 UDP/TLS/RTP/SAVPF 96 96\r\n", "twice"},
      {kHead + "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nt=0 0\r\n", "timing"},
      {kHead + "m=video 9 UDP/TLS/RTP/SAVPF 96\r\ns=-\r\n", "s="},
      {kHead + kVideo + "a=rtpmap:96 H264/90000\r\n", "second rtpmap"},
      {kHead + kBareVideo + "a=rtpmap:96 H264\r\n", "clock rate"},
      {kHead + kBareVideo + "a=rtpmap:96 H264/0\r\n", "clock rate"},
      {kHead + kBareVideo + "a=rtpmap:96 /90000\r\n", "clock rate"},
      {kHead + kBareVideo + "a=rtpmap:96 H264/90000 extra\r\n", "fields"},
      {kHead + kVideo + "a=fmtp:96\r\n", "without a value"},
      {kHead + kVideo + "a=fmtp:x a=b\r\n", "payload type"},
      {kHead + kVideo + "a=extmap:0 urn:x\r\n", "extmap id"},
      {kHead + kVideo + "a=extmap:1 urn:x\r\na=extmap:1 urn:y\r\n", "duplicate extmap"},
      {kHead + kVideo + "a=ssrc:x cname:y\r\n", "ssrc"},
      {kHead + kVideo + "a=ssrc:4294967296 cname:y\r\n", "ssrc"},
      {kHead + kVideo + "a=ssrc:1\r\n", "ssrc without"},
      {kHead + kVideo + "b=AS:lots\r\n", "b=AS"},
      {kHead + kVideo + "b=nocolon\r\n", "b= line"},
      {kHead + kVideo + "a=mid:1\r\n", "second mid"},
      {kHead + kVideo + "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:0\r\n", "duplicate mid"},
      {kHead + "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:\r\n", "bad mid"},
      {kHead + "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:0\r\n", "index is taken"},
      {kHead + "a=group:BUNDLE 0 7\r\n" + kVideo, "unknown mid"},
      {kHead + "a=group:BUNDLE 0\r\na=group:BUNDLE 0\r\n" + kVideo, "second BUNDLE"},
      {kHead + kVideo + "a=ice-ufrag:abc\r\na=ice-pwd:0123456789abcdefghijkl\r\n", "ice-ufrag"},
      {kHead + kVideo + "a=ice-ufrag:abcd\r\na=ice-pwd:short\r\n", "ice-pwd"},
      {kHead + kVideo + "a=ice-ufrag:ab;d\r\na=ice-pwd:0123456789abcdefghijkl\r\n", "ice-ufrag"},
      {kHead + kVideo + "a=ice-ufrag:abcd\r\n", "without ice-pwd"},
      {kHead + kVideo + "a=fingerprint:sha-256 AB:CD\r\n", "fingerprint"},
      {kHead + kVideo + "a=fingerprint:sha-256\r\n", "fingerprint"},
      {kHead + kVideo + "a=fingerprint:md5 00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF\r\n", "supported hash"},
      {kHead + kVideo + "a=setup:sideways\r\n", "setup"},
      {kHead + kVideo + "a=candidate:1 1 udp 1 1.2.3.4 5 typ\r\n", "candidate"},
      {kHead + kVideo + "a=candidate:1 1 udp x 1.2.3.4 5 typ host\r\n", "priority"},
      {kHead + kVideo + "a=candidate:1 1 udp 1 1.2.3.4 70000 typ host\r\n", "port"},
      {kHead + kVideo + "a=candidate:1 1 udp 1 bad!host 5 typ host\r\n", "address"},
      {kHead + std::string("a=x\0y\r\n", 7), "control character"},
      {kHead + "a=x\ry\r\n", "control character"},
      {kHead + "a=x\x7f\r\n", "control character"},
      {kHead + "m=application 9 DTLS/SCTP 0\r\n", "SCTP port"},
      {kHead + "m=application 9 DTLS/SCTP 5000 5001\r\n", "exactly one port"},
      {kHead + "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=sctp-port:0\r\n", "sctp-port"},
      {kHead + "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=max-message-size:-1\r\n", "max-message-size"},
  };
  for (const auto& c : cases) {
    std::string message = rejection(c.sdp);
    EXPECT_NE(message, "") << "accepted:\n" << c.sdp;
    EXPECT_NE(message.find(c.reason), std::string::npos) << "message \"" << message << "\" lacks \"" << c.reason << "\"";
  }
  // The message locates the offending line.
  EXPECT_NE(rejection(kHead + kVideo + "a=ssrc:x cname:y\r\n").find("(line 8)"), std::string::npos);
  EXPECT_EQ(rejection(kHead + kVideo + "a=candidate:1 1 udp 1 1.2.3.4 5 typ\r\n"),
            "Invalid SDP: Invalid ICE candidate: too few fields (line 8)");
}

TEST(SdpLimits, EdgesThatAreAccepted) {
  // Blank lines, a missing final line end, LF only, a huge max-message-size and 0 (no limit).
  EXPECT_EQ(rejection(kHead + "\r\n" + kVideo + "\r\n\r\n"), "");
  EXPECT_EQ(rejection("v=0\no=- 1 1 IN IP4 0.0.0.0\ns=-\nm=video 9 UDP/TLS/RTP/SAVPF 96"), "");
  Description big(kHead + "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=max-message-size:18446744073709551615\r\n", "offer");
  EXPECT_EQ(big.application()->maxMessageSize(), SIZE_MAX);
  Description zero(kHead + "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=max-message-size:0\r\n", "offer");
  EXPECT_EQ(zero.application()->maxMessageSize(), 0u);
  // Attributes for payload types the m= line does not list are dropped; wildcard feedback is kept.
  Description d(kHead + kVideo + "a=rtpmap:97 VP8/90000\r\na=fmtp:97 x=1\r\na=rtcp-fb:* nack\r\n", "offer");
  std::string out = d.generateSdp();
  EXPECT_EQ(out.find(":97 "), std::string::npos);
  EXPECT_NE(out.find("a=rtcp-fb:* nack\r\n"), std::string::npos);
  // Port 0 marks a rejected section and is kept.
  Description rejected(kHead + "m=video 0 UDP/TLS/RTP/SAVPF 96\r\na=mid:0\r\n", "answer");
  EXPECT_TRUE(std::get<Description::Media*>(rejected.media(0))->isRemoved());
  EXPECT_EQ(rejected.generateSdp().find("m=video 0 "), kHead.size());
  // Unsupported hash next to a supported one: the supported one is used.
  Description two(kHead + kVideo + "a=fingerprint:md5 00:11\r\n" +
                      "a=fingerprint:sha-1 00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33\r\n",
                  "offer");
  ASSERT_TRUE(two.fingerprint());
  EXPECT_EQ(two.fingerprint()->algorithm, rtc::CertificateFingerprint::Algorithm::Sha1);
}

TEST(SdpLimits, SizeLineAndCountBoundsAreEnforced) {
  // Total size: the cap is above the application's own 98304-byte limit.
  std::string filler = kHead + kVideo;
  while (filler.size() < 98304) filler += "a=x-pad:" + std::string(100, 'p') + "\r\n";
  EXPECT_EQ(rejection(filler), "") << "an SDP the application accepts must parse";
  std::string huge = kHead + kVideo + "a=x:" + std::string(rtc::SDP_MAX_SIZE, 'x') + "\r\n";
  EXPECT_NE(rejection(huge).find("larger than"), std::string::npos);

  std::string longLine = kHead + kVideo + "a=x:" + std::string(rtc::SDP_MAX_LINE_LENGTH, 'x') + "\r\n";
  EXPECT_NE(rejection(longLine).find("line longer"), std::string::npos);
  std::string okLine = kHead + kVideo + "a=" + std::string(rtc::SDP_MAX_LINE_LENGTH - 2, 'x') + "\r\n";
  EXPECT_EQ(rejection(okLine), "");

  std::string manyLines = kHead + kVideo;
  for (size_t i = 0; i < rtc::SDP_MAX_LINES; ++i) manyLines += "a=y\n";
  EXPECT_NE(rejection(manyLines).find("lines"), std::string::npos);
  std::string manyEmpty = kHead + kVideo + std::string(rtc::SDP_MAX_LINES, '\n');  // blank lines count too
  EXPECT_NE(rejection(manyEmpty).find("lines"), std::string::npos);

  std::string media = kHead;
  for (size_t i = 0; i < rtc::SDP_MAX_MEDIA; ++i)
    media += "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:" + std::to_string(i) + "\r\n";
  EXPECT_EQ(rejection(media), "");
  EXPECT_NE(rejection(media + "m=video 9 UDP/TLS/RTP/SAVPF 96\r\n").find("media sections"), std::string::npos);

  std::string candidates = kHead + kVideo;
  for (size_t i = 0; i < rtc::SDP_MAX_CANDIDATES; ++i)
    candidates += "a=candidate:" + std::to_string(i) + " 1 udp 1 10.0.0.1 " + std::to_string(1000 + i) + " typ host\r\n";
  Description full(candidates, "offer");
  EXPECT_EQ(full.candidates().size(), rtc::SDP_MAX_CANDIDATES);
  EXPECT_THROW(full.addCandidate(rtc::Candidate("candidate:x 1 udp 1 10.0.0.2 1 typ host")), std::length_error);
  EXPECT_NE(rejection(candidates + "a=candidate:x 1 udp 1 10.0.0.2 1 typ host\r\n").find("candidates"), std::string::npos);

  std::string ssrcs = kHead + kVideo;
  for (size_t i = 0; i <= rtc::SDP_MAX_SSRCS; ++i) ssrcs += "a=ssrc:" + std::to_string(i + 1) + " cname:c\r\n";
  EXPECT_NE(rejection(ssrcs).find("SSRCs"), std::string::npos);

  std::string fmtps = kHead + kVideo;
  for (size_t i = 0; i <= rtc::SDP_MAX_PARAMETERS; ++i) fmtps += "a=fmtp:96 x=" + std::to_string(i) + "\r\n";
  EXPECT_NE(rejection(fmtps).find("too many fmtp"), std::string::npos);

  std::string wide = kHead + "m=video 9 UDP/TLS/RTP/SAVPF";
  for (int pt = 0; pt < 300; ++pt) wide += " " + std::to_string(pt % 128);
  EXPECT_NE(rejection(wide + "\r\n"), "");
}

TEST(SdpLimits, EveryTruncationOfARealOfferParsesOrThrowsInvalidArgument) {
  std::string offer = sdp_fixtures::kAiortcSendRecvOffer;
  for (size_t n = 0; n <= offer.size(); n += 7) {
    try {
      Description d(offer.substr(0, n), "offer");
      Description again(d.generateSdp(), "offer");
      EXPECT_EQ(again.generateSdp(), d.generateSdp()) << "at " << n;
    } catch (const std::invalid_argument&) {
    }
  }
}
