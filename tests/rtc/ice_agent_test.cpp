// Two ICE agents in one process over loopback.
#include "ice/IceAgent.hpp"
#include "ice/StunMessage.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "EventRecorder.hpp"

using namespace rtc::impl;
using namespace std::chrono_literals;

namespace {

IceTimings fastTimings() {
  IceTimings t;
  t.pacing = 10ms;
  t.checkRto = 100ms;
  t.nominationDelay = 100ms;
  t.consentInterval = 200ms;
  t.disconnectedTimeout = 800ms;
  t.consentTimeout = 2000ms;
  t.checkingTimeout = 10000ms;
  return t;
}

IceAgentConfig loopbackConfig(bool ipv6 = false) {
  IceAgentConfig c;
  c.loopbackOnly = true;
  c.enableIpv4 = !ipv6;
  c.enableIpv6 = ipv6;
  c.timings = fastTimings();
  return c;
}

// An agent plus what its callbacks reported, with waits on those reports.
class Peer {
 public:
  explicit Peer(IceAgentConfig config, std::function<void(const IceCandidate&)> forward = nullptr)
      : forward_(std::move(forward)) {
    IceAgentCallbacks cb;
    cb.onLocalCandidate = [this](const IceCandidate& c) {
      std::function<void(const IceCandidate&)> f;
      {
        std::lock_guard lock(mutex_);
        candidates.push_back(c);
        f = forward_;
      }
      cv_.notify_all();
      if (f) f(c);
    };
    cb.onGatheringDone = [this] {
      std::lock_guard lock(mutex_);
      gatheringDone = true;
      cv_.notify_all();
    };
    cb.onStateChange = [this](IceState s) {
      std::lock_guard lock(mutex_);
      states.push_back(s);
      cv_.notify_all();
    };
    cb.onData = [this](std::span<const uint8_t> d) {
      std::function<void()> hook;
      {
        std::lock_guard lock(mutex_);
        if (received.size() < 10000) received.emplace_back(d.begin(), d.end());
        hook = dataHook_;
      }
      cv_.notify_all();
      if (hook) hook();
    };
    agent = std::make_unique<IceAgent>(std::move(config), std::move(cb));
  }
  // The agent goes first: its callbacks use the members below.
  ~Peer() { agent.reset(); }

  void setForward(std::function<void(const IceCandidate&)> f) {
    std::vector<IceCandidate> already;
    {
      std::lock_guard lock(mutex_);
      forward_ = f;
      already = candidates;
    }
    for (auto& c : already) f(c);
  }

  void setDataHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    dataHook_ = std::move(hook);
  }

  template <typename Pred>
  bool waitFor(Pred pred, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return pred(); });
  }

  bool waitState(IceState s, std::chrono::milliseconds timeout = 10s) {
    return waitFor([&] { return std::find(states.begin(), states.end(), s) != states.end(); }, timeout);
  }
  bool waitWorking(std::chrono::milliseconds timeout = 10s) {
    return waitFor([&] {
      return std::any_of(states.begin(), states.end(),
                         [](IceState s) { return s == IceState::Connected || s == IceState::Completed; });
    }, timeout);
  }
  bool waitReceived(size_t count, std::chrono::milliseconds timeout = 10s) {
    return waitFor([&] { return received.size() >= count; }, timeout);
  }
  std::vector<std::vector<uint8_t>> receivedCopy() {
    std::lock_guard lock(mutex_);
    return {received.begin(), received.end()};
  }
  std::vector<IceState> stateCopy() {
    std::lock_guard lock(mutex_);
    return states;
  }

  std::unique_ptr<IceAgent> agent;
  std::vector<IceCandidate> candidates;
  std::vector<IceState> states;
  std::deque<std::vector<uint8_t>> received;
  bool gatheringDone = false;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::function<void(const IceCandidate&)> forward_;
  std::function<void()> dataHook_;
};

void exchangeCredentials(Peer& a, Peer& b) {
  a.agent->setRemoteCredentials(b.agent->localUfrag(), b.agent->localPassword());
  b.agent->setRemoteCredentials(a.agent->localUfrag(), a.agent->localPassword());
}

void trickleBothWays(Peer& a, Peer& b) {
  a.setForward([&b](const IceCandidate& c) { b.agent->addRemoteCandidate(c.toSdp()); });
  b.setForward([&a](const IceCandidate& c) { a.agent->addRemoteCandidate(c.toSdp()); });
}

