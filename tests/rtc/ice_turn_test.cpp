// The TURN client and relay-only ICE against a real coturn on loopback.
#include "ice/IceAgent.hpp"
#include "ice/StunMessage.hpp"
#include "ice/TurnClient.hpp"
#include "rtc/Log.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "Coturn.hpp"
#include "EventRecorder.hpp"

using namespace rtc::impl;
using namespace std::chrono_literals;

namespace {

using murel::test::Coturn;
using murel::test::CoturnOptions;
using murel::test::EventRecorder;

Address addressOf(const Coturn& server) { return Address::loopback(AddressFamily::V4, server.port()); }

#define REQUIRE_COTURN(server)                                         \
  if (!Coturn::installed()) GTEST_SKIP() << "coturn is not installed"; \
  ASSERT_TRUE((server).running()) << "coturn did not start"

// Drives a TurnClient over a real socket from the test thread.
struct TurnHarness {
  explicit TurnHarness(const Address& server, const std::string& user, const std::string& pass) {
    socket = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
    TurnClient::Config c;
    c.server = server;
    c.username = user;
    c.password = pass;
    c.rto = 200ms;
    client = std::make_unique<TurnClient>(c, [this, server](std::span<const uint8_t> d) { socket->sendTo(server, d); });
  }

  template <typename Pred>
  bool pump(Pred done, std::chrono::milliseconds timeout = 10s) {
    auto end = std::chrono::steady_clock::now() + timeout;
    std::vector<uint8_t> buf(65536);
    while (std::chrono::steady_clock::now() < end) {
      if (done()) return true;
      poller.wait({socket.get()}, 20ms);
      Address from;
      while (auto n = socket->receiveFrom(buf, from)) {
        TurnClient::PeerData pd;
        if (client->handle(std::span<const uint8_t>(buf.data(), *n), TurnClient::Clock::now(), pd) ==
            TurnClient::Input::PeerData)
          peerData.push_back({pd.peer, std::vector<uint8_t>(pd.data.begin(), pd.data.end())});
      }
      client->tick(TurnClient::Clock::now());
    }
    return done();
  }

  std::unique_ptr<UdpSocket> socket;
  SocketPoller poller;
  std::unique_ptr<TurnClient> client;
  std::vector<std::pair<Address, std::vector<uint8_t>>> peerData;
};

std::optional<std::vector<uint8_t>> receiveOn(UdpSocket& s, Address& from, std::chrono::milliseconds timeout = 5s) {
  SocketPoller poller;
  std::vector<uint8_t> buf(65536);
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    poller.wait({&s}, 50ms);
    if (auto n = s.receiveFrom(buf, from)) return std::vector<uint8_t>(buf.begin(), buf.begin() + *n);
  }
  return std::nullopt;
}

}  // namespace

TEST(TurnClientCoturn, AllocatesBindsAChannelAndRelaysBothWays) {
  Coturn server;
  REQUIRE_COTURN(server);
  auto [user, pass] = Coturn::credentials();
  TurnHarness h(addressOf(server), user, pass);
  h.client->start(TurnClient::Clock::now());
  ASSERT_TRUE(h.pump([&] { return h.client->state() == TurnClient::State::Allocated; })) << h.client->error();
  EXPECT_TRUE(h.client->relayedAddress().isLoopback());
  EXPECT_NE(h.client->relayedAddress().port(), server.port());
  EXPECT_EQ(h.client->mappedAddress(), h.socket->localAddress());

  auto peer = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  h.client->addPeer(peer->localAddress(), TurnClient::Clock::now());
  ASSERT_TRUE(h.pump([&] { return h.client->hasChannel(peer->localAddress()); }));
  EXPECT_TRUE(h.client->hasPermission(peer->localAddress()));

  std::vector<uint8_t> odd{23, 1, 2, 3, 4, 5, 6};  // not a multiple of four: exercises padding
  ASSERT_TRUE(h.client->sendTo(peer->localAddress(), odd));
  Address from;
  auto got = receiveOn(*peer, from);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, odd);
  EXPECT_EQ(from, h.client->relayedAddress());

  std::vector<uint8_t> back(1000, 0x42);
  peer->sendTo(h.client->relayedAddress(), back);
  ASSERT_TRUE(h.pump([&] { return !h.peerData.empty(); }));
  EXPECT_EQ(h.peerData[0].first, peer->localAddress());
  EXPECT_EQ(h.peerData[0].second, back);

  // A stranger without permission cannot reach us through the relay. Permissions are per IP
  // address, so it sends from another loopback address. Its datagram goes first: once the permitted
  // peer's later one has arrived, the stranger's would have been there before it.
  auto stranger = UdpSocket::open(*Address::fromString("127.0.0.2", 0), 0, 0);
  ASSERT_TRUE(stranger);
  ASSERT_TRUE(stranger->sendTo(h.client->relayedAddress(), std::vector<uint8_t>{23, 0x66}));
  std::vector<uint8_t> marker{23, 0x77};
  ASSERT_TRUE(peer->sendTo(h.client->relayedAddress(), marker));
  ASSERT_TRUE(h.pump([&] { return h.peerData.size() >= 2; }));
  ASSERT_EQ(h.peerData.size(), 2u);
  EXPECT_EQ(h.peerData[1].first, peer->localAddress());
  EXPECT_EQ(h.peerData[1].second, marker);
  h.client->shutdown();
  EXPECT_EQ(h.client->state(), TurnClient::State::Closed);
}

