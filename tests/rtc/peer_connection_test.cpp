// Two peer connections in one process over loopback: negotiation, data channels, closing, failure.
#include "peer_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace rtc;
using namespace rtc::test;
using State = PeerConnection::State;

namespace {

DataChannelInit unorderedNoRetransmit() {
    DataChannelInit init;
    init.reliability.unordered = true;
    init.reliability.maxRetransmits = 0;
    return init;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string textOf(const message_variant& m) {
    auto* s = std::get_if<std::string>(&m);
    return s ? *s : "<binary>";
}

binary binaryOf(const message_variant& m) {
    auto* b = std::get_if<binary>(&m);
    return b ? *b : binary{};
}

// Replaces the first fingerprint digit pair so the certificate no longer matches.
std::string tamperFingerprint(const std::string& sdp) {
    auto at = sdp.find("a=fingerprint:sha-256 ");
    if (at == std::string::npos)
        return sdp;
    std::string out = sdp;
    size_t digit = at + std::string("a=fingerprint:sha-256 ").size();
    out[digit] = out[digit] == '0' ? '1' : '0';
    return out;
}

} // namespace

TEST(PeerConnection, BothReliabilityKindsOpenAndCarryMessagesBothWays) {
    PeerPair pair;
    auto control = pair.offerer.pc->createDataChannel("murel.control.v1");
    auto pointer = pair.offerer.pc->createDataChannel("murel.pointer.v1", unorderedNoRetransmit());
    DataChannelInit timed;
    timed.reliability.maxPacketLifeTime = std::chrono::milliseconds(150);
    timed.protocol = "timed-proto";
    auto lifetime = pair.offerer.pc->createDataChannel("timed", timed);
    auto controlEvents = ChannelEvents::attach(control);
    auto pointerEvents = ChannelEvents::attach(pointer);
    EXPECT_FALSE(control->isOpen());
    EXPECT_THROW(control->send(std::string("early")), std::runtime_error);

    pair.offer();
    ASSERT_TRUE(pair.waitConnected());
    ASSERT_TRUE(controlEvents->opened.waitCount(1));
    ASSERT_TRUE(pointerEvents->opened.waitCount(1));
    ASSERT_TRUE(pair.answerer.events->channels.waitCount(3));
    auto remote = byLabel(pair.answerer.events->channels.snapshot());
    ASSERT_EQ(remote.size(), 3u);
    ASSERT_TRUE(remote["timed"]);
    EXPECT_EQ(remote["timed"]->reliability().maxPacketLifeTime, std::chrono::milliseconds(150));
    EXPECT_FALSE(remote["timed"]->reliability().maxRetransmits);
    EXPECT_EQ(remote["timed"]->protocol(), "timed-proto");
    auto remoteControl = remote["murel.control.v1"];
    auto remotePointer = remote["murel.pointer.v1"];
    ASSERT_TRUE(remoteControl && remotePointer);
    EXPECT_FALSE(remoteControl->reliability().unordered);
    EXPECT_FALSE(remoteControl->reliability().maxRetransmits);
    EXPECT_FALSE(remoteControl->reliability().maxPacketLifeTime);
    EXPECT_TRUE(remotePointer->reliability().unordered);
    EXPECT_EQ(remotePointer->reliability().maxRetransmits, 0u);
    EXPECT_FALSE(remotePointer->reliability().maxPacketLifeTime);
    // The offerer took the server role (the answerer answered active): odd stream ids.
    EXPECT_EQ(control->id().value_or(0) % 2, 1);
    EXPECT_EQ(remoteControl->id(), control->id());

    auto remoteControlEvents = ChannelEvents::attach(remoteControl);
    auto remotePointerEvents = ChannelEvents::attach(remotePointer);
    EXPECT_TRUE(control->send(std::string("hello")));
    EXPECT_TRUE(pointer->send(pattern(300, 1)));
    ASSERT_TRUE(remoteControlEvents->messages.waitCount(1));
    ASSERT_TRUE(remotePointerEvents->messages.waitCount(1));
    EXPECT_EQ(textOf(remoteControlEvents->messages.snapshot()[0]), "hello");
    EXPECT_EQ(binaryOf(remotePointerEvents->messages.snapshot()[0]), pattern(300, 1));

    EXPECT_TRUE(remoteControl->send(pattern(10, 2)));
    EXPECT_TRUE(remotePointer->send(std::string("back")));
    ASSERT_TRUE(controlEvents->messages.waitCount(1));
    ASSERT_TRUE(pointerEvents->messages.waitCount(1));
    EXPECT_EQ(binaryOf(controlEvents->messages.snapshot()[0]), pattern(10, 2));
    EXPECT_EQ(textOf(pointerEvents->messages.snapshot()[0]), "back");
    EXPECT_TRUE(controlEvents->errors.snapshot().empty());

    // The states went forward only: connecting, then connected, and nothing else.
    auto states = pair.offerer.events->states.snapshot();
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[0], State::Connecting);
    EXPECT_EQ(states[1], State::Connected);
    EXPECT_EQ(pair.offerer.pc->state(), State::Connected);
}

