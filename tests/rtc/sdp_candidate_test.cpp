// ICE candidate lines as browsers, aiortc and our agent write them.
#include "rtc/Candidate.hpp"
#include "rtc/Common.hpp"

#include <gtest/gtest.h>

#include <string>

using rtc::Candidate;

TEST(SdpCandidate, FormsOfTheSameCandidate) {
  const std::string attr = "842163049 1 udp 1677729535 203.0.113.7 46154 typ srflx raddr 192.168.1.2 rport 46154 generation 0";
  for (const std::string& text : {"a=candidate:" + attr, "candidate:" + attr, attr, "a=candidate:" + attr + "\r\n",
                                  std::string("candidate:842163049  1 udp 1677729535 203.0.113.7  46154 typ srflx raddr 192.168.1.2 "
                                  "rport 46154 generation 0  ")}) {
    Candidate c(text, "0");
    EXPECT_EQ(c.candidate(), "candidate:" + attr) << text;
    EXPECT_EQ(std::string(c), "a=candidate:" + attr);
    EXPECT_EQ(c.mid(), "0");
    EXPECT_EQ(c.foundation(), "842163049");
    EXPECT_EQ(c.component(), 1u);
    EXPECT_EQ(c.priority(), 1677729535u);
    EXPECT_EQ(c.type(), Candidate::Type::ServerReflexive);
    EXPECT_EQ(c.transportType(), Candidate::TransportType::Udp);
    EXPECT_EQ(c.family(), Candidate::Family::Ipv4);
    EXPECT_TRUE(c.isResolved());
    EXPECT_EQ(c.address(), "203.0.113.7");
    EXPECT_EQ(c.port(), 46154);
    EXPECT_EQ(c.relatedAddress(), "192.168.1.2");
    EXPECT_EQ(c.relatedPort(), 46154);
  }
}

TEST(SdpCandidate, TypesTransportsAndAddresses) {
  Candidate relay("candidate:1 1 UDP 41885439 2001:db8::5 3478 typ relay raddr 2001:db8::1 rport 9");
  EXPECT_EQ(relay.type(), Candidate::Type::Relayed);
  EXPECT_EQ(relay.family(), Candidate::Family::Ipv6);
  EXPECT_FALSE(relay.hasMid());
  EXPECT_EQ(relay.mid(), "");

  Candidate tcp("candidate:2 1 tcp 1518280447 10.0.0.1 9 typ host tcptype active generation 0");
  EXPECT_EQ(tcp.transportType(), Candidate::TransportType::TcpActive);
  EXPECT_EQ(Candidate("candidate:2 1 TCP 1 10.0.0.1 9 typ host tcptype passive").transportType(),
            Candidate::TransportType::TcpPassive);
  EXPECT_EQ(Candidate("candidate:2 1 tcp 1 10.0.0.1 9 typ host tcptype so").transportType(), Candidate::TransportType::TcpSo);
  EXPECT_EQ(Candidate("candidate:2 1 tcp 1 10.0.0.1 9 typ host").transportType(), Candidate::TransportType::TcpUnknown);
  EXPECT_EQ(Candidate("candidate:2 1 sctp 1 10.0.0.1 9 typ host").transportType(), Candidate::TransportType::Unknown);

  Candidate mdns("candidate:634116329 1 udp 2113937151 7bf13d02-e140-408e-8cf2-65551c65695a.local 35892 typ host "
                 "generation 0 network-cost 999");
  EXPECT_EQ(mdns.family(), Candidate::Family::Unresolved);
  EXPECT_FALSE(mdns.isResolved());
  EXPECT_EQ(mdns.type(), Candidate::Type::Host);
  EXPECT_EQ(Candidate("candidate:1 1 udp 1 1.2.3.4 5 typ prflx").type(), Candidate::Type::PeerReflexive);
  EXPECT_EQ(Candidate("candidate:1 1 udp 1 1.2.3.4 5 typ future").type(), Candidate::Type::Unknown);
  // The largest priority and component values.
  EXPECT_EQ(Candidate("candidate:1 256 udp 4294967295 1.2.3.4 65535 typ host").priority(), 4294967295u);
}

TEST(SdpCandidate, MidAndEquality) {
  Candidate c("candidate:1 1 udp 1 1.2.3.4 5 typ host");
  c.hintMid("audio");
  c.hintMid("video");  // a set mid stays
  EXPECT_EQ(c.mid(), "audio");
  EXPECT_EQ(c, Candidate("a=candidate:1 1 udp 1 1.2.3.4 5 typ host", "audio"));
  EXPECT_NE(c, Candidate("candidate:1 1 udp 1 1.2.3.4 5 typ host", "video"));
  EXPECT_NE(c, Candidate("candidate:1 1 udp 2 1.2.3.4 5 typ host", "audio"));
}

TEST(SdpCandidate, MalformedLinesAreRefused) {
  for (const std::string& bad : {
           std::string(""),
           std::string("candidate:"),
           std::string("candidate:1 1 udp 1 1.2.3.4 5 typ"),               // no type
           std::string("candidate:1 1 udp 1 1.2.3.4 5 type host"),         // not "typ"
           std::string("candidate:1 1 udp 1 1.2.3.4 5 typ host raddr"),    // extension without value
           std::string("candidate:1 0 udp 1 1.2.3.4 5 typ host"),          // component 0
           std::string("candidate:1 257 udp 1 1.2.3.4 5 typ host"),        // component too large
           std::string("candidate:1 1 udp 4294967296 1.2.3.4 5 typ host"), // priority over 32 bits
           std::string("candidate:1 1 udp -1 1.2.3.4 5 typ host"),
           std::string("candidate:1 1 udp 1 1.2.3.4 65536 typ host"),
           std::string("candidate:1 1 udp 1 1.2.3.4 +5 typ host"),
           std::string("candidate:1 1 udp 1 1.2.3.4:5 5 typ host"),
           std::string("candidate:1 1 udp 1 2001:db8:::1 5 typ host"),
           std::string("candidate:1 1 udp 1 1.2.3.4 5 typ host raddr 1.2.3.4 rport x"),
           std::string("candidate:1 1 udp 1 1.2.3.4 5 typ host raddr not/addr rport 1"),
           std::string("candidate:f@@ 1 udp 1 1.2.3.4 5 typ host"),        // foundation outside ice-chars
           std::string("candidate:") + std::string(33, 'f') + " 1 udp 1 1.2.3.4 5 typ host",
           std::string("candidate:1 1 ud;p 1 1.2.3.4 5 typ host"),
           std::string("candidate:1 1 udp 1 1.2.3.4 5 typ host\r\na=injected"),
           std::string("candidate:1 1 udp 1 1.2.3.4 5 typ host x ") + std::string(rtc::CANDIDATE_MAX_LENGTH, 'y'),
       }) {
    EXPECT_THROW(Candidate{bad}, std::invalid_argument) << bad.substr(0, 80);
  }
  EXPECT_THROW(Candidate("candidate:1 1 udp 1 1.2.3.4 5 typ host", "bad\nmid"), std::invalid_argument);
  // Many extension pairs stop at the field bound instead of growing.
  std::string many = "candidate:1 1 udp 1 1.2.3.4 5 typ host";
  for (int i = 0; i < 100; ++i) many += " k v";
  EXPECT_THROW(Candidate{many}, std::invalid_argument);
}
