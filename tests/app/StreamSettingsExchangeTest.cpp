// The stream-settings exchange on its own: what each role sends and accepts, the seen-id set, the
// 15 s limit and the routing of tagged renegotiation signals.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/StreamSettingsExchange.hpp"

#include "ErrorOf.hpp"

namespace murel::app::test {
namespace {

using murel::test::errorOf;

// Request ids 00000001-..., 00000002-..., in order.
GuidSource countingIds() {
    auto next = std::make_shared<std::uint32_t>(0);
    return [next]() -> std::optional<Guid> {
        Guid guid;
        guid.data1 = ++*next;
        guid.data4[7] = 0xab;
        return guid;
    };
}

class FakeLink final : public StreamSettingsLink {
public:
    bool sendControl(std::string_view message) override {
        if (refuseSends) return false;
        sent.push_back(Json::parse(message));
        return true;
    }
    const std::optional<StreamModes>& ownModes() override { return modes; }
    void rebuildMedia(const StreamConfiguration& configuration, const std::string& requestId) override {
        if (!rebuildFailure.empty()) throw ProtocolError(rebuildFailure);
        rebuilt.push_back({configuration, requestId});
        if (exchange) exchange->setApplied(configuration, requestId);
    }
    void renegotiate() override { ++renegotiations; }

    std::vector<std::string> kinds() const {
        std::vector<std::string> out;
        for (const Json& message : sent) out.push_back(message.at("kind").get<std::string>());
        return out;
    }

    StreamSettingsExchange* exchange = nullptr;  // rebuildMedia installs the media as createMedia does
    bool refuseSends = false;
    std::optional<StreamModes> modes;
    std::string rebuildFailure;
    std::vector<Json> sent;
    std::vector<std::pair<StreamConfiguration, std::string>> rebuilt;
    int renegotiations = 0;
};

constexpr std::int64_t kNow = 50000;
const std::string kIdA = "0A1B2C3D-0000-1111-2222-333344445555";
const std::string kIdB = "0A1B2C3D-0000-1111-2222-333344446666";

// One of the modes a 1920 x 1080 display at 60 Hz offers.
StreamConfiguration mode1080p30() {
    StreamConfiguration configuration;
    configuration.fps = 30;
    configuration.maxBitrateBps = 10000000;
    configuration.hasHeight = true;
    return configuration;
}

std::string configure(const std::string& id, const StreamConfiguration& configuration) {
    return toCompactJson(Json{{"kind", "stream.configure"},
                              {"requestID", id},
                              {"configuration", streamConfigurationJson(configuration, configuration.hasHeight)}});
}

std::string answer(const char* kind, const std::string& id) {
    return toCompactJson(Json{{"kind", kind}, {"requestID", id}});
}

class HostExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        link.exchange = &exchange;
        link.modes = buildStreamModes(1920, 1080, 60);
    }
    StreamMessageOutcome receive(const std::string& bytes, std::int32_t channel = 0) {
        return exchange.handleMessage(bytes, channel, true, kNow, link);
    }

    StreamSettingsExchange exchange{countingIds()};
    FakeLink link;
};

TEST_F(HostExchangeTest, AdvertisesCapabilitiesThenModesAndReportsRefusedSends) {
    exchange.advertise(link);
    ASSERT_EQ(link.kinds(), (std::vector<std::string>{"stream.capabilities", "stream.modes"}));
    EXPECT_EQ(link.sent[0], Json({{"kind", "stream.capabilities"}}));
    EXPECT_EQ(parseStreamModes(link.sent[1]), *link.modes);

    link.sent.clear();
    link.modes.reset();
    exchange.advertise(link);
    EXPECT_EQ(link.kinds(), std::vector<std::string>{"stream.capabilities"});

    link.refuseSends = true;
    EXPECT_EQ(errorOf([&] { exchange.advertise(link); }), "Could not advertise stream settings");

    // Capabilities go through, the modes do not.
    struct ModesRefused final : StreamSettingsLink {
        std::optional<StreamModes> modes = buildStreamModes(1920, 1080, 60);
        bool sendControl(std::string_view message) override { return message.find("stream.modes") == message.npos; }
        const std::optional<StreamModes>& ownModes() override { return modes; }
        void rebuildMedia(const StreamConfiguration&, const std::string&) override {}
        void renegotiate() override {}
    } modesRefused;
    EXPECT_EQ(errorOf([&] { exchange.advertise(modesRefused); }), "Could not advertise stream modes");
}