TEST(TurnClientCoturn, WrongPasswordFailsCleanly) {
  Coturn server;
  REQUIRE_COTURN(server);
  auto [user, pass] = Coturn::credentials("another-secret");
  std::mutex logMutex;
  std::vector<std::pair<rtc::LogLevel, std::string>> logged;
  rtc::setLogSink(rtc::LogLevel::Warning, [&](rtc::LogLevel level, std::string_view text) {
    std::lock_guard lock(logMutex);
    logged.emplace_back(level, std::string(text));
  });
  TurnHarness h(addressOf(server), user, pass);
  h.client->start(TurnClient::Clock::now());
  ASSERT_TRUE(h.pump([&] { return h.client->state() == TurnClient::State::Failed; }));
  rtc::setLogSink(rtc::LogLevel::Warning, nullptr);
  EXPECT_NE(h.client->error().find("401"), std::string::npos) << h.client->error();
  {
    std::lock_guard lock(logMutex);
    // The failure reaches the application's log with the server's code.
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].first, rtc::LogLevel::Warning);
    EXPECT_EQ(logged[0].second.rfind("TURN authentication failed: 401", 0), 0u) << logged[0].second;
  }
  EXPECT_FALSE(h.client->sendTo(*Address::fromString("127.0.0.1", 9), std::vector<uint8_t>{1}));
}

TEST(TurnClientCoturn, StaleNonceIsRenewed) {
  Coturn server(CoturnOptions::withArgs({"--stale-nonce=1"}));
  REQUIRE_COTURN(server);
  auto [user, pass] = Coturn::credentials();
  TurnHarness h(addressOf(server), user, pass);
  h.client->start(TurnClient::Clock::now());
  ASSERT_TRUE(h.pump([&] { return h.client->state() == TurnClient::State::Allocated; })) << h.client->error();
  // Let the nonce expire; the next request is answered 438 and must be retried with the new nonce.
  std::this_thread::sleep_for(2500ms);
  auto peer = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  h.client->addPeer(peer->localAddress(), TurnClient::Clock::now());
  ASSERT_TRUE(h.pump([&] { return h.client->hasChannel(peer->localAddress()); })) << h.client->error();
  EXPECT_EQ(h.client->state(), TurnClient::State::Allocated);
}

TEST(TurnClientCoturn, AllocationIsRefreshedBeforeItExpires) {
  // The server grants four seconds; without a Refresh the relay would be gone after that.
  Coturn server(CoturnOptions::withArgs({"--max-allocate-lifetime=4"}));
  REQUIRE_COTURN(server);
  auto [user, pass] = Coturn::credentials();
  TurnHarness h(addressOf(server), user, pass);
  h.client->start(TurnClient::Clock::now());
  ASSERT_TRUE(h.pump([&] { return h.client->state() == TurnClient::State::Allocated; })) << h.client->error();
  auto peer = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  h.client->addPeer(peer->localAddress(), TurnClient::Clock::now());
  ASSERT_TRUE(h.pump([&] { return h.client->hasChannel(peer->localAddress()); }));
  auto start = std::chrono::steady_clock::now();
  h.pump([&] { return std::chrono::steady_clock::now() - start > 9s; }, 10s);
  ASSERT_EQ(h.client->state(), TurnClient::State::Allocated) << h.client->error();
  std::vector<uint8_t> late{23, 9, 9, 9};
  peer->sendTo(h.client->relayedAddress(), late);
  ASSERT_TRUE(h.pump([&] { return !h.peerData.empty(); }));
  EXPECT_EQ(h.peerData[0].second, late);
}