TEST(PeerConnection, DescriptionsCarryTheTransportAndCandidatesTrickle) {
    PeerPair pair(loopbackConfig(4096), loopbackConfig());
    auto channel = pair.offerer.pc->createDataChannel("c");
    pair.offer();
    ASSERT_TRUE(pair.waitConnected());
    ASSERT_TRUE(pair.offerer.events->descriptions.waitCount(1));
    ASSERT_TRUE(pair.answerer.events->descriptions.waitCount(1));
    auto offer = pair.offerer.events->descriptions.snapshot()[0];
    auto answer = pair.answerer.events->descriptions.snapshot()[0];
    EXPECT_EQ(offer.type(), Description::Type::Offer);
    EXPECT_EQ(answer.type(), Description::Type::Answer);
    std::string offerText = offer.generateSdp();
    std::string answerText = answer.generateSdp();
    for (const auto* text : {&offerText, &answerText}) {
        EXPECT_TRUE(contains(*text, "a=group:BUNDLE")) << *text;
        EXPECT_TRUE(contains(*text, "m=application")) << *text;
        EXPECT_TRUE(contains(*text, "a=ice-ufrag:")) << *text;
        EXPECT_TRUE(contains(*text, "a=ice-pwd:")) << *text;
        EXPECT_TRUE(contains(*text, "a=fingerprint:sha-256 ")) << *text;
        EXPECT_TRUE(contains(*text, "a=sctp-port:5000")) << *text;
    }
    EXPECT_TRUE(contains(offerText, "a=setup:actpass"));
    EXPECT_TRUE(contains(answerText, "a=setup:active"));
    EXPECT_TRUE(contains(offerText, "a=max-message-size:4096"));
    EXPECT_TRUE(contains(answerText, "a=max-message-size:262144"));

    // Candidates trickled with the bundle's mid; the stored description gathers them and, once
    // gathering completed, ends them.
    ASSERT_TRUE(pair.offerer.events->candidates.waitCount(1));
    auto candidate = pair.offerer.events->candidates.snapshot()[0];
    EXPECT_EQ(candidate.mid(), offer.bundleMid());
    EXPECT_TRUE(contains(candidate.candidate(), "127.0.0.1"));
    ASSERT_TRUE(pair.offerer.events->gathering.waitFor([](const auto& g) {
        return std::find(g.begin(), g.end(), PeerConnection::GatheringState::Complete) != g.end();
    }));
    auto local = pair.offerer.pc->localDescription();
    ASSERT_TRUE(local);
    EXPECT_TRUE(local->ended());
    EXPECT_TRUE(local->hasCandidate(candidate));
    EXPECT_TRUE(contains(local->generateSdp(), "a=end-of-candidates"));
    EXPECT_GE(pair.answerer.pc->remoteCandidateCount(), 1u);

    // Each side's channels are bounded by what the other announced.
    ASSERT_TRUE(pair.answerer.events->channels.waitCount(1));
    EXPECT_EQ(pair.answerer.events->channels.snapshot()[0]->maxMessageSize(), 4096u);
    EXPECT_EQ(channel->maxMessageSize(), 262144u);
}

