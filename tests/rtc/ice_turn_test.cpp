// The TURN client and relay-only ICE against a real coturn on loopback.
#include "ice/IceAgent.hpp"
#include "ice/StunMessage.hpp"
#include "ice/TurnClient.hpp"
#include "rtc/Log.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace rtc::impl;
using namespace std::chrono_literals;

namespace {

const char* kTurnServer = "/usr/bin/turnserver";
const std::string kSecret = "murel-test-secret";

uint16_t freeUdpPort() {
  auto s = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  return s ? s->localAddress().port() : 0;
}

// A coturn process with REST-style shared-secret credentials on an ephemeral loopback port.
class Coturn {
 public:
  explicit Coturn(std::vector<std::string> extra = {}) {
    dir_ = std::filesystem::temp_directory_path() / ("murel-coturn-" + std::to_string(::getpid()) + "-" +
                                                     std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
      port_ = freeUdpPort();
      uint16_t relayBase = static_cast<uint16_t>(20000 + (port_ % 20000));
      std::vector<std::string> args = {
          kTurnServer, "-n", "--no-cli", "--no-tls", "--no-dtls", "--no-tcp", "--listening-ip=127.0.0.1",
          "--relay-ip=127.0.0.1", "--listening-port=" + std::to_string(port_), "--allow-loopback-peers",
          "--use-auth-secret", "--static-auth-secret=" + kSecret, "--realm=murel.test",
          "--min-port=" + std::to_string(relayBase), "--max-port=" + std::to_string(relayBase + 200),
          "--no-stdout-log", "--simple-log", "--log-file=" + (dir_ / "turn.log").string(),
          "--pidfile=" + (dir_ / "turn.pid").string(), "--no-rfc5780", "--no-software-attribute"};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      pid_t parent = ::getpid();
      pid_t pid = ::fork();
      if (pid == 0) {
        // The server dies with the test, even when the test crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::execv(kTurnServer, argv.data());
        ::_exit(127);
      }
      if (pid < 0) continue;
      pid_ = pid;
      if (!waitReady()) stop();
    }
  }
  ~Coturn() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  bool running() const { return pid_ > 0; }
  uint16_t port() const { return port_; }
  Address address() const { return Address::loopback(AddressFamily::V4, port_); }

  static std::pair<std::string, std::string> credentials(const std::string& secret = kSecret) {
    std::string user = std::to_string(std::time(nullptr) + 3600) + ":murel";
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const uint8_t*>(user.data()),
         user.size(), mac, &len);
    std::string b64(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), mac, static_cast<int>(len));
    b64.resize(n);
    return {user, b64};
  }

 private:
  bool waitReady() {
    auto s = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
    SocketPoller poller;
    std::vector<uint8_t> buf(2048);
    for (int i = 0; i < 100; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      StunMessage request(StunClass::Request, stun::kBinding);
      s->sendTo(address(), request.encode());
      poller.wait({s.get()}, 100ms);
      Address from;
      if (auto n = s->receiveFrom(buf, from)) {
        auto m = StunMessage::parse(std::span<const uint8_t>(buf.data(), *n));
        if (m && m->transactionId() == request.transactionId()) return true;
      }
    }
    return false;
  }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(50ms);
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  static inline int counter_ = 0;
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

#define REQUIRE_COTURN(server)                                               \
  if (access(kTurnServer, X_OK) != 0) GTEST_SKIP() << "coturn is not installed"; \
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
  TurnHarness h(server.address(), user, pass);
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

  // A stranger without permission cannot reach us through the relay.
  auto stranger = UdpSocket::open(Address::loopback(AddressFamily::V6), 0, 0);
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
  TurnHarness h(server.address(), user, pass);
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
  Coturn server({"--stale-nonce=1"});
  REQUIRE_COTURN(server);
  auto [user, pass] = Coturn::credentials();
  TurnHarness h(server.address(), user, pass);
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
  Coturn server({"--max-allocate-lifetime=4"});
  REQUIRE_COTURN(server);
  auto [user, pass] = Coturn::credentials();
  TurnHarness h(server.address(), user, pass);
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
  std::mutex m;
  std::condition_variable cv;
  std::vector<IceState> states;
  std::vector<std::vector<uint8_t>> data;
  template <typename Pred>
  bool wait(Pred p, std::chrono::milliseconds t = 20s) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, t, [&] { return p(); });
  }
  bool sawState(IceState s) { return std::find(states.begin(), states.end(), s) != states.end(); }
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
  cb.onStateChange = [&e](IceState s) {
    std::lock_guard lock(e.m);
    e.states.push_back(s);
    e.cv.notify_all();
  };
  cb.onData = [&e](std::span<const uint8_t> d) {
    std::lock_guard lock(e.m);
    e.data.emplace_back(d.begin(), d.end());
    e.cv.notify_all();
  };
  return cb;
}

}  // namespace