std::vector<uint8_t> dtlsLike(uint8_t tag, size_t size = 100) {
  std::vector<uint8_t> d(size, tag);
  d[0] = 23;  // DTLS application data
  return d;
}

void expectExchange(Peer& a, Peer& b) {
  auto ab = dtlsLike(1), ba = dtlsLike(2, 1200);
  auto rtp = std::vector<uint8_t>{0x80, 0x60, 0, 1, 2, 3};
  ASSERT_TRUE(a.agent->send(ab));
  ASSERT_TRUE(b.agent->send(ba));
  ASSERT_TRUE(b.agent->send(rtp));
  ASSERT_TRUE(b.waitReceived(1));
  ASSERT_TRUE(a.waitReceived(2));
  EXPECT_EQ(b.receivedCopy()[0], ab);
  auto got = a.receivedCopy();
  EXPECT_EQ(got[0], ba);
  EXPECT_EQ(got[1], rtp);
}

}  // namespace

TEST(IceAgentLoopback, ConnectsAndExchangesDatagramsBothWays) {
  for (bool ipv6 : {false, true}) {
    SCOPED_TRACE(ipv6 ? "IPv6" : "IPv4");
    Peer a(loopbackConfig(ipv6)), b(loopbackConfig(ipv6));
    a.agent->setRole(IceRole::Controlling);
    b.agent->setRole(IceRole::Controlled);
    EXPECT_FALSE(a.agent->send(dtlsLike(0)));  // nothing selected yet
    exchangeCredentials(a, b);
    trickleBothWays(a, b);
    a.agent->gather();
    b.agent->gather();
    ASSERT_TRUE(a.waitFor([&] { return a.gatheringDone; }));
    ASSERT_FALSE(a.candidates.empty());
    EXPECT_EQ(a.candidates[0].type, CandidateType::Host);
    EXPECT_TRUE(a.candidates[0].address.isLoopback());
    ASSERT_TRUE(a.waitState(IceState::Completed));
    ASSERT_TRUE(b.waitState(IceState::Completed));
    auto pair = a.agent->selectedPair();
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->second.address, b.candidates[0].address);
    expectExchange(a, b);
    // The states went forward in order.
    auto states = a.stateCopy();
    EXPECT_EQ(states.front(), IceState::Checking);
    EXPECT_EQ(std::count(states.begin(), states.end(), IceState::Failed), 0);
  }
}

TEST(IceAgentLoopback, AggressiveNominationConnects) {
  auto config = loopbackConfig();
  config.aggressiveNomination = true;
  Peer a(config), b(loopbackConfig());
  a.agent->setRole(IceRole::Controlling);
  exchangeCredentials(a, b);
  trickleBothWays(a, b);
  a.agent->gather();
  b.agent->gather();
  ASSERT_TRUE(a.waitState(IceState::Completed));
  ASSERT_TRUE(b.waitState(IceState::Completed));
  expectExchange(a, b);
}

TEST(IceAgentLoopback, CandidatesTrickledBeforeAndAfterTheCredentials) {
  Peer a(loopbackConfig()), b(loopbackConfig());
  a.agent->setRole(IceRole::Controlling);
  a.agent->gather();
  b.agent->gather();
  ASSERT_TRUE(a.waitFor([&] { return a.gatheringDone; }));
  ASSERT_TRUE(b.waitFor([&] { return b.gatheringDone; }));
  // B learns A's candidates before any credentials; A learns B's only after.
  for (auto& c : a.candidates) EXPECT_TRUE(b.agent->addRemoteCandidate("a=" + c.toSdp()));
  std::this_thread::yield();
  EXPECT_EQ(b.agent->state(), IceState::New);  // nothing to check with yet
  exchangeCredentials(a, b);
  for (auto& c : b.candidates) EXPECT_TRUE(a.agent->addRemoteCandidate(c.toSdp()));
  // A duplicate is refused.
  EXPECT_FALSE(a.agent->addRemoteCandidate(b.candidates[0].toSdp()));
  ASSERT_TRUE(a.waitState(IceState::Completed));
  ASSERT_TRUE(b.waitState(IceState::Completed));
  expectExchange(a, b);
}

