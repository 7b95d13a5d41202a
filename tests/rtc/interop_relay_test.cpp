// Connections that may only go through a TURN relay (coturn on loopback, shared-secret
// credentials): they come up and carry data over the relay; with wrong credentials they fail,
// promptly and without a single candidate.

#include "interop/ChildPeer.hpp"
#include "Coturn.hpp"
#include "interop/LocalPeer.hpp"

#include <gtest/gtest.h>

namespace {

using namespace murel::interop;
using murel::test::Coturn;
using State = rtc::PeerConnection::State;

const std::string kControl = "murel.control.v1";

rtc::Configuration relayOnly(uint16_t port, const std::string& user, const std::string& pass) {
    rtc::Configuration config;
    config.maxMessageSize = 4096;
    config.iceServers.emplace_back("127.0.0.1", port, user, pass, rtc::IceServer::RelayType::TurnUdp);
    config.iceTransportPolicy = rtc::TransportPolicy::Relay;
    return config;
}

class RelayInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Coturn::installed()) GTEST_SKIP() << "coturn is not installed";
        turn = std::make_unique<Coturn>(murel::test::CoturnOptions::relayOnHost());
        ASSERT_TRUE(turn->running()) << "coturn did not start";
    }

    void startChild(const std::string& kind, const json& config = json::object()) {
        if (kind == "aiortc" && !aiortcAvailable()) GTEST_SKIP() << "python3-aiortc is not installed";
        if (kind == "chromium" && !chromiumAvailable()) GTEST_SKIP() << "chromium is not installed";
        child = ChildPeer::start(kind, config);
        ASSERT_TRUE(child->waitEvent("ready")) << child->diagnostics();
    }

    // Offers one reliable channel and waits for it to carry a message both ways.
    void connectAndEcho() {
        auto control = local->createChannel(kControl);
        local->pc->setLocalDescription(rtc::Description::Type::Offer);
        ASSERT_TRUE(local->waitState(State::Connected)) << child->diagnostics();
        ASSERT_TRUE(local->waitOpen(kControl)) << child->diagnostics();
        rtc::binary data = bytesOf("through the relay");
        ASSERT_TRUE(control->send(data));
        auto back = local->nextMessage(kControl);
        ASSERT_TRUE(back) << child->diagnostics();
        EXPECT_EQ(std::get<rtc::binary>(*back), data);
    }

    json selectedPair() {
        child->send({{"cmd", "selected-pair"}});
        auto pair = child->waitEvent("selected-pair");
        if (!pair || pair->value("event", "") != "selected-pair") {
            ADD_FAILURE() << "no selected pair\n" << child->diagnostics();
            return json();
        }
        return *pair;
    }

    void expectOnlyRelayedCandidates() {
        auto candidates = local->localCandidates();
        EXPECT_FALSE(candidates.empty());
        for (auto& c : candidates)
            EXPECT_EQ(c.type(), rtc::Candidate::Type::Relayed) << "a non-relayed candidate left: " << c.candidate();
    }

    void TearDown() override {
        local.reset();
        child.reset();
        turn.reset();
    }

    std::unique_ptr<Coturn> turn;
    std::unique_ptr<ChildPeer> child;
    std::unique_ptr<LocalPeer> local;
};

// We may only use the relay; the other side may use anything. Chromium's view of the pair in use
// shows our side as the relay.
class RelayPolicyInterop : public RelayInterop, public ::testing::WithParamInterface<std::string> {};

TEST_P(RelayPolicyInterop, ConnectsThroughTurn) {
    if (GetParam() == "chromium" && turn->relayIsLoopback())
        GTEST_SKIP() << "no host address for the relay: Chromium does not reach loopback relays from host candidates";
    startChild(GetParam());
    if (IsSkipped() || HasFatalFailure()) return;
    auto [user, pass] = Coturn::credentials();
    local = std::make_unique<LocalPeer>(relayOnly(turn->port(), user, pass), *child);
    connectAndEcho();
    if (HasFatalFailure()) return;
    expectOnlyRelayedCandidates();
    if (GetParam() != "chromium") return;

    auto pair = selectedPair();
    ASSERT_FALSE(pair.is_null());
    EXPECT_EQ(pair["remote"]["candidateType"], "relay") << pair.dump();
    EXPECT_EQ(pair["remote"]["address"], turn->relayAddress()) << pair.dump();
}

INSTANTIATE_TEST_SUITE_P(Peers, RelayPolicyInterop, ::testing::Values("aiortc", "chromium"),
                         [](const auto& info) { return info.param; });

// Both sides relayed through the same server: the data goes relay to relay.
TEST_F(RelayInterop, BothSidesRelayed) {
    auto [user, pass] = Coturn::credentials();
    startChild("chromium",
               {{"iceTransportPolicy", "relay"},
                {"iceServers",
                 {{{"urls", {"turn:127.0.0.1:" + std::to_string(turn->port())}},
                   {"username", user},
                   {"credential", pass}}}}});
    if (IsSkipped() || HasFatalFailure()) return;
    local = std::make_unique<LocalPeer>(relayOnly(turn->port(), user, pass), *child);
    connectAndEcho();
    if (HasFatalFailure()) return;
    expectOnlyRelayedCandidates();

    auto pair = selectedPair();
    ASSERT_FALSE(pair.is_null());
    EXPECT_EQ(pair["local"]["candidateType"], "relay") << pair.dump();
    EXPECT_EQ(pair["remote"]["candidateType"], "relay") << pair.dump();
}

// The server refuses the allocation: gathering ends with nothing to offer and the connection fails
// instead of waiting forever.
TEST_F(RelayInterop, WrongCredentialsFailCleanly) {
    startChild("aiortc");
    if (IsSkipped() || HasFatalFailure()) return;
    auto [user, pass] = Coturn::credentials("not-the-secret");
    local = std::make_unique<LocalPeer>(relayOnly(turn->port(), user, pass), *child);
    auto control = local->createChannel(kControl);
    local->pc->setLocalDescription(rtc::Description::Type::Offer);

    EXPECT_TRUE(local->waitGatheringComplete()) << "gathering never ended";
    EXPECT_TRUE(local->waitState(State::Failed)) << "connection did not fail";
    EXPECT_TRUE(local->localCandidates().empty()) << local->localCandidates().front().candidate();
    for (auto s : local->states()) EXPECT_NE(s, State::Connected);
    EXPECT_FALSE(control->isOpen());
}

}  // namespace