TEST_F(HostExchangeTest, AcceptedRequestRebuildsRenegotiatesAndIsAcknowledgedWhenTheChannelsOpen) {
    EXPECT_EQ(receive(configure(kIdA, mode1080p30())), StreamMessageOutcome::Consumed);
    ASSERT_EQ(link.rebuilt.size(), 1u);
    EXPECT_EQ(link.rebuilt[0].first, mode1080p30());
    EXPECT_EQ(link.rebuilt[0].second, kIdA);
    EXPECT_EQ(link.renegotiations, 1);
    EXPECT_TRUE(link.sent.empty());
    ASSERT_TRUE(exchange.pending());
    EXPECT_EQ(exchange.pending()->deadlineMs, kNow + 15000);

    // A second request while the first is being applied is dropped without reply.
    EXPECT_EQ(receive(configure(kIdB, mode1080p30())), StreamMessageOutcome::Consumed);
    EXPECT_EQ(link.rebuilt.size(), 1u);
    EXPECT_TRUE(link.sent.empty());

    exchange.channelsOpen(link);
    ASSERT_EQ(link.kinds(), (std::vector<std::string>{"stream.applied", "stream.capabilities", "stream.modes"}));
    EXPECT_EQ(link.sent[0], Json({{"kind", "stream.applied"}, {"requestID", kIdA}}));
    EXPECT_FALSE(exchange.pending());

    link.sent.clear();
    exchange.channelsOpen(link);  // later openings only advertise
    EXPECT_EQ(link.kinds(), (std::vector<std::string>{"stream.capabilities", "stream.modes"}));
}

TEST_F(HostExchangeTest, ChannelsOfOlderMediaDoNotAcknowledgeAndARefusedAcknowledgementFails) {
    receive(configure(kIdA, mode1080p30()));
    exchange.setApplied(StreamConfiguration{}, "");  // channels of media not built for the request
    exchange.channelsOpen(link);
    EXPECT_EQ(link.kinds(), (std::vector<std::string>{"stream.capabilities", "stream.modes"}));
    EXPECT_TRUE(exchange.pending());

    exchange.setApplied(mode1080p30(), kIdA);
    link.refuseSends = true;
    EXPECT_EQ(errorOf([&] { exchange.channelsOpen(link); }), "Could not acknowledge stream settings");
}