TEST(PeerConnection, MessagesUpToTheLimitArriveWholeInOrderAndLargerAreRefused) {
    PeerPair pair(loopbackConfig(4096), loopbackConfig(4096));
    auto channel = pair.offerer.pc->createDataChannel("limit");
    auto local = ChannelEvents::attach(channel);
    pair.offer();
    ASSERT_TRUE(local->opened.waitCount(1));
    ASSERT_TRUE(pair.answerer.events->channels.waitCount(1));
    auto remote = pair.answerer.events->channels.snapshot()[0];
    auto events = ChannelEvents::attach(remote);
    EXPECT_EQ(channel->maxMessageSize(), 4096u);

    EXPECT_TRUE(channel->send(pattern(4096, 7)));
    EXPECT_THROW(channel->send(pattern(4097, 8)), std::invalid_argument);
    EXPECT_THROW(channel->send(std::string(4097, 'x')), std::invalid_argument);
    EXPECT_THROW(remote->send(pattern(4097, 8)), std::invalid_argument);
    // Many messages of varying size keep their order and content.
    constexpr unsigned kCount = 400;
    for (unsigned i = 0; i < kCount; ++i) {
        size_t size = (i * 97) % 4097;
        ASSERT_TRUE(channel->send(pattern(size, i)));
    }
    ASSERT_TRUE(events->messages.waitCount(kCount + 1));
    auto messages = events->messages.snapshot();
    ASSERT_EQ(messages.size(), kCount + 1);
    EXPECT_EQ(binaryOf(messages[0]), pattern(4096, 7));
    for (unsigned i = 0; i < kCount; ++i)
        ASSERT_EQ(binaryOf(messages[i + 1]), pattern((i * 97) % 4097, i)) << i;
    EXPECT_TRUE(events->errors.snapshot().empty());
    EXPECT_TRUE(channel->isOpen());
}

TEST(PeerConnection, ClosingEitherSideIsSeenByTheOther) {
    for (bool offererCloses : {true, false}) {
        SCOPED_TRACE(offererCloses ? "offerer closes" : "answerer closes");
        PeerPair pair;
        auto channel = pair.offerer.pc->createDataChannel("c");
        auto local = ChannelEvents::attach(channel);
        pair.offer();
        ASSERT_TRUE(local->opened.waitCount(1));
        ASSERT_TRUE(pair.answerer.events->channels.waitCount(1));
        auto remote = pair.answerer.events->channels.snapshot()[0];
        auto remoteEvents = ChannelEvents::attach(remote);

        auto& closer = offererCloses ? pair.offerer : pair.answerer;
        auto& other = offererCloses ? pair.answerer : pair.offerer;
        auto& otherChannel = offererCloses ? remoteEvents : local;
        closer.pc->close();
        EXPECT_EQ(closer.pc->state(), State::Closed);
        ASSERT_TRUE(other.events->waitState(State::Closed));
        ASSERT_TRUE(otherChannel->closed.waitCount(1));
        EXPECT_FALSE(other.events->sawState(State::Failed));
        EXPECT_TRUE((offererCloses ? remote : channel)->isClosed());
        EXPECT_THROW((offererCloses ? remote : channel)->send(std::string("late")), std::runtime_error);
        // Closed is final: a second close does nothing, negotiation is refused.
        closer.pc->close();
        EXPECT_THROW(closer.pc->setLocalDescription(), std::logic_error);
        EXPECT_THROW(closer.pc->createDataChannel("x"), std::logic_error);
    }
}