TEST(IceAgentLoopback, PeerReflexiveCandidateFromAnUnsignalledPeer) {
  // B never hears of A's candidates; it learns A from A's checks.
  Peer a(loopbackConfig()), b(loopbackConfig());
  a.agent->setRole(IceRole::Controlling);
  exchangeCredentials(a, b);
  b.setForward([&a](const IceCandidate& c) { a.agent->addRemoteCandidate(c.toSdp()); });
  a.agent->gather();
  b.agent->gather();
  ASSERT_TRUE(a.waitState(IceState::Completed));
  ASSERT_TRUE(b.waitState(IceState::Completed));
  auto pair = b.agent->selectedPair();
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->second.type, CandidateType::PeerReflexive);
  EXPECT_EQ(pair->second.address, a.candidates[0].address);
  expectExchange(a, b);
}

TEST(IceAgentLoopback, RoleConflictIsResolved) {
  for (auto role : {IceRole::Controlling, IceRole::Controlled}) {
    SCOPED_TRACE(role == IceRole::Controlling ? "both controlling" : "both controlled");
    Peer a(loopbackConfig()), b(loopbackConfig());
    a.agent->setRole(role);
    b.agent->setRole(role);
    exchangeCredentials(a, b);
    trickleBothWays(a, b);
    a.agent->gather();
    b.agent->gather();
    ASSERT_TRUE(a.waitState(IceState::Completed));
    ASSERT_TRUE(b.waitState(IceState::Completed));
    EXPECT_NE(a.agent->role(), b.agent->role());
    expectExchange(a, b);
  }
}

TEST(IceAgentLoopback, SilentPeerLosesConsent) {
  auto config = loopbackConfig();
  config.timings.disconnectedTimeout = 1500ms;
  config.timings.consentTimeout = 3000ms;
  Peer a(config), b(loopbackConfig());
  a.agent->setRole(IceRole::Controlling);
  exchangeCredentials(a, b);
  trickleBothWays(a, b);
  a.agent->gather();
  b.agent->gather();
  ASSERT_TRUE(a.waitState(IceState::Completed));
  ASSERT_TRUE(b.waitState(IceState::Completed));
  // Consent keeps the pair alive well past the time-out while B answers. The claim is about a
  // stretch of time, so the wait is one: no event marks "consent would have expired by now".
  std::this_thread::sleep_for(config.timings.consentTimeout + 500ms);
  auto states = a.stateCopy();
  EXPECT_EQ(std::count(states.begin(), states.end(), IceState::Disconnected), 0);
  EXPECT_EQ(a.agent->state(), IceState::Completed);
  auto start = std::chrono::steady_clock::now();
  b.agent->close();
  ASSERT_TRUE(a.waitState(IceState::Disconnected));
  ASSERT_TRUE(a.waitState(IceState::Failed));
  EXPECT_GE(std::chrono::steady_clock::now() - start, config.timings.consentTimeout - 500ms);
  EXPECT_FALSE(a.agent->send(dtlsLike(1)));
  EXPECT_NE(a.agent->lastError().find("consent"), std::string::npos);
}

TEST(IceAgentLoopback, DatagramsFromStrangersAreNotDelivered) {
  Peer a(loopbackConfig()), b(loopbackConfig());
  a.agent->setRole(IceRole::Controlling);
  exchangeCredentials(a, b);
  trickleBothWays(a, b);
  a.agent->gather();
  b.agent->gather();
  ASSERT_TRUE(a.waitState(IceState::Completed));
  ASSERT_TRUE(b.waitState(IceState::Completed));
  auto stranger = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  ASSERT_TRUE(stranger);
  auto target = a.candidates[0].address;
  stranger->sendTo(target, dtlsLike(9));
  // A STUN request with a wrong password is answered 401 and creates no candidate.
  StunMessage forged(StunClass::Request, stun::kBinding);
  forged.addString(stun::kUsername, a.agent->localUfrag() + ":x");
  forged.addUint32(stun::kPriority, 1);
  forged.addFlag(stun::kUseCandidate);
  forged.addUint64(stun::kIceControlling, 1);
  std::string wrong = "not-the-password-of-a";
  StunMessage::EncodeOptions options;
  options.integrity = StunMessage::Integrity::Sha1;
  options.key = {reinterpret_cast<const uint8_t*>(wrong.data()), wrong.size()};
  stranger->sendTo(target, forged.encode(options));
  SocketPoller poller;
  std::vector<uint8_t> buf(2048);
  Address from;
  std::optional<size_t> n;
  for (int i = 0; i < 50 && !n; ++i) {
    poller.wait({stranger.get()}, 100ms);
    n = stranger->receiveFrom(buf, from);
  }
  ASSERT_TRUE(n);
  auto reply = StunMessage::parse(std::span<const uint8_t>(buf.data(), *n));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->messageClass(), StunClass::ErrorResponse);
  EXPECT_EQ(reply->getError()->code, 401);
  // Outside the DTLS and RTP ranges nothing goes up, even from the real peer.
  ASSERT_TRUE(b.agent->send(std::vector<uint8_t>{200, 1, 2, 3}));
  ASSERT_TRUE(b.agent->send(std::vector<uint8_t>{70, 1, 2, 3}));
  // A marker from the real peer arrives after those datagrams; only it is delivered.
  auto marker = dtlsLike(5);
  ASSERT_TRUE(b.agent->send(marker));
  ASSERT_TRUE(a.waitReceived(1));
  auto got = a.receivedCopy();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], marker);
  EXPECT_EQ(a.agent->role(), IceRole::Controlling);
}