namespace {

struct Events {
  EventRecorder<IceState> states;
  EventRecorder<std::vector<uint8_t>> data;
};

IceAgentConfig relayConfig(const Address& server, const std::string& user, const std::string& pass) {
  IceAgentConfig c;
  c.loopbackOnly = true;
  c.enableIpv6 = false;
  c.relayOnly = true;
  c.servers.push_back({"127.0.0.1", server.port(), true, user, pass});
  c.timings.pacing = 10ms;
  c.timings.checkRto = 100ms;
  c.timings.stunRto = 200ms;
  return c;
}

IceAgentCallbacks callbacksFor(Events& e, std::function<void(const IceCandidate&)> forward) {
  IceAgentCallbacks cb;
  cb.onLocalCandidate = std::move(forward);
  cb.onStateChange = [&e](IceState s) { e.states.record(s); };
  cb.onData = [&e](std::span<const uint8_t> d) { e.data.record({d.begin(), d.end()}); };
  return cb;
}

}  // namespace

TEST(IceAgentCoturn, RelayOnlyAgentsConnectThroughTheRelay) {
  Coturn server;
  REQUIRE_COTURN(server);
  auto [user, pass] = Coturn::credentials();
  Events ea, eb;
  std::unique_ptr<IceAgent> a, b;
  EventRecorder<std::string> aCandidates, bCandidates;
  a = std::make_unique<IceAgent>(relayConfig(addressOf(server), user, pass),
                                 callbacksFor(ea, [&](const IceCandidate& c) { aCandidates.record(c.toSdp()); }));
  b = std::make_unique<IceAgent>(relayConfig(addressOf(server), user, pass),
                                 callbacksFor(eb, [&](const IceCandidate& c) { bCandidates.record(c.toSdp()); }));
  a->setRole(IceRole::Controlling);
  a->setRemoteCredentials(b->localUfrag(), b->localPassword());
  b->setRemoteCredentials(a->localUfrag(), a->localPassword());
  a->gather();
  b->gather();
  // Only relayed candidates are offered.
  ASSERT_TRUE(aCandidates.waitCount(1, 10s) && bCandidates.waitCount(1, 10s)) << a->lastError() << " / " << b->lastError();
  for (auto& c : aCandidates.snapshot()) {
    EXPECT_NE(c.find(" typ relay "), std::string::npos) << c;
    b->addRemoteCandidate(c);
  }
  for (auto& c : bCandidates.snapshot()) {
    EXPECT_NE(c.find(" typ relay "), std::string::npos) << c;
    a->addRemoteCandidate(c);
  }
  ASSERT_TRUE(ea.states.waitContains(IceState::Completed)) << a->lastError();
  ASSERT_TRUE(eb.states.waitContains(IceState::Completed)) << b->lastError();
  auto pa = a->selectedPair(), pb = b->selectedPair();
  ASSERT_TRUE(pa && pb);
  EXPECT_EQ(pa->first.type, CandidateType::Relayed);
  EXPECT_EQ(pb->first.type, CandidateType::Relayed);

  std::vector<uint8_t> ab(1100, 0x17), ba(300, 0x80);
  ab[0] = 23;
  ASSERT_TRUE(a->send(ab));
  ASSERT_TRUE(b->send(ba));
  ASSERT_TRUE(eb.data.waitCount(1));
  ASSERT_TRUE(ea.data.waitCount(1));
  EXPECT_EQ(eb.data.snapshot()[0], ab);
  EXPECT_EQ(ea.data.snapshot()[0], ba);
  a->close();
  b->close();
}

TEST(IceAgentCoturn, WrongTurnCredentialsFailTheAgent) {
  Coturn server;
  REQUIRE_COTURN(server);
  auto [user, pass] = Coturn::credentials("wrong-secret");
  Events e;
  IceAgent agent(relayConfig(addressOf(server), user, pass), callbacksFor(e, nullptr));
  agent.setRemoteCredentials("abcd", "0123456789012345678901");
  agent.gather();
  ASSERT_TRUE(e.states.waitContains(IceState::Failed));
  EXPECT_NE(agent.lastError().find("authentication"), std::string::npos) << agent.lastError();
  auto locals = agent.localCandidates();
  EXPECT_TRUE(std::none_of(locals.begin(), locals.end(), [](auto& c) { return c.type == CandidateType::Relayed; }));
}