TEST(PeerConnection, ClosingOneChannelLeavesTheConnectionUp) {
    PeerPair pair;
    auto first = pair.offerer.pc->createDataChannel("first");
    auto second = pair.offerer.pc->createDataChannel("second");
    auto firstEvents = ChannelEvents::attach(first);
    auto secondEvents = ChannelEvents::attach(second);
    pair.offer();
    ASSERT_TRUE(firstEvents->opened.waitCount(1));
    ASSERT_TRUE(secondEvents->opened.waitCount(1));
    ASSERT_TRUE(pair.answerer.events->channels.waitCount(2));
    auto remote = byLabel(pair.answerer.events->channels.snapshot());
    auto remoteFirst = ChannelEvents::attach(remote["first"]);
    auto remoteSecond = ChannelEvents::attach(remote["second"]);
    remote["first"]->close();
    ASSERT_TRUE(firstEvents->closed.waitCount(1));
    ASSERT_TRUE(remoteFirst->closed.waitCount(1));
    EXPECT_TRUE(second->send(std::string("still here")));
    ASSERT_TRUE(remoteSecond->messages.waitCount(1));
    EXPECT_EQ(pair.offerer.pc->state(), State::Connected);
    // A channel created after the connection is up opens too.
    auto late = pair.answerer.pc->createDataChannel("late");
    auto lateEvents = ChannelEvents::attach(late);
    ASSERT_TRUE(lateEvents->opened.waitCount(1));
    EXPECT_EQ(late->id().value_or(1) % 2, 0); // the answerer is the DTLS client: even ids
    ASSERT_TRUE(pair.offerer.events->channels.waitCount(1));
    EXPECT_EQ(pair.offerer.events->channels.snapshot()[0]->label(), "late");
}

TEST(PeerConnection, AFingerprintThatDoesNotMatchTheCertificateFails) {
    for (bool tamperAnswer : {true, false}) {
        SCOPED_TRACE(tamperAnswer ? "answer tampered" : "offer tampered");
        PeerPair pair(loopbackConfig(), loopbackConfig(), true, tamperAnswer ? nullptr : tamperFingerprint,
                      tamperAnswer ? tamperFingerprint : nullptr);
        auto channel = pair.offerer.pc->createDataChannel("c");
        auto events = ChannelEvents::attach(channel);
        pair.offer();
        // The side that holds the tampered fingerprint refuses the peer's certificate.
        auto& victim = tamperAnswer ? pair.offerer : pair.answerer;
        ASSERT_TRUE(victim.events->waitState(State::Failed));
        EXPECT_FALSE(victim.events->sawState(State::Connected));
        EXPECT_FALSE(channel->isOpen());
        EXPECT_TRUE(events->opened.snapshot().empty());
        EXPECT_TRUE(pair.answerer.events->channels.snapshot().empty());
    }
}

TEST(PeerConnection, TrickledCandidatesBeforeAndAfterTheRemoteDescriptionConnect) {
    // Signaling by hand: each side's candidates reach the other before its description.
    PeerPair pair(loopbackConfig(), loopbackConfig(), false);
    auto channel = pair.offerer.pc->createDataChannel("c");
    auto events = ChannelEvents::attach(channel);
    pair.offer();
    ASSERT_TRUE(pair.offerer.events->descriptions.waitCount(1));
    ASSERT_TRUE(pair.offerer.events->candidates.waitCount(1));
    for (auto& c : pair.offerer.events->candidates.snapshot())
        pair.answerer.pc->addRemoteCandidate(c);
    EXPECT_FALSE(pair.answerer.pc->remoteDescription());
    EXPECT_GE(pair.answerer.pc->remoteCandidateCount(), 1u);
    auto offer = pair.offerer.events->descriptions.snapshot()[0];
    pair.answerer.pc->setRemoteDescription(Description(offer.generateSdp(), "offer"));
    // The early candidate is part of the remote description now.
    EXPECT_TRUE(pair.answerer.pc->remoteDescription()->hasCandidate(pair.offerer.events->candidates.snapshot()[0]));
    pair.answerer.pc->setLocalDescription();
    ASSERT_TRUE(pair.answerer.events->descriptions.waitCount(1));
    ASSERT_TRUE(pair.answerer.events->candidates.waitCount(1));
    for (auto& c : pair.answerer.events->candidates.snapshot())
        pair.offerer.pc->addRemoteCandidate(c);
    pair.offerer.pc->setRemoteDescription(pair.answerer.events->descriptions.snapshot()[0]);
    ASSERT_TRUE(pair.waitConnected());
    ASSERT_TRUE(events->opened.waitCount(1));

    // Later candidates after the descriptions: repeats are ignored, not counted twice.
    auto before = pair.offerer.pc->remoteCandidateCount();
    for (auto& c : pair.answerer.events->candidates.snapshot())
        pair.offerer.pc->addRemoteCandidate(c);
    EXPECT_EQ(pair.offerer.pc->remoteCandidateCount(), before);
}