TEST(IceAgentLoopback, RemoteCandidatesAreBoundedAndValidated) {
  auto config = loopbackConfig();
  config.maxRemoteCandidates = 10;
  Peer a(config);
  EXPECT_FALSE(a.agent->addRemoteCandidate("candidate:1 1 tcp 1 127.0.0.1 9 typ host"));
  EXPECT_FALSE(a.agent->addRemoteCandidate("garbage"));
  EXPECT_FALSE(a.agent->addRemoteCandidate("candidate:1 2 udp 1 127.0.0.1 9 typ host"));  // RTCP component
  int accepted = 0;
  for (int i = 0; i < 100; ++i)
    accepted += a.agent->addRemoteCandidate("candidate:1 1 udp 100 127.0.0." + std::to_string(i + 1) + " 9 typ host");
  EXPECT_EQ(accepted, 10);
}

TEST(IceAgentLoopback, ServerReflexiveCandidateFromAStunServer) {
  // A minimal STUN server on loopback that reports a fixed public address.
  auto server = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  ASSERT_TRUE(server);
  std::atomic<bool> stop{false};
  auto mapped = *Address::fromString("203.0.113.50", 40000);
  std::thread serverThread([&] {
    SocketPoller poller;
    std::vector<uint8_t> buf(2048);
    while (!stop) {
      poller.wait({server.get()}, 50ms);
      Address from;
      while (auto n = server->receiveFrom(buf, from)) {
        auto req = StunMessage::parse(std::span<const uint8_t>(buf.data(), *n));
        if (!req || !req->isRequest()) continue;
        StunMessage resp(StunClass::SuccessResponse, stun::kBinding, req->transactionId());
        resp.addAddress(stun::kXorMappedAddress, mapped);
        server->sendTo(from, resp.encode());
      }
    }
  });
  auto config = loopbackConfig();
  config.servers.push_back({"127.0.0.1", server->localAddress().port(), false, "", ""});
  Peer a(config);
  a.agent->gather();
  bool done = a.waitFor([&] { return a.gatheringDone; });
  stop = true;
  serverThread.join();
  ASSERT_TRUE(done);
  auto it = std::find_if(a.candidates.begin(), a.candidates.end(),
                         [](auto& c) { return c.type == CandidateType::ServerReflexive; });
  ASSERT_NE(it, a.candidates.end());
  EXPECT_EQ(it->address, mapped);
  ASSERT_TRUE(it->related);
  EXPECT_EQ(*it->related, a.candidates[0].address);
  EXPECT_NE(it->toSdp().find("typ srflx raddr 127.0.0.1 rport "), std::string::npos);
}

namespace {
void connectPair(Peer& a, Peer& b) {
  a.agent->setRole(IceRole::Controlling);
  exchangeCredentials(a, b);
  trickleBothWays(a, b);
  a.agent->gather();
  b.agent->gather();
  ASSERT_TRUE(a.waitState(IceState::Completed));
  ASSERT_TRUE(b.waitState(IceState::Completed));
}
}  // namespace