TEST_F(HostExchangeTest, RefusedRequestsAnswerRejectedWithTheirIdAndChangeNothing) {
    StreamConfiguration audio = mode1080p30();
    audio.systemAudio = true;
    StreamConfiguration notOffered = mode1080p30();
    notOffered.fps = 50;
    const std::vector<std::string> requests = {
        configure("00000000-0000-0000-0000-000000000001", audio),
        configure("00000000-0000-0000-0000-000000000002", notOffered),
        toCompactJson(Json{{"kind", "stream.configure"},
                           {"requestID", "00000000-0000-0000-0000-000000000003"},
                           {"configuration", Json{{"width", 1280}}}}),
    };
    for (const std::string& request : requests) EXPECT_EQ(receive(request), StreamMessageOutcome::Consumed);
    // The ceiling check already refuses writing that configuration; send its JSON by hand.
    Json above = streamConfigurationJson(mode1080p30(), true);
    above["maxBitrateBps"] = 10000001;
    receive(toCompactJson(Json{{"kind", "stream.configure"},
                               {"requestID", "00000000-0000-0000-0000-000000000004"},
                               {"configuration", above}}));

    ASSERT_EQ(link.sent.size(), 4u);
    for (std::size_t i = 0; i < link.sent.size(); ++i) {
        EXPECT_EQ(link.sent[i], Json({{"kind", "stream.rejected"},
                                      {"requestID", "00000000-0000-0000-0000-00000000000" + std::to_string(i + 1)}}));
    }
    EXPECT_TRUE(link.rebuilt.empty());
    EXPECT_EQ(link.renegotiations, 0);
    EXPECT_FALSE(exchange.pending());
    EXPECT_EQ(exchange.appliedRequestId(), "");

    // Without modes of its own the host takes only the older format.
    link.sent.clear();
    link.modes.reset();
    receive(configure(kIdA, mode1080p30()));
    EXPECT_EQ(link.kinds(), std::vector<std::string>{"stream.rejected"});
    StreamConfiguration older;
    older.fps = 30;
    receive(configure(kIdB, older));
    ASSERT_EQ(link.rebuilt.size(), 1u);
    EXPECT_EQ(link.rebuilt[0].first, older);

    // Media that cannot be built for an acceptable request is refused too.
    StreamSettingsExchange other{countingIds()};
    FakeLink failing;
    failing.rebuildFailure = "No D3D11 hardware H.264 encoder is installed for this adapter";
    failing.modes = buildStreamModes(1920, 1080, 60);
    other.handleMessage(configure(kIdA, mode1080p30()), 0, true, kNow, failing);
    EXPECT_EQ(failing.kinds(), std::vector<std::string>{"stream.rejected"});
    EXPECT_FALSE(other.pending());
    EXPECT_EQ(failing.renegotiations, 0);
}

TEST_F(HostExchangeTest, RepeatsAreAppliedOnceAndOnlySixtyFourIdsAreAnsweredPerSession) {
    // The same request twice (the second in lower case): applied once, the copy gets nothing.
    receive(configure(kIdA, mode1080p30()));
    exchange.channelsOpen(link);
    link.sent.clear();
    std::string lower = kIdA;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    receive(configure(lower, mode1080p30()));
    EXPECT_EQ(link.rebuilt.size(), 1u);
    EXPECT_TRUE(link.sent.empty());

    // 63 more distinct ids are answered (refused: audio), the 65th id is not.
    StreamConfiguration audio = mode1080p30();
    audio.systemAudio = true;
    char id[40];
    for (int i = 1; i <= 64; ++i) {
        std::snprintf(id, sizeof id, "00000000-0000-0000-0000-%012d", i);
        receive(configure(id, audio));
    }
    EXPECT_EQ(link.sent.size(), 63u);
    EXPECT_EQ(link.sent.back().at("requestID"), "00000000-0000-0000-0000-000000000063");

    // A new session starts counting again.
    exchange.reset();
    link.sent.clear();
    receive(configure("00000000-0000-0000-0000-000000000064", audio));
    EXPECT_EQ(link.sent.size(), 1u);
}