TEST(PeerConnection, NegotiationStepsOutOfOrderAreRefused) {
    PeerConnection pc(loopbackConfig());
    EXPECT_THROW(pc.setLocalDescription(Description::Type::Answer), std::logic_error);
    EXPECT_THROW(pc.setLocalDescription(Description::Type::Offer, LocalDescriptionInit{"ufrag", {}}),
                 std::invalid_argument);
    DataChannelInit both;
    both.reliability.maxRetransmits = 1;
    both.reliability.maxPacketLifeTime = std::chrono::milliseconds(10);
    EXPECT_THROW(pc.createDataChannel("x", both), std::invalid_argument);
    DataChannelInit negotiated;
    negotiated.negotiated = true;
    EXPECT_THROW(pc.createDataChannel("x", negotiated), std::invalid_argument);

    PeerConnection other(loopbackConfig());
    other.createDataChannel("c");
    other.setLocalDescription();
    auto offer = *other.localDescription();
    // A description without a fingerprint or ICE credentials is refused before anything changes.
    std::string text = offer.generateSdp();
    auto at = text.find("a=fingerprint:");
    std::string withoutFingerprint = text.substr(0, at) + text.substr(text.find('\n', at) + 1);
    EXPECT_THROW(pc.setRemoteDescription(Description(withoutFingerprint, "offer")), std::invalid_argument);
    EXPECT_FALSE(pc.remoteDescription());
    // An answer while nothing was offered.
    EXPECT_THROW(pc.setRemoteDescription(Description(text, "answer")), std::logic_error);
    pc.setRemoteDescription(offer);
    EXPECT_EQ(pc.signalingState(), PeerConnection::SignalingState::HaveRemoteOffer);
    EXPECT_THROW(pc.setRemoteDescription(offer), std::logic_error);
    pc.setLocalDescription();
    EXPECT_EQ(pc.localDescription()->type(), Description::Type::Answer);
    EXPECT_EQ(pc.signalingState(), PeerConnection::SignalingState::Stable);
    EXPECT_THROW(pc.setLocalDescription(Description::Type::Offer), std::logic_error);
    // A repeated offer while it is pending changes nothing.
    auto first = other.localDescription()->generateSdp();
    other.setLocalDescription(Description::Type::Offer);
    EXPECT_EQ(other.localDescription()->generateSdp(), first);
}