TEST(IceAgentLoopback, CloseFromInsideACallback) {
  Peer a(loopbackConfig()), b(loopbackConfig());
  connectPair(a, b);
  std::atomic<int> hookCalls{0};
  b.setDataHook([&] {
    ++hookCalls;
    b.agent->close();  // on the agent's own thread: must not wait for itself
  });
  for (int i = 0; i < 20; ++i) a.agent->send(dtlsLike(1));
  ASSERT_TRUE(b.waitReceived(1));
  ASSERT_TRUE(b.waitFor([&] { return b.agent->state() == IceState::Closed; }));
  for (int i = 0; i < 20; ++i) a.agent->send(dtlsLike(1));
  // B is closed, so nothing of B's can come later to show the datagrams were not delivered: a short
  // bounded wait gives a wrong delivery the chance to show up.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(hookCalls, 1);  // no callback after the close
  b.agent.reset();           // joins the finished thread
}

TEST(IceAgentLoopback, DestroyFromInsideACallback) {
  Peer a(loopbackConfig()), b(loopbackConfig());
  connectPair(a, b);
  std::atomic<bool> destroying{false};
  murel::test::EventRecorder<bool> destroyed;
  b.setDataHook([&] {
    if (destroying.exchange(true)) return;
    b.agent.reset();
    destroyed.record(true);
  });
  ASSERT_TRUE(a.agent->send(dtlsLike(1)));
  ASSERT_TRUE(destroyed.waitCount(1, 10s));
  for (int i = 0; i < 10; ++i) a.agent->send(dtlsLike(1));
}

TEST(IceAgentLoopback, CloseDuringTrafficStopsCallbacks) {
  Peer a(loopbackConfig()), b(loopbackConfig());
  connectPair(a, b);
  b.setDataHook([] { std::this_thread::sleep_for(1ms); });  // keep a callback in flight often
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    while (sending) {
      a.agent->send(dtlsLike(3));
      std::this_thread::sleep_for(200us);
    }
  });
  ASSERT_TRUE(b.waitReceived(20));
  b.agent->close();
  size_t before = b.receivedCopy().size();
  // As above: a closed agent has no later event to wait for; a wrong delivery shows within the wait.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(b.receivedCopy().size(), before);  // nothing delivered once close() returned
  EXPECT_EQ(b.agent->state(), IceState::Closed);
  EXPECT_FALSE(b.agent->send(dtlsLike(1)));
  sending = false;
  sender.join();
}

namespace {
// A hand-driven remote peer: a socket that speaks STUN with known credentials.
struct FakePeer {
  std::unique_ptr<UdpSocket> socket = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  SocketPoller poller;
  std::string ufrag = "fake";
  std::string password = "fakepasswordfakepassword";

  std::optional<std::pair<StunMessage, Address>> receive(std::chrono::milliseconds timeout = 5s) {
    std::vector<uint8_t> buf(2048);
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      poller.wait({socket.get()}, 50ms);
      Address from;
      while (auto n = socket->receiveFrom(buf, from)) {
        if (auto m = StunMessage::parse(std::span<const uint8_t>(buf.data(), *n))) return std::make_pair(*m, from);
      }
    }
    return std::nullopt;
  }
  std::optional<StunMessage> receiveRequest() {
    for (int i = 0; i < 20; ++i) {
      auto r = receive();
      if (!r) return std::nullopt;
      if (r->first.isRequest()) return r->first;
    }
    return std::nullopt;
  }
  std::optional<StunMessage> receiveResponse() {
    for (int i = 0; i < 20; ++i) {
      auto r = receive();
      if (!r) return std::nullopt;
      if (r->first.isResponse()) return r->first;
    }
    return std::nullopt;
  }
  void send(const Address& to, const StunMessage& m, const std::string& key) {
    StunMessage::EncodeOptions o;
    o.integrity = StunMessage::Integrity::Sha1;
    o.key = {reinterpret_cast<const uint8_t*>(key.data()), key.size()};
    socket->sendTo(to, m.encode(o));
  }
  std::string candidate() const {
    return "candidate:1 1 udp 2130706431 127.0.0.1 " + std::to_string(socket->localAddress().port()) + " typ host";
  }
};
}  // namespace