TEST_F(HostExchangeTest, OnlyControlChannelObjectsOfStreamKindsAreTaken) {
    const std::string request = configure(kIdA, mode1080p30());
    EXPECT_EQ(receive(request, 1), StreamMessageOutcome::NotStreamSettings);
    EXPECT_EQ(receive(R"({"kind":"key","code":4})"), StreamMessageOutcome::NotStreamSettings);
    EXPECT_EQ(receive(R"({"kind":7})"), StreamMessageOutcome::NotStreamSettings);
    EXPECT_EQ(receive(R"(["stream.configure"])"), StreamMessageOutcome::NotStreamSettings);
    EXPECT_EQ(receive(R"({"kind":"stream.configure")"), StreamMessageOutcome::NotStreamSettings);
    EXPECT_EQ(receive(R"({"kind":"streamX"})"), StreamMessageOutcome::NotStreamSettings);

    // Exactly 4096 bytes is looked at; one more is not.
    std::string padded = R"({"kind":"stream.unknown","pad":")";
    padded += std::string(4096 - padded.size() - 2, 'x') + "\"}";
    ASSERT_EQ(padded.size(), 4096u);
    EXPECT_EQ(receive(padded), StreamMessageOutcome::Consumed);
    padded.insert(padded.size() - 2, "x");
    EXPECT_EQ(receive(padded), StreamMessageOutcome::NotStreamSettings);

    // Messages meant for the viewer, or malformed requests, are consumed and dropped.
    EXPECT_EQ(receive(R"({"kind":"stream.capabilities"})"), StreamMessageOutcome::Consumed);
    EXPECT_EQ(receive(answer("stream.applied", kIdA)), StreamMessageOutcome::Consumed);
    Json extra = Json::parse(request);
    extra["more"] = 1;
    EXPECT_EQ(receive(toCompactJson(extra)), StreamMessageOutcome::Consumed);
    Json braces = Json::parse(request);
    braces["requestID"] = "{" + kIdA + "}";
    EXPECT_EQ(receive(toCompactJson(braces)), StreamMessageOutcome::Consumed);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_TRUE(link.rebuilt.empty());
    // Neither of the malformed copies used up the id.
    receive(request);
    EXPECT_EQ(link.rebuilt.size(), 1u);
}

class ViewerExchangeTest : public ::testing::Test {
protected:
    StreamMessageOutcome receive(const std::string& bytes) {
        return exchange.handleMessage(bytes, 0, false, kNow, link);
    }
    std::string request(const StreamConfiguration& configuration, bool ready = true) {
        return errorOf([&] { exchange.request(configuration, ready, kNow, link); });
    }
    std::string modes() { return toCompactJson(streamModesJson(buildStreamModes(1920, 1080, 60))); }

    StreamSettingsExchange exchange{countingIds()};
    FakeLink link;
};

TEST_F(ViewerExchangeTest, RequestsNeedAnAdvertisingHostAndAReadySession) {
    StreamConfiguration older;
    older.fps = 30;
    EXPECT_EQ(request(older), "The host has not advertised stream settings");
    EXPECT_EQ(receive(R"({"extra":1,"kind":"stream.capabilities"})"), StreamMessageOutcome::Consumed);
    EXPECT_FALSE(exchange.hostSupportsSettings());
    EXPECT_EQ(request(older), "The host has not advertised stream settings");

    receive(R"({"kind":"stream.capabilities"})");
    EXPECT_TRUE(exchange.hostSupportsSettings());
    EXPECT_EQ(request(older, false), "The host has not advertised stream settings");
    // Without modes only the older format can be asked for.
    EXPECT_EQ(request(mode1080p30()), "Host does not support this stream mode");
    EXPECT_TRUE(link.sent.empty());

    EXPECT_EQ(request(older), "<no error>");
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0], Json({{"kind", "stream.configure"},
                                  {"requestID", "00000001-0000-0000-0000-0000000000AB"},
                                  {"configuration", streamConfigurationJson(older, false)}}));
    EXPECT_FALSE(link.sent[0]["configuration"].contains("height"));
    ASSERT_TRUE(exchange.pending());
    EXPECT_EQ(exchange.pending()->deadlineMs, kNow + 15000);

    EXPECT_EQ(request(older), "A stream settings change is already in progress");
    EXPECT_EQ(link.sent.size(), 1u);
}