TEST(PeerConnection, DestroyingFromInsideCallbacksNeitherCrashesNorHangs) {
    // From a channel's message callback (network thread) and from a state callback.
    PeerPair pair;
    auto channel = pair.offerer.pc->createDataChannel("c");
    auto events = ChannelEvents::attach(channel);
    pair.offer();
    ASSERT_TRUE(events->opened.waitCount(1));
    ASSERT_TRUE(pair.answerer.events->channels.waitCount(1));
    auto remote = pair.answerer.events->channels.snapshot()[0];

    // The callback holds the last reference to the answerer and drops it.
    auto holder = std::make_shared<std::shared_ptr<PeerConnection>>(std::move(pair.answerer.pc));
    auto destroyed = std::make_shared<Recorder<int>>();
    std::weak_ptr<PeerConnection> weakAnswerer = *holder;
    remote->onMessage([holder, destroyed](message_variant) {
        if (*holder) {
            holder->reset();
            destroyed->record(1);
        }
    });
    EXPECT_TRUE(channel->send(std::string("go")));
    ASSERT_TRUE(destroyed->waitCount(1));
    ASSERT_TRUE(pair.offerer.events->waitState(State::Closed));
    ASSERT_TRUE(impl::test::eventually([&] { return weakAnswerer.expired(); }));

    // The offerer is destroyed from its own state callback.
    auto offererHolder = std::make_shared<std::shared_ptr<PeerConnection>>();
    auto gone = std::make_shared<Recorder<int>>();
    {
        Configuration config = loopbackConfig();
        auto a = std::make_shared<PeerConnection>(config);
        auto b = std::make_shared<PeerConnection>(config);
        Side sa{a}, sb{b};
        wire(sa, b);
        wire(sb, a);
        *offererHolder = a;
        a->onStateChange([offererHolder, gone](State s) {
            if (s == State::Connected && *offererHolder) {
                offererHolder->reset();
                gone->record(1);
            }
        });
        a->createDataChannel("c");
        a->setLocalDescription();
        a.reset();
        sa.pc.reset(); // the state callback holds the only reference now
        ASSERT_TRUE(gone->waitCount(1));
        ASSERT_TRUE(sb.events->waitState(State::Closed));
        b->resetCallbacks();
    }
}

TEST(PeerConnection, CloseAndDestructionWithCallbacksInFlightDoNotDeadlock) {
    PeerPair pair;
    auto channel = pair.offerer.pc->createDataChannel("c");
    auto events = ChannelEvents::attach(channel);
    pair.offer();
    ASSERT_TRUE(events->opened.waitCount(1));
    ASSERT_TRUE(pair.answerer.events->channels.waitCount(1));
    auto remote = pair.answerer.events->channels.snapshot()[0];

    // The answerer's message callback is running (network thread) and calls back into the
    // connection and the channel while another thread closes and destroys that connection.
    auto entered = std::make_shared<Recorder<int>>();
    auto release = std::make_shared<std::promise<void>>();
    auto released = release->get_future().share();
    auto calls = std::make_shared<std::atomic<int>>(0);
    std::weak_ptr<PeerConnection> weakAnswerer = pair.answerer.pc;
    std::weak_ptr<DataChannel> weakRemote = remote;
    remote->onMessage([=](message_variant) {
        entered->record(1);
        released.wait();
        if (auto pc = weakAnswerer.lock()) {
            (void)pc->state();
            (void)pc->localDescription();
        }
        if (auto c = weakRemote.lock()) {
            try {
                c->send(std::string("echo"));
            } catch (const std::exception&) {
            }
        }
        ++*calls;
    });
    EXPECT_TRUE(channel->send(std::string("one")));
    ASSERT_TRUE(entered->waitCount(1));
    auto answerer = std::move(pair.answerer.pc);
    // close() must not need anything the running callback holds; it waits for it to return.
    std::thread closer([&] { answerer->close(); });
    release->set_value();
    ASSERT_TRUE(finishes([&] { closer.join(); }));
    EXPECT_EQ(calls->load(), 1);
    ASSERT_TRUE(finishes([&] { answerer.reset(); }));

    // The offerer is destroyed while its connection-level callbacks keep coming.
    auto states = std::make_shared<std::atomic<int>>(0);
    pair.offerer.pc->onStateChange([states](State) { ++*states; });
    ASSERT_TRUE(finishes([&] { pair.offerer.pc.reset(); }));
}

TEST(PeerConnection, ManyConnectionsComeAndGoWithoutLeakingThreadsOrSockets) {
    // Set-up and tear-down repeated: every connection reaches connected and goes away cleanly.
    for (int round = 0; round < 5; ++round) {
        PeerPair pair;
        auto channel = pair.offerer.pc->createDataChannel("c");
        auto events = ChannelEvents::attach(channel);
        pair.offer();
        ASSERT_TRUE(events->opened.waitCount(1)) << round;
    }
}