TEST(IceAgentRoles, ConflictingRequestsFollowTheTieBreaker) {
  for (uint64_t theirs : {uint64_t(0), ~uint64_t(0)}) {
    Peer a(loopbackConfig());
    FakePeer fake;
    a.agent->setRole(IceRole::Controlling);
    a.agent->setRemoteCredentials(fake.ufrag, fake.password);
    a.agent->gather();
    ASSERT_TRUE(a.waitFor([&] { return !a.candidates.empty(); }));
    StunMessage request(StunClass::Request, stun::kBinding);
    request.addString(stun::kUsername, a.agent->localUfrag() + ":" + fake.ufrag);
    request.addUint32(stun::kPriority, 1000);
    request.addUint64(stun::kIceControlling, theirs);
    fake.send(a.candidates[0].address, request, a.agent->localPassword());
    auto response = fake.receiveResponse();
    ASSERT_TRUE(response);
    if (theirs == 0) {
      // Our tie-breaker is larger: we keep the role and answer 487.
      ASSERT_EQ(response->messageClass(), StunClass::ErrorResponse);
      EXPECT_EQ(response->getError()->code, 487);
      EXPECT_EQ(a.agent->role(), IceRole::Controlling);
    } else {
      EXPECT_EQ(response->messageClass(), StunClass::SuccessResponse);
      EXPECT_EQ(response->getAddress(stun::kXorMappedAddress), fake.socket->localAddress());
      EXPECT_EQ(a.agent->role(), IceRole::Controlled);
    }
  }
}

TEST(IceAgentRoles, A487AnswerSwitchesRoleAndRetries) {
  Peer a(loopbackConfig());
  FakePeer fake;
  a.agent->setRole(IceRole::Controlling);
  a.agent->setRemoteCredentials(fake.ufrag, fake.password);
  ASSERT_TRUE(a.agent->addRemoteCandidate(fake.candidate()));
  a.agent->gather();
  auto check = fake.receiveRequest();
  ASSERT_TRUE(check);
  EXPECT_EQ(check->getString(stun::kUsername), fake.ufrag + ":" + a.agent->localUfrag());
  ASSERT_TRUE(check->has(stun::kIceControlling));
  StunMessage conflict(StunClass::ErrorResponse, stun::kBinding, check->transactionId());
  conflict.addError(487, "Role Conflict");
  fake.send(a.candidates[0].address, conflict, fake.password);
  // The check is repeated in the other role.
  std::optional<StunMessage> retry;
  for (int i = 0; i < 20; ++i) {
    retry = fake.receiveRequest();
    if (!retry || retry->transactionId() != check->transactionId()) break;
  }
  ASSERT_TRUE(retry);
  EXPECT_TRUE(retry->has(stun::kIceControlled));
  EXPECT_FALSE(retry->has(stun::kUseCandidate));
  EXPECT_EQ(a.agent->role(), IceRole::Controlled);
}

TEST(IceAgentRoles, ResponsesWithoutValidIntegrityAreIgnored) {
  Peer a(loopbackConfig());
  FakePeer fake;
  a.agent->setRole(IceRole::Controlling);
  a.agent->setRemoteCredentials(fake.ufrag, fake.password);
  ASSERT_TRUE(a.agent->addRemoteCandidate(fake.candidate()));
  a.agent->gather();
  auto check = fake.receiveRequest();
  ASSERT_TRUE(check);
  StunMessage forged(StunClass::SuccessResponse, stun::kBinding, check->transactionId());
  forged.addAddress(stun::kXorMappedAddress, a.candidates[0].address);
  fake.send(a.candidates[0].address, forged, "some-other-password-entirely");
  // A malformed request sent after the forgery is answered (400) without touching any pair; once
  // that answer is back, the agent has dealt with the forgery that came before it.
  StunMessage probe(StunClass::Request, stun::kBinding);
  fake.send(a.candidates[0].address, probe, fake.password);
  auto probeAnswer = fake.receiveResponse();
  ASSERT_TRUE(probeAnswer);
  ASSERT_EQ(probeAnswer->transactionId(), probe.transactionId());
  ASSERT_TRUE(probeAnswer->getError());
  EXPECT_EQ(probeAnswer->getError()->code, 400);
  EXPECT_NE(a.agent->state(), IceState::Connected);
  EXPECT_FALSE(a.agent->selectedPair());
  // The genuine answer to a retransmission makes the pair work.
  StunMessage genuine(StunClass::SuccessResponse, stun::kBinding, check->transactionId());
  genuine.addAddress(stun::kXorMappedAddress, a.candidates[0].address);
  fake.send(a.candidates[0].address, genuine, fake.password);
  ASSERT_TRUE(a.waitFor([&] { return a.agent->selectedPair().has_value(); }, 3s)) << toString(a.agent->state());
}

