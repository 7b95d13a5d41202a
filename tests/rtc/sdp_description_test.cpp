// Parsing and generating whole session descriptions: real offers and answers from Chromium and aiortc,
// round trips, and descriptions built from scratch the way the peer builds them.
#include "rtc/Description.hpp"
#include "sdp_fixtures.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <variant>

using rtc::Candidate;
using rtc::CertificateFingerprint;
using rtc::Description;

namespace rtc {
void PrintTo(const Candidate& c, std::ostream* os) { *os << c.mid() << " " << c.candidate(); }
}  // namespace rtc

namespace {

std::string crlf(std::string_view lf) {
  std::string out;
  for (char c : lf) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

const Description::Media& mediaAt(const Description& d, unsigned i) {
  auto entry = d.media(i);
  EXPECT_TRUE(std::holds_alternative<const Description::Media*>(entry)) << "entry " << i << " is not media";
  return *std::get<const Description::Media*>(entry);
}

const Description::Application& applicationAt(const Description& d, unsigned i) {
  auto entry = d.media(i);
  EXPECT_TRUE(std::holds_alternative<const Description::Application*>(entry)) << "entry " << i << " is not application";
  return *std::get<const Description::Application*>(entry);
}

std::string midOf(const Description& d, unsigned i) {
  return std::visit([](auto* entry) { return entry->mid(); }, d.media(i));
}

size_t count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(SdpDescription, ChromiumOfferIsReadWithTransportMediaAndCandidates) {
  Description d(crlf(sdp_fixtures::kChromiumRecvOnlyOffer), "offer");
  EXPECT_EQ(d.type(), Description::Type::Offer);
  EXPECT_EQ(d.typeString(), "offer");
  EXPECT_EQ(d.role(), Description::Role::ActPass);
  ASSERT_EQ(d.mediaCount(), 2u);
  EXPECT_EQ(midOf(d, 0), "0");
  EXPECT_EQ(midOf(d, 1), "1");
  EXPECT_EQ(d.bundleMid(), "0");
  ASSERT_TRUE(d.iceUfrag() && d.icePwd());
  EXPECT_EQ(d.iceUfrag()->size(), 4u);
  EXPECT_GE(d.icePwd()->size(), 22u);
  EXPECT_EQ(d.iceOptions(), std::vector<std::string>{"trickle"});
  ASSERT_TRUE(d.fingerprint());
  EXPECT_EQ(d.fingerprint()->algorithm, CertificateFingerprint::Algorithm::Sha256);
  EXPECT_TRUE(d.fingerprint()->isValid());

  const auto& video = mediaAt(d, 0);
  EXPECT_EQ(video.type(), "video");
  EXPECT_EQ(video.direction(), Description::Direction::RecvOnly);
  EXPECT_EQ(video.payloadTypes().size(), 34u);
  EXPECT_EQ(video.payloadTypes().front(), 96);
  const auto* h264 = video.rtpMap(108);
  ASSERT_NE(h264, nullptr);
  EXPECT_EQ(h264->format, "H264");
  EXPECT_EQ(h264->clockRate, 90000);
  ASSERT_EQ(h264->fmtps.size(), 1u);
  EXPECT_EQ(h264->fmtps[0], "level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f");
  EXPECT_EQ(h264->rtcpFbs, (std::vector<std::string>{"goog-remb", "transport-cc", "ccm fir", "nack", "nack pli"}));
  EXPECT_EQ(video.extIds().size(), 11u);
  ASSERT_NE(video.extMap(4), nullptr);
  EXPECT_EQ(video.extMap(4)->uri, "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01");
  // Attributes without a model stay as written.
  auto attributes = video.attributes();
  EXPECT_NE(std::find(attributes.begin(), attributes.end(), "rtcp-xr:rcvr-rtt=all"), attributes.end());
  EXPECT_NE(std::find(attributes.begin(), attributes.end(), "rtcp:9 IN IP4 0.0.0.0"), attributes.end());

  const auto& app = applicationAt(d, 1);
  EXPECT_EQ(app.sctpPort(), 5000);
  EXPECT_EQ(app.maxMessageSize(), 262144u);
  EXPECT_TRUE(d.hasApplication());
  EXPECT_TRUE(d.hasAudioOrVideo());

  ASSERT_EQ(d.candidates().size(), 1u);
  const Candidate c = d.candidates()[0];
  EXPECT_EQ(c.mid(), "0");
  EXPECT_EQ(c.family(), Candidate::Family::Unresolved);  // mDNS name
  EXPECT_TRUE(c.address().ends_with(".local"));
}

TEST(SdpDescription, AiortcOfferWithOlderDataFormAndPerSectionCredentials) {
  Description d(crlf(sdp_fixtures::kAiortcSendRecvOffer), Description::Type::Offer);
  ASSERT_EQ(d.mediaCount(), 2u);
  // The bundle-tag section's credentials are the transport's.
  EXPECT_EQ(d.iceUfrag(), "NYr3");
  EXPECT_EQ(d.icePwd(), "93nCtzP8r7kcxqrB0C9Bek");
  const auto& video = mediaAt(d, 0);
  EXPECT_EQ(video.direction(), Description::Direction::SendRecv);
  EXPECT_EQ(video.getSSRCs(), (std::vector<uint32_t>{943199517u, 4258764662u}));
  EXPECT_EQ(video.getCNameForSsrc(943199517u), "75ed5f2d-6d26-4cea-afa0-d046bd235412");
  const auto& app = applicationAt(d, 1);
  EXPECT_EQ(app.protocol(), "DTLS/SCTP");
  EXPECT_EQ(app.sctpPort(), 5000);
  EXPECT_EQ(app.maxMessageSize(), 65536u);
  EXPECT_TRUE(d.ended());
  ASSERT_EQ(d.candidates().size(), 4u);
  EXPECT_EQ(d.candidates()[0].mid(), "0");
  EXPECT_EQ(d.candidates()[2].mid(), "1");
  EXPECT_EQ(d.candidates()[1].family(), Candidate::Family::Ipv6);

  // The older form is written back as it came (port as format, no a=sctp-port).
  std::string out = d.generateSdp();
  EXPECT_NE(out.find("m=application 9 DTLS/SCTP 5000\r\n"), std::string::npos);
  EXPECT_NE(out.find("a=sctpmap:5000 webrtc-datachannel 65535\r\n"), std::string::npos);
  EXPECT_EQ(out.find("a=sctp-port"), std::string::npos);
}

TEST(SdpDescription, AnswersFromBothPeersToOurOfferAreRead) {
  Description chromium(crlf(sdp_fixtures::kChromiumAnswerToOurs), "answer");
  EXPECT_EQ(chromium.role(), Description::Role::Active);
  EXPECT_EQ(chromium.bundleMid(), "video");
  const auto& video = mediaAt(chromium, 0);
  EXPECT_EQ(video.direction(), Description::Direction::RecvOnly);
  EXPECT_EQ(video.payloadTypes(), std::vector<int>{102});

  Description aiortc(sdp_fixtures::kAiortcAnswerToOurs, "answer");  // LF line ends as aiortc's text is kept here
  EXPECT_EQ(aiortc.role(), Description::Role::Active);
  EXPECT_EQ(applicationAt(aiortc, 1).maxMessageSize(), 65536u);
  EXPECT_EQ(aiortc.candidates().size(), 4u);
  EXPECT_TRUE(aiortc.ended());
}

TEST(SdpDescription, RoundTripIsStableAndKeepsWhatItDoesNotModel) {
  for (const char* fixture : {sdp_fixtures::kChromiumRecvOnlyOffer, sdp_fixtures::kChromiumSendRecvOffer,
                              sdp_fixtures::kAiortcSendRecvOffer, sdp_fixtures::kChromiumAnswerToOurs,
                              sdp_fixtures::kAiortcAnswerToOurs}) {
    SCOPED_TRACE(std::string(fixture).substr(0, 60));
    Description first(crlf(fixture), "offer");
    std::string once = first.generateSdp();
    Description second(once, "offer");
    EXPECT_EQ(second.generateSdp(), once);
    EXPECT_EQ(second.mediaCount(), first.mediaCount());
    EXPECT_EQ(second.candidates(), first.candidates());

    // Every a= line of the input appears in the output (order within a section may differ).
    std::string input = fixture;
    size_t pos = 0;
    while (pos < input.size()) {
      size_t end = input.find('\n', pos);
      std::string line = input.substr(pos, end - pos);
      pos = end + 1;
      if (line.rfind("a=", 0) != 0) continue;
      // One bundled transport: the bundle section's credentials stand for every section (aiortc
      // writes one pair per section in its offer).
      if (line.rfind("a=ice-ufrag:", 0) == 0 || line.rfind("a=ice-pwd:", 0) == 0) {
        EXPECT_NE(once.find("a=ice-ufrag:" + *first.iceUfrag() + "\r\n"), std::string::npos);
        continue;
      }
      EXPECT_NE(once.find(line + "\r\n"), std::string::npos) << "lost: " << line;
    }
  }
  // Session-level attributes keep their place before the first section.
  std::string out = Description(sdp_fixtures::kChromiumSendRecvOffer, "offer").generateSdp();
  EXPECT_LT(out.find("a=extmap-allow-mixed"), out.find("m="));
  EXPECT_LT(out.find("a=msid-semantic: WMS"), out.find("m="));
}

TEST(SdpDescription, LineEndsOfInputDoNotMatterAndOutputUsesTheGivenOne) {
  Description lf(sdp_fixtures::kChromiumSendRecvOffer, "offer");
  Description crlfDescription(crlf(sdp_fixtures::kChromiumSendRecvOffer), "offer");
  EXPECT_EQ(lf.generateSdp(), crlfDescription.generateSdp());
  std::string lfOnly = lf.generateSdp("\n");
  EXPECT_EQ(lfOnly.find('\r'), std::string::npos);
  EXPECT_EQ(Description(lfOnly, "offer").generateSdp(), lf.generateSdp());
  std::string wire = lf.generateSdp();
  EXPECT_EQ(count(wire, "\r\n"), count(lfOnly, "\n"));
  EXPECT_EQ(std::string(lf), wire);
}

TEST(SdpDescription, TypeStrings) {
  EXPECT_EQ(Description("", "offer").type(), Description::Type::Offer);
  EXPECT_EQ(Description("", "answer").type(), Description::Type::Answer);
  EXPECT_EQ(Description("", "pranswer").type(), Description::Type::Pranswer);
  EXPECT_EQ(Description("", "rollback").type(), Description::Type::Rollback);
  EXPECT_EQ(Description("", "").type(), Description::Type::Unspec);
  EXPECT_THROW(Description("", "Offer"), std::invalid_argument);
  EXPECT_THROW(Description("", "bogus"), std::invalid_argument);
  Description d("", Description::Type::Unspec);
  d.hintType(Description::Type::Answer);
  EXPECT_EQ(d.typeString(), "answer");
  d.hintType(Description::Type::Offer);  // only an unspecified type is replaced
  EXPECT_EQ(d.typeString(), "answer");
}

// The host's description as the peer builds it; both Chromium and aiortc answered this exact text.
TEST(SdpDescription, BuiltHostOfferHasEveryLineBrowsersNeed) {
  Description d("", Description::Type::Offer);
  d.setIceAttribute("abcd", "0123456789abcdefghijkl");
  CertificateFingerprint fingerprint;
  fingerprint.algorithm = CertificateFingerprint::Algorithm::Sha256;
  fingerprint.value = "76:71:da:3e:5d:31:b8:fa:74:c0:fd:16:d9:5d:60:cf:59:ca:40:8d:50:b2:84:d2:a1:a2:19:48:c8:ef:e7:d2";
  d.setFingerprint(fingerprint);
  Description::Video video("video", Description::Direction::SendOnly);
  video.addH264Codec(102, std::string("profile-level-id=42e02a;packetization-mode=1;level-asymmetry-allowed=1"));
  video.addSSRC(1, "murel-screen", "murel-desktop", "murel-screen");
  video.setBitrate(20000);
  EXPECT_EQ(d.addMedia(video), 0);
  Description::Application app("data");
  app.setMaxMessageSize(4096);
  EXPECT_EQ(d.addMedia(app), 1);
  d.addCandidate(Candidate("candidate:1 1 UDP 2122252543 127.0.0.1 50000 typ host", "video"));

  std::string sdp = d.generateSdp();
  for (const char* line : {"v=0\r\n", "s=-\r\n", "t=0 0\r\n", "a=group:BUNDLE video data\r\n",
                           "m=video 9 UDP/TLS/RTP/SAVPF 102\r\n", "c=IN IP4 0.0.0.0\r\n", "b=AS:20000\r\n",
                           "a=mid:video\r\n", "a=sendonly\r\n", "a=rtcp-mux\r\n", "a=ice-ufrag:abcd\r\n",
                           "a=ice-pwd:0123456789abcdefghijkl\r\n", "a=ice-options:trickle\r\n",
                           "a=setup:actpass\r\n", "a=rtpmap:102 H264/90000\r\n", "a=rtcp-fb:102 nack pli\r\n",
                           "a=fmtp:102 profile-level-id=42e02a;packetization-mode=1;level-asymmetry-allowed=1\r\n",
                           "a=ssrc:1 cname:murel-screen\r\n", "a=ssrc:1 msid:murel-desktop murel-screen\r\n",
                           "a=msid:murel-desktop murel-screen\r\n",
                           "a=candidate:1 1 UDP 2122252543 127.0.0.1 50000 typ host\r\n",
                           "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n", "a=mid:data\r\n",
                           "a=sctp-port:5000\r\n", "a=max-message-size:4096\r\n"}) {
    EXPECT_NE(sdp.find(line), std::string::npos) << "missing " << line;
  }
  EXPECT_NE(sdp.find("a=fingerprint:sha-256 76:71:DA:3E:"), std::string::npos) << "fingerprint is upper-cased";
  EXPECT_EQ(count(sdp, "a=ice-ufrag:"), 2u) << "transport parameters go into every section";
  EXPECT_LT(sdp.find("b=AS:20000"), sdp.find("a=mid:video")) << "b= precedes a= lines";
  EXPECT_EQ(sdp.find("end-of-candidates"), std::string::npos);

  // What we generate we read back to the same model.
  Description back(sdp, "offer");
  EXPECT_EQ(back.generateSdp(), sdp);
  EXPECT_EQ(mediaAt(back, 0).bitrate(), 20000);
  EXPECT_EQ(back.candidates().size(), 1u);
}

TEST(SdpDescription, FreshDescriptionsHaveUniqueSessionIds) {
  std::string a = Description("", "offer").generateSdp(), b = Description("", "offer").generateSdp();
  EXPECT_NE(a.substr(0, a.find("\r\ns=")), b.substr(0, b.find("\r\ns=")));
  EXPECT_EQ(a.rfind("v=0\r\no=- ", 0), 0u);
  // No ICE credentials are invented: the peer sets them from its own random source.
  EXPECT_FALSE(Description("", "offer").iceUfrag());
}

TEST(SdpDescription, CandidatesAreExtractedAddedAndPlacedByMid) {
  Description d(crlf(sdp_fixtures::kAiortcSendRecvOffer), "offer");
  auto taken = d.extractCandidates();
  EXPECT_EQ(taken.size(), 4u);
  EXPECT_TRUE(d.candidates().empty());
  EXPECT_FALSE(d.ended()) << "a description without candidates must not claim gathering ended";
  std::string sdp = d.generateSdp();
  EXPECT_EQ(sdp.find("a=candidate"), std::string::npos);
  EXPECT_EQ(sdp.find("a=end-of-candidates"), std::string::npos);

  // Back in, each under its own section; a duplicate is ignored.
  d.addCandidates(taken);
  d.addCandidate(taken[0]);
  EXPECT_EQ(d.candidates().size(), 4u);
  EXPECT_TRUE(d.hasCandidate(taken[3]));
  // A candidate without a mid goes to the bundle section.
  d.addCandidate(Candidate("candidate:9 1 udp 1 10.0.0.9 9 typ host"));
  EXPECT_EQ(d.candidates().back().mid(), "0");
  d.endCandidates();
  sdp = d.generateSdp();
  size_t appStart = sdp.find("m=application");
  EXPECT_EQ(count(sdp.substr(0, appStart), "a=candidate:"), 3u);
  EXPECT_EQ(count(sdp.substr(appStart), "a=candidate:"), 2u);
  EXPECT_EQ(count(sdp, "a=end-of-candidates"), 2u);
  // Read back, they are grouped by section.
  Description back(sdp, "offer");
  EXPECT_THAT(back.candidates(), ::testing::UnorderedElementsAreArray(d.candidates()));
}

TEST(SdpDescription, SetupAttributeGivesTheRole) {
  std::string base = "v=0\no=- 1 1 IN IP4 0.0.0.0\ns=-\nt=0 0\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\na=mid:0\n";
  EXPECT_EQ(Description(base + "a=setup:active\n", "answer").role(), Description::Role::Active);
  EXPECT_EQ(Description(base + "a=setup:passive\n", "answer").role(), Description::Role::Passive);
  EXPECT_EQ(Description(base + "a=setup:actpass\n", "offer").role(), Description::Role::ActPass);
  EXPECT_EQ(Description(base, Description::Type::Answer, Description::Role::Passive).role(), Description::Role::Passive);
  EXPECT_THROW(Description(base + "a=setup:holdconn\n", "answer"), std::invalid_argument);
}

TEST(SdpDescription, SessionLevelTransportAndSectionsWithoutMid) {
  // Older writers put fingerprint and credentials at session level and omit a=mid.
  std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nb=CT:1000\r\nt=0 0\r\n"
      "a=fingerprint:SHA-1 00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33\r\n"
      "a=ice-ufrag:wxyz\r\na=ice-pwd:ABCDEFGHIJKLMNOPQRSTUVWX\r\n"
      "m=video 9 RTP/SAVPF 100\r\na=rtpmap:100 VP8/90000\r\n"
      "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n";
  Description d(sdp, "offer");
  EXPECT_EQ(midOf(d, 0), "0");
  EXPECT_EQ(midOf(d, 1), "1");
  EXPECT_EQ(d.iceUfrag(), "wxyz");
  EXPECT_EQ(d.icePwd(), "ABCDEFGHIJKLMNOPQRSTUVWX");
  ASSERT_TRUE(d.fingerprint());
  EXPECT_EQ(d.fingerprint()->algorithm, CertificateFingerprint::Algorithm::Sha1);
  EXPECT_EQ(d.fingerprint()->value, "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33");
  EXPECT_FALSE(applicationAt(d, 1).sctpPort());
  // Without a BUNDLE group none is invented, and the first section carries the transport.
  std::string out = d.generateSdp();
  EXPECT_EQ(out.find("a=group:BUNDLE"), std::string::npos);
  EXPECT_NE(out.find("s=-\r\nb=CT:1000\r\nt=0 0\r\n"), std::string::npos) << "session b= goes before t=";
  EXPECT_EQ(d.bundleMid(), "0");
}

TEST(SdpDescription, MediaAccessAndEntryManagement) {
  Description d("", Description::Type::Offer);
  EXPECT_EQ(d.addVideo("v"), 0);
  EXPECT_EQ(d.addApplication("d"), 1);
  EXPECT_EQ(d.addAudio("a", Description::Direction::RecvOnly), 2);
  auto* first = std::get<Description::Media*>(d.media(0));
  // Pointers stay valid while entries are added.
  for (int i = 0; i < 5; ++i) d.addApplication("x" + std::to_string(i));
  EXPECT_EQ(first->mid(), "v");
  EXPECT_EQ(d.application()->mid(), "d");
  EXPECT_THROW(d.addVideo("v"), std::invalid_argument);
  EXPECT_THROW(d.addVideo(""), std::invalid_argument);
  EXPECT_THROW(d.addVideo("has space"), std::invalid_argument);
  EXPECT_THROW(d.media(d.mediaCount()), std::out_of_range);
  EXPECT_TRUE(d.hasMid("x4"));
  while (d.mediaCount() < rtc::SDP_MAX_MEDIA) d.addApplication("y" + std::to_string(d.mediaCount()));
  EXPECT_THROW(d.addApplication("z"), std::length_error);
  d.clearMedia();
  EXPECT_EQ(d.mediaCount(), 0u);
  EXPECT_FALSE(d.hasApplication());

  // A section marked removed goes out with port 0 and leaves the bundle group.
  Description e("", Description::Type::Answer);
  e.addVideo("0");
  e.addApplication("1");
  std::get<Description::Media*>(e.media(0))->markRemoved();
  std::string out = e.generateSdp();
  EXPECT_NE(out.find("m=video 0 "), std::string::npos);
  EXPECT_NE(out.find("a=group:BUNDLE 1\r\n"), std::string::npos);
}

TEST(SdpDescription, SessionAttributesAndIceOptions) {
  Description d("", Description::Type::Offer);
  d.addAttribute("extmap-allow-mixed");
  d.addAttribute("x-test:1");
  d.removeAttribute("x-test");
  EXPECT_EQ(d.attributes(), std::vector<std::string>{"extmap-allow-mixed"});
  EXPECT_THROW(d.addAttribute("evil\r\na=injected"), std::invalid_argument);
  EXPECT_THROW(d.addAttribute("group:BUNDLE 0"), std::invalid_argument);
  EXPECT_THROW(d.addAttribute("ice-pwd:0123456789abcdefghijkl"), std::invalid_argument);
  d.addAttribute("group:LS 0");  // other groups are the caller's
  d.removeAttribute("group");
  d.addIceOption("ice2");
  d.addIceOption("ice2");
  EXPECT_EQ(d.iceOptions(), (std::vector<std::string>{"trickle", "ice2"}));
  d.removeIceOption("trickle");
  d.addVideo("0");
  EXPECT_NE(d.generateSdp().find("a=ice-options:ice2\r\n"), std::string::npos);
  EXPECT_THROW(d.setIceAttribute("abc", "0123456789abcdefghijkl"), std::invalid_argument);   // ufrag too short
  EXPECT_THROW(d.setIceAttribute("abcd", "0123456789abcdefghijk"), std::invalid_argument);   // pwd too short
  EXPECT_THROW(d.setIceAttribute("ab:d", "0123456789abcdefghijkl"), std::invalid_argument);  // not an ice-char
  CertificateFingerprint bad;
  bad.algorithm = CertificateFingerprint::Algorithm::Sha256;
  bad.value = "AB:CD";
  EXPECT_THROW(d.setFingerprint(bad), std::invalid_argument);
}