TEST_F(ViewerExchangeTest, AdvertisedModesDecideWhatMayBeAskedFor) {
    receive(modes());
    EXPECT_TRUE(exchange.hostSupportsSettings());
    ASSERT_TRUE(exchange.offeredModes());
    StreamConfiguration notOffered = mode1080p30();
    notOffered.width = 1366;
    notOffered.height = 768;
    EXPECT_EQ(request(notOffered), "Stream mode was not offered by the host");

    // A malformed advertisement leaves the known modes in place.
    receive(R"({"kind":"stream.modes","version":2})");
    EXPECT_EQ(exchange.offeredModes(), buildStreamModes(1920, 1080, 60));

    StreamConfiguration full = mode1080p30();
    full.fps = 60;
    full.maxBitrateBps = 20000000;
    EXPECT_EQ(request(full), "<no error>");
    EXPECT_EQ(link.sent.at(0).at("configuration").at("height"), 1080);

    // A refused send leaves nothing pending; a source without ids fails before sending.
    StreamSettingsExchange refusing{countingIds()};
    FakeLink refusingLink;
    refusingLink.refuseSends = true;
    refusing.handleMessage(modes(), 0, false, kNow, refusingLink);
    EXPECT_EQ(errorOf([&] { refusing.request(full, true, kNow, refusingLink); }), "Could not send stream settings");
    EXPECT_FALSE(refusing.pending());

    StreamSettingsExchange noIds{[]() -> std::optional<Guid> { return std::nullopt; }};
    noIds.handleMessage(modes(), 0, false, kNow, link);
    EXPECT_EQ(errorOf([&] { noIds.request(full, true, kNow, link); }), "Cannot create stream settings request");
}

TEST_F(ViewerExchangeTest, RejectionCountsBeforeTheOfferAndAcknowledgementOnlyAfterIt) {
    receive(modes());
    ASSERT_EQ(request(mode1080p30()), "<no error>");
    const std::string id = exchange.pending()->requestId;

    EXPECT_EQ(receive(answer("stream.rejected", kIdA)), StreamMessageOutcome::Consumed);  // not ours
    EXPECT_EQ(receive(toCompactJson(Json{{"kind", "stream.rejected"}, {"requestID", id}, {"x", 1}})),
              StreamMessageOutcome::Consumed);
    EXPECT_EQ(receive(answer("stream.applied", id)), StreamMessageOutcome::Consumed);  // before the offer
    ASSERT_TRUE(exchange.pending());
    EXPECT_EQ(receive(answer("stream.rejected", id)), StreamMessageOutcome::Rejected);
    EXPECT_FALSE(exchange.pending());

    // And the viewer may ask again; this time the tagged offer is taken first.
    ASSERT_EQ(request(mode1080p30()), "<no error>");
    const std::string second = exchange.pending()->requestId;
    EXPECT_NE(second, id);
    exchange.beginRestart();
    EXPECT_EQ(receive(answer("stream.rejected", second)), StreamMessageOutcome::Consumed);
    EXPECT_EQ(receive(answer("stream.applied", second)), StreamMessageOutcome::Applied);
    EXPECT_FALSE(exchange.pending());
}

TEST_F(ViewerExchangeTest, APendingChangeTimesOutOnlyAfterFifteenSeconds) {
    receive(modes());
    EXPECT_FALSE(exchange.timedOut(kNow + 100000));
    request(mode1080p30());
    EXPECT_FALSE(exchange.timedOut(kNow + 15000));
    EXPECT_TRUE(exchange.timedOut(kNow + 15001));
    exchange.reset();
    EXPECT_FALSE(exchange.timedOut(kNow + 15001));
    EXPECT_FALSE(exchange.hostSupportsSettings());
    EXPECT_FALSE(exchange.offeredModes());
}

Json signal(const char* type, const std::string& tag, Json extra = Json::object()) {
    Json payload = std::move(extra);
    if (!tag.empty()) payload["stream_request_id"] = tag;
    return Json{{"type", type}, {"session_id", "session-1"}, {"payload", payload}};
}

Json candidate(const std::string& tag, int line) {
    return signal("ice", tag, Json{{"candidate", "candidate:1 1 udp 1 10.0.0.1 5000 typ host"}, {"line", line}});
}