TEST(IceAgentConsent, DisconnectedPairRecoversWhenAnswersResume) {
  auto config = loopbackConfig();
  config.timings.disconnectedTimeout = 600ms;
  config.timings.consentTimeout = 10000ms;
  Peer a(config);
  FakePeer fake;
  a.agent->setRole(IceRole::Controlling);
  a.agent->setRemoteCredentials(fake.ufrag, fake.password);
  ASSERT_TRUE(a.agent->addRemoteCandidate(fake.candidate()));
  a.agent->gather();
  ASSERT_TRUE(a.waitFor([&] { return !a.candidates.empty(); }));
  std::atomic<bool> answering{true}, stop{false};
  std::atomic<int> useCandidateSeen{0};
  std::thread responder([&] {
    while (!stop) {
      auto r = fake.receive(100ms);
      if (!r || !r->first.isRequest()) continue;
      if (r->first.has(stun::kUseCandidate)) ++useCandidateSeen;
      if (!answering) continue;
      StunMessage ok(StunClass::SuccessResponse, stun::kBinding, r->first.transactionId());
      ok.addAddress(stun::kXorMappedAddress, r->second);
      fake.send(r->second, ok, fake.password);
    }
  });
  EXPECT_TRUE(a.waitState(IceState::Completed));
  EXPECT_GE(useCandidateSeen, 1);  // regular nomination sent USE-CANDIDATE
  answering = false;
  EXPECT_TRUE(a.waitState(IceState::Disconnected));
  answering = true;
  EXPECT_TRUE(a.waitFor([&] { return !a.states.empty() && a.states.back() == IceState::Completed; }));
  stop = true;
  responder.join();
  auto states = a.stateCopy();
  EXPECT_EQ(std::count(states.begin(), states.end(), IceState::Failed), 0);
}

TEST(IceAgentData, DataFromAPeerThatSentAnAuthenticatedCheckIsDeliveredBeforeOurOwnCheckSucceeds) {
  Peer a(loopbackConfig());
  FakePeer fake, impostor, unfingerprinted;
  a.agent->setRole(IceRole::Controlled);
  a.agent->setRemoteCredentials(fake.ufrag, fake.password);
  a.agent->gather();
  ASSERT_TRUE(a.waitFor([&] { return !a.candidates.empty(); }));
  auto target = a.candidates[0].address;
  auto check = [&](const std::string& key, bool fingerprint) {
    StunMessage request(StunClass::Request, stun::kBinding);
    request.addString(stun::kUsername, a.agent->localUfrag() + ":" + fake.ufrag);
    request.addUint32(stun::kPriority, 1000);
    request.addUint64(stun::kIceControlling, 1);
    StunMessage::EncodeOptions o;
    o.integrity = StunMessage::Integrity::Sha1;
    o.key = {reinterpret_cast<const uint8_t*>(key.data()), key.size()};
    o.fingerprint = fingerprint;
    return request.encode(o);
  };
  auto answered = [](FakePeer& p) -> std::optional<StunClass> {
    auto r = p.receiveResponse();
    if (!r) return std::nullopt;
    return r->messageClass();
  };
  // Checks with the wrong password, or without FINGERPRINT, do not open the door to data.
  impostor.socket->sendTo(target, check("the-wrong-password-for-a", true));
  ASSERT_EQ(answered(impostor), StunClass::ErrorResponse);
  unfingerprinted.socket->sendTo(target, check(a.agent->localPassword(), false));
  ASSERT_TRUE(answered(unfingerprinted));
  // The real peer's check is answered; the agent's own check towards it is never answered here,
  // as when the remote side's check got through first.
  fake.socket->sendTo(target, check(a.agent->localPassword(), true));
  ASSERT_EQ(answered(fake), StunClass::SuccessResponse);
  EXPECT_FALSE(a.agent->selectedPair());
  auto stranger = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  ASSERT_TRUE(stranger);
  stranger->sendTo(target, dtlsLike(7));
  impostor.socket->sendTo(target, dtlsLike(8));
  unfingerprinted.socket->sendTo(target, dtlsLike(9));
  auto flight = dtlsLike(1, 300);
  fake.socket->sendTo(target, flight);
  ASSERT_TRUE(a.waitReceived(1));
  // Same socket, same order: the strangers' datagrams were handled before the peer's.
  auto got = a.receivedCopy();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], flight);
}
