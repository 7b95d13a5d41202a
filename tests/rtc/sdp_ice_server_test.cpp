// STUN and TURN server URLs (RFC 7064, RFC 7065) and the explicit constructors.
#include "rtc/IceServer.hpp"

#include <gtest/gtest.h>

#include <string>

using rtc::IceServer;

TEST(SdpIceServer, GoodUrls) {
  struct Case {
    const char* url;
    IceServer::Type type;
    const char* host;
    uint16_t port;
    IceServer::RelayType relay;
    const char* user;
    const char* pass;
  };
  using T = IceServer::Type;
  using R = IceServer::RelayType;
  const Case cases[] = {
      {"stun:stun.example.org", T::Stun, "stun.example.org", 3478, R::TurnUdp, "", ""},
      {"stun:stun.l.google.com:19302", T::Stun, "stun.l.google.com", 19302, R::TurnUdp, "", ""},
      {"stuns:stun.example.org", T::Stun, "stun.example.org", 5349, R::TurnUdp, "", ""},
      {"stun:192.0.2.1:1", T::Stun, "192.0.2.1", 1, R::TurnUdp, "", ""},
      {"stun:[::1]", T::Stun, "::1", 3478, R::TurnUdp, "", ""},
      {"stun:[2001:db8::7]:65535", T::Stun, "2001:db8::7", 65535, R::TurnUdp, "", ""},
      {"turn:relay.example.org", T::Turn, "relay.example.org", 3478, R::TurnUdp, "", ""},
      {"turn:Relay.Example.ORG:3479", T::Turn, "Relay.Example.ORG", 3479, R::TurnUdp, "", ""},
      {"turn:relay.example.org?transport=udp", T::Turn, "relay.example.org", 3478, R::TurnUdp, "", ""},
      {"turn:relay.example.org:80?transport=tcp", T::Turn, "relay.example.org", 80, R::TurnTcp, "", ""},
      {"turn:relay.example.org?transport=TCP", T::Turn, "relay.example.org", 3478, R::TurnTcp, "", ""},
      {"turns:relay.example.org", T::Turn, "relay.example.org", 5349, R::TurnTls, "", ""},
      {"turns:relay.example.org:443?transport=tcp", T::Turn, "relay.example.org", 443, R::TurnTls, "", ""},
      {"turn:[fe80::1:2]:3478?transport=udp", T::Turn, "fe80::1:2", 3478, R::TurnUdp, "", ""},
      {"turn:user:secret@relay.example.org", T::Turn, "relay.example.org", 3478, R::TurnUdp, "user", "secret"},
      {"turn:1700000000%3Adevice:p%40ss%2Fw@[::ffff:192.0.2.1]:3478", T::Turn, "::ffff:192.0.2.1", 3478, R::TurnUdp,
       "1700000000:device", "p@ss/w"},
      {"turn:onlyuser@h", T::Turn, "h", 3478, R::TurnUdp, "onlyuser", ""},
      {"TURN:h", T::Turn, "h", 3478, R::TurnUdp, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    IceServer server(c.url);
    EXPECT_EQ(server.type, c.type);
    EXPECT_EQ(server.hostname, c.host);
    EXPECT_EQ(server.port, c.port);
    EXPECT_EQ(server.relayType, c.relay);
    EXPECT_EQ(server.username, c.user);
    EXPECT_EQ(server.password, c.pass);
  }
}

TEST(SdpIceServer, BadUrlsAreRefused) {
  for (const std::string& url : {
           std::string(""),
           std::string("stun"),
           std::string("http://stun.example.org"),
           std::string("stun2:host"),
           std::string("stun:"),
           std::string("stun://host"),
           std::string("stun:host:"),
           std::string("stun:host:0"),
           std::string("stun:host:65536"),
           std::string("stun:host:-1"),
           std::string("stun:host:12ab"),
           std::string("stun:host:3478:1"),
           std::string("stun:ho st"),
           std::string("stun:host\t"),
           std::string("stun:h\xc3\xa9te"),
           std::string("stun:host/path"),
           std::string("stun:host?transport=udp"),  // no query on STUN
           std::string("stun:user:pass@host"),      // no credentials on STUN
           std::string("stun:[::1"),
           std::string("stun:[::1]x"),
           std::string("stun:[::1]:"),
           std::string("stun:[not-v6]"),
           std::string("stun:[1:2:3:4:5:6:7:8:9]"),
           std::string("stun:::1"),
           std::string("stun:.example.org"),
           std::string("stun:a..b"),
           std::string("turn:host?transport=sctp"),
           std::string("turn:host?foo=bar"),
           std::string("turn:host?transport=udp&x=1"),
           std::string("turns:host?transport=udp"),
           std::string("turn:@host"),
           std::string("turn:u%zzx:p@host"),
           std::string("turn:u%0a:p@host"),
           std::string("turn:u%4"),
           std::string("turn:u[x]:p@host"),
           std::string("stun:") + std::string(2100, 'a'),
           std::string("stun:") + std::string(64, 'a') + ".org",
       }) {
    EXPECT_THROW(IceServer{url}, std::invalid_argument) << url.substr(0, 60);
  }
}

TEST(SdpIceServer, ExplicitConstructors) {
  IceServer stun("stun.example.org", uint16_t(3478));
  EXPECT_EQ(stun.type, IceServer::Type::Stun);
  EXPECT_EQ(stun.port, 3478);
  IceServer service("192.0.2.9", std::string("19302"));
  EXPECT_EQ(service.port, 19302);
  IceServer turn("relay.example.org", uint16_t(443), "u", "p", IceServer::RelayType::TurnTls);
  EXPECT_EQ(turn.type, IceServer::Type::Turn);
  EXPECT_EQ(turn.relayType, IceServer::RelayType::TurnTls);
  EXPECT_EQ(turn.username, "u");
  EXPECT_EQ(turn.password, "p");
  IceServer v6("2001:db8::1", std::string("3478"), "u", "p");
  EXPECT_EQ(v6.relayType, IceServer::RelayType::TurnUdp);

  EXPECT_THROW(IceServer("", uint16_t(3478)), std::invalid_argument);
  EXPECT_THROW(IceServer("host", uint16_t(0)), std::invalid_argument);
  EXPECT_THROW(IceServer("host", std::string("http")), std::invalid_argument);
  EXPECT_THROW(IceServer("host", std::string("70000")), std::invalid_argument);
  EXPECT_THROW(IceServer("bad host", uint16_t(1), "u", "p"), std::invalid_argument);
  EXPECT_THROW(IceServer("[::1]", std::string("1"), "u", "p"), std::invalid_argument);
}