TEST_F(ViewerExchangeTest, TaggedRestartHoldsEarlyCandidatesAndTakesOnlyTheMatchingOffer) {
    // Untagged signals belong to the first media.
    EXPECT_EQ(exchange.routePeerSignal(signal("offer", "", {{"sdp", "v=0"}}), false).route, PeerSignalRoute::Current);
    EXPECT_EQ(exchange.routePeerSignal(Json{{"type", "offer"}, {"payload", "x"}}, false).route, PeerSignalRoute::Ignore);
    EXPECT_EQ(exchange.routePeerSignal(signal("ice", "", {{"stream_request_id", 5}}), false).route,
              PeerSignalRoute::Ignore);

    receive(modes());
    request(mode1080p30());
    const std::string id = exchange.pending()->requestId;
    // Signals of an unknown request are dropped; the host holds nothing.
    EXPECT_EQ(exchange.routePeerSignal(candidate(kIdA, 0), false).route, PeerSignalRoute::Ignore);
    EXPECT_EQ(exchange.routePeerSignal(candidate(id, 0), true).route, PeerSignalRoute::Ignore);

    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(exchange.routePeerSignal(candidate(id, i % 64), false).route, PeerSignalRoute::Held) << i;
    }
    EXPECT_EQ(exchange.routePeerSignal(candidate(id, 0), false).route, PeerSignalRoute::Ignore);
    EXPECT_EQ(exchange.pending()->heldCandidates.size(), 64u);

    // An offer with another configuration, or none, does not start the restart.
    StreamConfiguration other = mode1080p30();
    other.fps = 60;
    EXPECT_EQ(exchange.routePeerSignal(signal("offer", id, {{"sdp", "v=0"},
                                                            {"stream_configuration", streamConfigurationJson(other, true)}}),
                                       false)
                  .route,
              PeerSignalRoute::Ignore);
    EXPECT_EQ(exchange.routePeerSignal(signal("offer", id, {{"sdp", "v=0"}}), false).route, PeerSignalRoute::Ignore);
    EXPECT_EQ(exchange.routePeerSignal(signal("answer", id, {{"sdp", "v=0"}}), false).route, PeerSignalRoute::Ignore);

    const Json offer = signal("offer", id, {{"sdp", "v=0"}, {"stream_configuration", streamConfigurationJson(mode1080p30(), true)}});
    const PeerSignalDecision decision = exchange.routePeerSignal(offer, false);
    ASSERT_EQ(decision.route, PeerSignalRoute::Restart);
    EXPECT_EQ(decision.requestId, id);
    EXPECT_EQ(decision.configuration, mode1080p30());

    const std::vector<Json> held = exchange.beginRestart();
    ASSERT_EQ(held.size(), 64u);
    EXPECT_EQ(held[5].at("payload").at("line"), 5);
    EXPECT_TRUE(exchange.pending()->offerSeen);
    // Once begun, the restart takes no second offer.
    EXPECT_EQ(exchange.routePeerSignal(offer, false).route, PeerSignalRoute::Ignore);
    // The new media carries the tag: its signals are the current ones from now on.
    exchange.setApplied(mode1080p30(), id);
    EXPECT_EQ(exchange.routePeerSignal(candidate(id, 1), false).route, PeerSignalRoute::Current);
    EXPECT_EQ(exchange.routePeerSignal(candidate("", 1), false).route, PeerSignalRoute::Ignore);
}

TEST_F(ViewerExchangeTest, OversizedEarlyCandidatesAreNotHeld) {
    receive(modes());
    request(mode1080p30());
    const std::string id = exchange.pending()->requestId;
    Json big = candidate(id, 0);
    big["payload"]["candidate"] = "c";
    const std::size_t base = toCompactJson(big).size();
    big["payload"]["candidate"] = std::string(1 + 10239 - base, 'c');
    ASSERT_EQ(toCompactJson(big).size(), 10239u);
    EXPECT_EQ(exchange.routePeerSignal(big, false).route, PeerSignalRoute::Held);
    big["payload"]["candidate"] = big["payload"]["candidate"].get<std::string>() + "c";
    EXPECT_EQ(exchange.routePeerSignal(big, false).route, PeerSignalRoute::Ignore);
    EXPECT_EQ(exchange.pending()->heldCandidates.size(), 1u);
}

}  // namespace
}  // namespace murel::app::test