TEST(IceAgentCoturn, RelayOnlyAgentsConnectThroughTheRelay) {
  Coturn server;
  REQUIRE_COTURN(server);
  auto [user, pass] = Coturn::credentials();
  Events ea, eb;
  std::unique_ptr<IceAgent> a, b;
  std::mutex forwardMutex;
  std::vector<std::string> aCandidates, bCandidates;
  a = std::make_unique<IceAgent>(relayConfig(server.address(), user, pass), callbacksFor(ea, [&](const IceCandidate& c) {
    std::lock_guard lock(forwardMutex);
    aCandidates.push_back(c.toSdp());
  }));
  b = std::make_unique<IceAgent>(relayConfig(server.address(), user, pass), callbacksFor(eb, [&](const IceCandidate& c) {
    std::lock_guard lock(forwardMutex);
    bCandidates.push_back(c.toSdp());
  }));
  a->setRole(IceRole::Controlling);
  a->setRemoteCredentials(b->localUfrag(), b->localPassword());
  b->setRemoteCredentials(a->localUfrag(), a->localPassword());
  a->gather();
  b->gather();
  // Only relayed candidates are offered.
  auto gathered = [&] {
    std::lock_guard lock(forwardMutex);
    return !aCandidates.empty() && !bCandidates.empty();
  };
  for (int i = 0; i < 200 && !gathered(); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(gathered()) << a->lastError() << " / " << b->lastError();
  {
    std::lock_guard lock(forwardMutex);
    for (auto& c : aCandidates) {
      EXPECT_NE(c.find(" typ relay "), std::string::npos) << c;
      b->addRemoteCandidate(c);
    }
    for (auto& c : bCandidates) {
      EXPECT_NE(c.find(" typ relay "), std::string::npos) << c;
      a->addRemoteCandidate(c);
    }
  }
  ASSERT_TRUE(ea.wait([&] { return ea.sawState(IceState::Completed); })) << a->lastError();
  ASSERT_TRUE(eb.wait([&] { return eb.sawState(IceState::Completed); })) << b->lastError();
  auto pa = a->selectedPair(), pb = b->selectedPair();
  ASSERT_TRUE(pa && pb);
  EXPECT_EQ(pa->first.type, CandidateType::Relayed);
  EXPECT_EQ(pb->first.type, CandidateType::Relayed);

  std::vector<uint8_t> ab(1100, 0x17), ba(300, 0x80);
  ab[0] = 23;
  ASSERT_TRUE(a->send(ab));
  ASSERT_TRUE(b->send(ba));
  ASSERT_TRUE(eb.wait([&] { return !eb.data.empty(); }));
  ASSERT_TRUE(ea.wait([&] { return !ea.data.empty(); }));
  EXPECT_EQ(eb.data[0], ab);
  EXPECT_EQ(ea.data[0], ba);
  a->close();
  b->close();
}

TEST(IceAgentCoturn, WrongTurnCredentialsFailTheAgent) {
  Coturn server;
  REQUIRE_COTURN(server);
  auto [user, pass] = Coturn::credentials("wrong-secret");
  Events e;
  IceAgent agent(relayConfig(server.address(), user, pass), callbacksFor(e, nullptr));
  agent.setRemoteCredentials("abcd", "0123456789012345678901");
  agent.gather();
  ASSERT_TRUE(e.wait([&] { return e.sawState(IceState::Failed); }));
  EXPECT_NE(agent.lastError().find("authentication"), std::string::npos) << agent.lastError();
  auto locals = agent.localCandidates();
  EXPECT_TRUE(std::none_of(locals.begin(), locals.end(), [](auto& c) { return c.type == CandidateType::Relayed; }));
}
