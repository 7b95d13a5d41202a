// Candidate lines, priorities and addresses.
#include "ice/IceCandidate.hpp"
#include "ice/Socket.hpp"

#include <gtest/gtest.h>

using namespace rtc::impl;

TEST(IceCandidateLine, ParsesWhatBrowsersSend) {
  auto c = IceCandidate::parse(
      "a=candidate:842163049 1 udp 1677729535 203.0.113.7 46154 typ srflx raddr 10.0.0.5 rport 46155 "
      "generation 0 ufrag EsAw network-cost 999\r\n");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->foundation, "842163049");
  EXPECT_EQ(c->component, 1u);
  EXPECT_EQ(c->priority, 1677729535u);
  EXPECT_EQ(c->address.toString(), "203.0.113.7:46154");
  EXPECT_EQ(c->type, CandidateType::ServerReflexive);
  ASSERT_TRUE(c->related);
  EXPECT_EQ(c->related->toString(), "10.0.0.5:46155");

  auto v6 = IceCandidate::parse("candidate:1 1 UDP 2122262783 2001:db8::5 5000 typ host generation 0");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->address.toString(), "[2001:db8::5]:5000");
  EXPECT_EQ(v6->type, CandidateType::Host);

  auto relay = IceCandidate::parse("candidate:9 1 udp 16777215 198.51.100.1 3478 typ relay raddr 0.0.0.0 rport 0");
  ASSERT_TRUE(relay);
  EXPECT_EQ(relay->type, CandidateType::Relayed);
  auto prflx = IceCandidate::parse("candidate:9 1 udp 1845501695 198.51.100.1 3478 typ prflx");
  ASSERT_TRUE(prflx);
  EXPECT_EQ(prflx->type, CandidateType::PeerReflexive);
}

TEST(IceCandidateLine, RefusesWhatItCannotUse) {
  const char* bad[] = {
      "candidate:1 1 tcp 1518280447 192.0.2.1 9 typ host tcptype active",  // TCP
      "candidate:1 1 udp 2122262783 4c1f7b1e-7d5c-4a1b.local 5000 typ host",  // mDNS name
      "candidate:1 1 udp 2122262783 192.0.2.1 5000 host",                   // no typ
      "candidate:1 1 udp 2122262783 192.0.2.1 0 typ host",                  // port 0
      "candidate:1 1 udp 2122262783 192.0.2.1 70000 typ host",              // port range
      "candidate:1 1 udp 0 192.0.2.1 5000 typ host",                        // zero priority
      "candidate:1 1 udp 99999999999 192.0.2.1 5000 typ host",              // priority overflow
      "candidate:1 0 udp 2122262783 192.0.2.1 5000 typ host",               // component 0
      "candidate:1 1 udp 2122262783 192.0.2.1 5000 typ bogus",              // type
      "candidate:1 1 udp 2122262783 0.0.0.0 5000 typ host",                 // unspecified address
      "candidate:f@o 1 udp 2122262783 192.0.2.1 5000 typ host",             // foundation characters
      "candidate:1 1 udp",                                                  // short
      "",
  };
  for (auto* line : bad) EXPECT_FALSE(IceCandidate::parse(line)) << line;
}

TEST(IceCandidateLine, EncodesAndReadsBack) {
  IceCandidate c;
  c.foundation = "123";
  c.priority = IceCandidate::computePriority(CandidateType::Relayed, 65535);
  c.address = *Address::fromString("198.51.100.9", 61000);
  c.type = CandidateType::Relayed;
  c.related = *Address::fromString("203.0.113.1", 5000);
  EXPECT_EQ(c.toSdp(), "candidate:123 1 UDP 16777215 198.51.100.9 61000 typ relay raddr 203.0.113.1 rport 5000");
  auto back = IceCandidate::parse(c.toSdp());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->address, c.address);
  EXPECT_EQ(back->related, c.related);
  EXPECT_EQ(back->priority, c.priority);
}

TEST(IceCandidatePriority, FollowsTheFormula) {
  EXPECT_EQ(IceCandidate::computePriority(CandidateType::Host, 65535), 2130706431u);
  EXPECT_EQ(IceCandidate::computePriority(CandidateType::PeerReflexive, 65535), (110u << 24) + (65535u << 8) + 255);
  EXPECT_GT(IceCandidate::computePriority(CandidateType::ServerReflexive, 0),
            IceCandidate::computePriority(CandidateType::Relayed, 65535));
  auto a = *Address::fromString("192.0.2.1", 1);
  auto b = *Address::fromString("192.0.2.2", 1);
  EXPECT_EQ(IceCandidate::makeFoundation(CandidateType::Host, a, ""), IceCandidate::makeFoundation(CandidateType::Host, a, ""));
  EXPECT_NE(IceCandidate::makeFoundation(CandidateType::Host, a, ""), IceCandidate::makeFoundation(CandidateType::Host, b, ""));
  EXPECT_NE(IceCandidate::makeFoundation(CandidateType::Host, a, ""),
            IceCandidate::makeFoundation(CandidateType::ServerReflexive, a, ""));
}

TEST(AddressText, ParsesAndFormats) {
  EXPECT_EQ(Address::fromEndpoint("[::1]:5000")->toString(), "[::1]:5000");
  EXPECT_EQ(Address::fromEndpoint("127.0.0.1:80")->family(), AddressFamily::V4);
  EXPECT_TRUE(Address::fromEndpoint("[::1]:5000")->isLoopback());
  EXPECT_TRUE(Address::fromString("::ffff:127.0.0.1", 1)->isLoopback());
  EXPECT_TRUE(Address::fromString("fe80::1", 1)->isLinkLocal());
  for (auto* bad : {"::1:5000", "[::1]5000", "1.2.3.4:", "1.2.3.4:65536", "1.2.3:4", "host:80", "[::1]:x"})
    EXPECT_FALSE(Address::fromEndpoint(bad)) << bad;
  EXPECT_FALSE(Address::fromString("256.1.1.1", 1));
  EXPECT_NE(*Address::fromString("192.0.2.1", 1), *Address::fromString("192.0.2.1", 2));
  EXPECT_TRUE(Address::fromString("192.0.2.1", 1)->sameIp(*Address::fromString("192.0.2.1", 2)));
}
