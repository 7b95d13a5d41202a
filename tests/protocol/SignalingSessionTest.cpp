#include <gtest/gtest.h>

#include "ErrorOf.hpp"

#include <string>
#include <vector>

#include "protocol/SignalingSession.hpp"

namespace murel {
namespace {

const std::string kHost = "host-A";
const std::string kViewer = "viewer_B";
const std::string kSession = "s-1";

using test::errorOf;

Json signal(const std::string& type, const std::string& sessionId, Json payload = Json()) {
    Json m{{"type", type}};
    if (!sessionId.empty()) m["session_id"] = sessionId;
    if (!payload.is_null()) m["payload"] = std::move(payload);
    return m;
}

Json hello(const std::string& deviceId, const std::string& protocol = "murel/1") {
    return signal("hello", "", Json{{"protocol", protocol}, {"device_id", deviceId}});
}

Json start(const std::string& id, const std::string& host, const std::string& client,
           const std::string& envelopeId = "") {
    return signal("session.start", envelopeId.empty() ? id : envelopeId,
                  Json{{"id", id}, {"host_id", host}, {"client_id", client}});
}

Json offer(const std::string& sessionId, const std::string& sdp = "v=0\r\n") {
    return signal("offer", sessionId, Json{{"sdp", sdp}});
}

Json answer(const std::string& sessionId, const std::string& sdp = "v=0\r\n") {
    return signal("answer", sessionId, Json{{"sdp", sdp}});
}

Json ice(const std::string& sessionId, const std::string& candidate = "candidate:1 1 udp 1 10.0.0.1 5000 typ host",
         Json line = 0, Json mid = "0") {
    Json payload{{"candidate", candidate}, {"line", std::move(line)}};
    if (!mid.is_discarded()) payload["mid"] = std::move(mid);
    return signal("ice", sessionId, std::move(payload));
}

SignalEventKind kindOf(SignalingSession& s, const Json& m) { return s.classify(m).kind; }

// A session greeted and in session kSession, as the viewer (client) or the host.
SignalingSession activeSession(bool asHost) {
    SignalingSession s(asHost ? kHost : kViewer);
    EXPECT_EQ(kindOf(s, hello(s.deviceId())), SignalEventKind::Hello);
    EXPECT_EQ(kindOf(s, start(kSession, kHost, kViewer)), SignalEventKind::SessionStart);
    return s;
}

TEST(SignalingSession, HelloChecksIdentityOnce) {
    SignalingSession s(kViewer);
    EXPECT_FALSE(s.helloSeen());
    EXPECT_EQ(errorOf([&] { s.classify(hello(kViewer, "murel/2")); }), "Signaling identity mismatch");
    EXPECT_EQ(errorOf([&] { s.classify(hello(kHost)); }), "Signaling identity mismatch");
    EXPECT_EQ(errorOf([&] { s.classify(signal("hello", "")); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(signal("hello", "", Json::array({1}))); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(signal("hello", "", Json{{"protocol", "murel/1"}})); }),
              "Invalid protocol message");
    EXPECT_EQ(errorOf([&] {
                  s.classify(signal("hello", "", Json{{"protocol", "murel/1"}, {"device_id", 7}}));
              }),
              "Invalid protocol message");
    EXPECT_FALSE(s.helloSeen());  // failures leave the state alone

    const Json valid = hello(kViewer);
    const SignalEvent event = s.classify(valid);
    EXPECT_EQ(event.kind, SignalEventKind::Hello);
    EXPECT_EQ(event.message, valid);
    EXPECT_TRUE(s.helloSeen());
    EXPECT_EQ(errorOf([&] { s.classify(valid); }), "Duplicate signaling hello");
    EXPECT_TRUE(s.helloSeen());
    // The envelope's session_id is ignored for hello.
    SignalingSession other(kViewer);
    Json withId = hello(kViewer);
    withId["session_id"] = "whatever";
    EXPECT_EQ(kindOf(other, withId), SignalEventKind::Hello);
}

TEST(SignalingSession, EnvelopeMembers) {
    SignalingSession s(kViewer);
    EXPECT_EQ(errorOf([&] { s.classify(Json{{"session_id", "x"}}); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(Json{{"type", 1}}); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(signal(std::string(33, 'h'), "")); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(Json{{"type", "error"}, {"session_id", 5}}); }),
              "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(signal("error", std::string(257, 'a'))); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(Json::array({"type", "hello"})); }), "Invalid protocol message");
    // A 256-byte session id and a 32-byte type are fine.
    EXPECT_EQ(kindOf(s, signal("error", std::string(256, 'a'))), SignalEventKind::None);
    ASSERT_EQ(kindOf(s, hello(kViewer)), SignalEventKind::Hello);
    EXPECT_EQ(kindOf(s, signal(std::string(32, 't'), "")), SignalEventKind::None);
    // A null session_id reads as absent.
    EXPECT_EQ(kindOf(s, Json{{"type", "error"}, {"session_id", nullptr}}), SignalEventKind::Error);
}

TEST(SignalingSession, OnlyErrorAndSessionEndPassBeforeHello) {
    SignalingSession s(kViewer);
    EXPECT_EQ(errorOf([&] { s.classify(signal("heartbeat", "")); }), "Signaling hello required");
    EXPECT_EQ(errorOf([&] { s.classify(start(kSession, kHost, kViewer)); }), "Signaling hello required");
    EXPECT_EQ(errorOf([&] { s.classify(offer(kSession)); }), "Signaling hello required");
    EXPECT_EQ(errorOf([&] { s.classify(signal("nonsense", "")); }), "Signaling hello required");
    EXPECT_FALSE(s.session().has_value());

    const Json error = signal("error", "", Json{{"code", "busy"}});
    const SignalEvent event = s.classify(error);
    EXPECT_EQ(event.kind, SignalEventKind::Error);
    EXPECT_EQ(event.message, error);
    const SignalEvent ended = s.classify(signal("session.end", kSession));
    EXPECT_EQ(ended.kind, SignalEventKind::None);
    EXPECT_TRUE(ended.message.is_null());

    ASSERT_EQ(kindOf(s, hello(kViewer)), SignalEventKind::Hello);
    const SignalEvent beat = s.classify(signal("heartbeat", ""));
    EXPECT_EQ(beat.kind, SignalEventKind::None);
    EXPECT_TRUE(beat.message.is_null());
}

TEST(SignalingSession, SessionStartMembership) {
    SignalingSession s(kViewer);
    ASSERT_EQ(kindOf(s, hello(kViewer)), SignalEventKind::Hello);

    EXPECT_EQ(errorOf([&] { s.classify(start(kSession, kHost, kViewer, "s-2")); }),
              "Session membership mismatch");
    EXPECT_EQ(errorOf([&] { s.classify(start(kSession, kHost, "someone-else")); }),
              "Session membership mismatch");
    EXPECT_EQ(errorOf([&] { s.classify(signal("session.start", kSession)); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(start(kSession, kViewer, kViewer)); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(start("s.1", kHost, kViewer)); }), "Invalid identifier");
    EXPECT_EQ(errorOf([&] {
                  s.classify(signal("session.start", kSession, Json{{"id", kSession}, {"host_id", kHost}}));
              }),
              "Invalid protocol message");
    EXPECT_FALSE(s.session().has_value());

    const Json valid = start(kSession, kHost, kViewer);
    const SignalEvent event = s.classify(valid);
    EXPECT_EQ(event.kind, SignalEventKind::SessionStart);
    EXPECT_EQ(event.message, valid);
    ASSERT_TRUE(s.session().has_value());
    EXPECT_EQ(s.session()->id, kSession);
    EXPECT_EQ(s.session()->hostId, kHost);
    EXPECT_EQ(s.session()->clientId, kViewer);
    EXPECT_FALSE(s.isHost());
    EXPECT_FALSE(s.remoteReady());

    // A repeat is ignored; anything else while a session is active is refused and changes nothing.
    const SignalEvent repeat = s.classify(valid);
    EXPECT_EQ(repeat.kind, SignalEventKind::None);
    EXPECT_TRUE(repeat.message.is_null());
    EXPECT_EQ(errorOf([&] { s.classify(start("s-2", kHost, kViewer)); }), "Session already active");
    EXPECT_EQ(errorOf([&] { s.classify(start(kSession, "host-C", kViewer)); }), "Session already active");
    EXPECT_EQ(errorOf([&] { s.classify(start(kSession, kViewer, kHost)); }), "Session already active");
    EXPECT_EQ(s.session()->id, kSession);
    EXPECT_EQ(s.session()->hostId, kHost);

    SignalingSession host(kHost);
    ASSERT_EQ(kindOf(host, hello(kHost)), SignalEventKind::Hello);
    EXPECT_FALSE(host.isHost());  // no session yet
    ASSERT_EQ(kindOf(host, start(kSession, kHost, kViewer)), SignalEventKind::SessionStart);
    EXPECT_TRUE(host.isHost());
}

TEST(SignalingSession, SessionEndAndErrorMatchTheActiveSession) {
    SignalingSession s = activeSession(false);
    EXPECT_EQ(kindOf(s, signal("session.end", "")), SignalEventKind::None);
    EXPECT_EQ(kindOf(s, signal("session.end", "s-2")), SignalEventKind::None);
    EXPECT_TRUE(s.session().has_value());

    EXPECT_EQ(kindOf(s, signal("error", "s-2")), SignalEventKind::None);
    EXPECT_EQ(kindOf(s, signal("error", kSession)), SignalEventKind::Error);
    EXPECT_EQ(kindOf(s, signal("error", "")), SignalEventKind::Error);
    EXPECT_TRUE(s.session().has_value());  // an error does not end the session by itself

    ASSERT_EQ(kindOf(s, ice(kSession)), SignalEventKind::None);  // queued
    ASSERT_EQ(s.queuedCandidateCount(), 1u);
    const Json end = signal("session.end", kSession);
    const SignalEvent event = s.classify(end);
    EXPECT_EQ(event.kind, SignalEventKind::SessionEnd);
    EXPECT_EQ(event.message, end);
    EXPECT_FALSE(s.session().has_value());
    EXPECT_EQ(s.queuedCandidateCount(), 0u);
    EXPECT_FALSE(s.isHost());
    EXPECT_EQ(kindOf(s, end), SignalEventKind::None);  // nothing left to end
    EXPECT_EQ(kindOf(s, signal("error", kSession)), SignalEventKind::None);
    EXPECT_TRUE(s.helloSeen());

    // The next session starts from a clean slate: candidates are held again.
    ASSERT_EQ(s.takeQueuedCandidates(kSession).size(), 0u);
    ASSERT_EQ(kindOf(s, start("s-2", kHost, kViewer)), SignalEventKind::SessionStart);
    ASSERT_TRUE(s.takeQueuedCandidates("s-2").empty());
    EXPECT_TRUE(s.remoteReady());
    ASSERT_EQ(kindOf(s, signal("session.end", "s-2")), SignalEventKind::SessionEnd);
    EXPECT_FALSE(s.remoteReady());
    ASSERT_EQ(kindOf(s, start("s-3", kHost, kViewer)), SignalEventKind::SessionStart);
    EXPECT_EQ(kindOf(s, ice("s-3")), SignalEventKind::None);
    EXPECT_EQ(s.queuedCandidateCount(), 1u);
}

TEST(SignalingSession, DescriptionsFollowTheRole) {
    SignalingSession viewer = activeSession(false);
    SignalingSession host = activeSession(true);
    EXPECT_EQ(errorOf([&] { host.classify(offer(kSession)); }), "Unexpected SDP direction");
    EXPECT_EQ(errorOf([&] { viewer.classify(answer(kSession)); }), "Unexpected SDP direction");

    const Json o = offer(kSession);
    const SignalEvent event = viewer.classify(o);
    EXPECT_EQ(event.kind, SignalEventKind::Description);
    EXPECT_EQ(event.message, o);
    EXPECT_EQ(kindOf(host, answer(kSession)), SignalEventKind::Description);

    // Stale or foreign descriptions are dropped quietly, even malformed ones.
    EXPECT_EQ(kindOf(viewer, offer("s-2")), SignalEventKind::None);
    EXPECT_EQ(kindOf(viewer, offer("")), SignalEventKind::None);
    EXPECT_EQ(kindOf(viewer, signal("offer", "s-2")), SignalEventKind::None);
    SignalingSession idle(kViewer);
    ASSERT_EQ(kindOf(idle, hello(kViewer)), SignalEventKind::Hello);
    EXPECT_EQ(kindOf(idle, offer(kSession)), SignalEventKind::None);

    EXPECT_EQ(errorOf([&] { viewer.classify(offer(kSession, "")); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { viewer.classify(signal("offer", kSession)); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { viewer.classify(signal("offer", kSession, Json::array({"v=0"}))); }),
              "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { viewer.classify(signal("offer", kSession, Json{{"sdp", 1}})); }),
              "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { viewer.classify(signal("offer", kSession, Json{{"type", "offer"}})); }),
              "Invalid protocol message");
}

TEST(SignalingSession, PayloadLimitCountsTheSerialisedPayload) {
    SignalingSession viewer = activeSession(false);
    // {"sdp":"..."} adds 10 bytes around the SDP text.
    const std::string fits(kSignalPayloadLimit - 10, 'a');
    EXPECT_EQ(kindOf(viewer, offer(kSession, fits)), SignalEventKind::Description);
    EXPECT_EQ(errorOf([&] { viewer.classify(offer(kSession, fits + "a")); }), "Invalid protocol message");
    // Escapes count: a CRLF is four bytes once serialised.
    std::string lines;
    while (lines.size() + 2 <= kSignalPayloadLimit - 10 - 2000) lines += "a=x\r\n";
    EXPECT_EQ(errorOf([&] { viewer.classify(offer(kSession, lines)); }), "Invalid protocol message");
    // Extra payload members count too.
    Json padded = offer(kSession, std::string(kSignalPayloadLimit - 30, 'a'));
    padded["payload"]["stream_request_id"] = std::string(40, 'r');
    EXPECT_EQ(errorOf([&] { viewer.classify(padded); }), "Invalid protocol message");
}

TEST(SignalingSession, IceCandidateMembers) {
    SignalingSession s = activeSession(false);
    ASSERT_TRUE(s.takeQueuedCandidates(kSession).empty());
    ASSERT_TRUE(s.remoteReady());

    EXPECT_EQ(kindOf(s, ice(kSession, "c", 0)), SignalEventKind::Candidate);
    EXPECT_EQ(kindOf(s, ice(kSession, "c", 63)), SignalEventKind::Candidate);
    EXPECT_EQ(kindOf(s, ice(kSession, "c", 0, nullptr)), SignalEventKind::Candidate);
    EXPECT_EQ(kindOf(s, ice(kSession, "c", 0, Json(Json::value_t::discarded))), SignalEventKind::Candidate);
    EXPECT_EQ(kindOf(s, ice(kSession, "c", 0, "")), SignalEventKind::Candidate);
    EXPECT_EQ(kindOf(s, ice(kSession, "c", 0, std::string(256, 'm'))), SignalEventKind::Candidate);
    EXPECT_EQ(kindOf(s, ice(kSession, std::string(8191, 'c'))), SignalEventKind::Candidate);

    for (const Json& line : {Json(64), Json(-1), Json(1.0), Json("1"), Json(nullptr), Json(true)}) {
        EXPECT_EQ(errorOf([&] { s.classify(ice(kSession, "c", line)); }), "Invalid protocol message") << line;
    }
    Json noLine = ice(kSession);
    noLine["payload"].erase("line");
    EXPECT_EQ(errorOf([&] { s.classify(noLine); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(ice(kSession, "")); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(ice(kSession, std::string(8192, 'c'))); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(ice(kSession, "c", 0, 0)); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { s.classify(ice(kSession, "c", 0, std::string(257, 'm'))); }),
              "Invalid protocol message");
    Json noCandidate = ice(kSession);
    noCandidate["payload"].erase("candidate");
    EXPECT_EQ(errorOf([&] { s.classify(noCandidate); }), "Invalid protocol message");
    // Candidates flow in both roles.
    SignalingSession host = activeSession(true);
    host.takeQueuedCandidates(kSession);
    EXPECT_EQ(kindOf(host, ice(kSession)), SignalEventKind::Candidate);
}

TEST(SignalingSession, CandidatesAreHeldInOrderUntilTheRemoteDescription) {
    SignalingSession s = activeSession(false);
    std::vector<Json> sent;
    for (int i = 0; i < 256; ++i) {
        sent.push_back(ice(kSession, "candidate " + std::to_string(i), i % 3));
        const SignalEvent event = s.classify(sent.back());
        ASSERT_EQ(event.kind, SignalEventKind::None) << i;
        EXPECT_TRUE(event.message.is_null());
    }
    EXPECT_EQ(s.queuedCandidateCount(), 256u);
    EXPECT_EQ(errorOf([&] { s.classify(ice(kSession, "one too many")); }), "Too many queued ICE candidates");
    EXPECT_EQ(s.queuedCandidateCount(), 256u);
    // A malformed candidate is refused before the queue is considered, and not queued.
    EXPECT_EQ(errorOf([&] { s.classify(ice(kSession, "")); }), "Invalid protocol message");

    // Asking for another session hands out nothing and changes nothing.
    EXPECT_TRUE(s.takeQueuedCandidates("s-2").empty());
    EXPECT_TRUE(s.takeQueuedCandidates("").empty());
    EXPECT_FALSE(s.remoteReady());
    EXPECT_EQ(s.queuedCandidateCount(), 256u);

    const std::vector<Json> taken = s.takeQueuedCandidates(kSession);
    EXPECT_EQ(taken, sent);
    EXPECT_TRUE(s.remoteReady());
    EXPECT_EQ(s.queuedCandidateCount(), 0u);
    EXPECT_TRUE(s.takeQueuedCandidates(kSession).empty());

    const Json late = ice(kSession, "late");
    const SignalEvent event = s.classify(late);
    EXPECT_EQ(event.kind, SignalEventKind::Candidate);
    EXPECT_EQ(event.message, late);
    EXPECT_EQ(s.queuedCandidateCount(), 0u);

    // Candidates of other sessions are dropped, not queued.
    SignalingSession fresh = activeSession(false);
    EXPECT_EQ(kindOf(fresh, ice("s-2")), SignalEventKind::None);
    EXPECT_EQ(fresh.queuedCandidateCount(), 0u);
    SignalingSession idle(kViewer);
    ASSERT_EQ(kindOf(idle, hello(kViewer)), SignalEventKind::Hello);
    EXPECT_TRUE(idle.takeQueuedCandidates(kSession).empty());
    EXPECT_FALSE(idle.remoteReady());
}

TEST(SignalingSession, UnknownTypesOnlyMatterForTheActiveSession) {
    SignalingSession s = activeSession(true);
    EXPECT_EQ(errorOf([&] { s.classify(signal("renegotiate", kSession, Json::object())); }),
              "Unsupported signaling message");
    EXPECT_EQ(errorOf([&] { s.classify(signal("host.status", kSession, Json{{"ready", true}})); }),
              "Unsupported signaling message");
    // The payload rules come first.
    EXPECT_EQ(errorOf([&] { s.classify(signal("renegotiate", kSession)); }), "Invalid protocol message");
    EXPECT_EQ(kindOf(s, signal("renegotiate", "s-2", Json::object())), SignalEventKind::None);
    EXPECT_EQ(kindOf(s, signal("host.status", "", Json{{"ready", true}})), SignalEventKind::None);
    SignalingSession idle(kHost);
    ASSERT_EQ(kindOf(idle, hello(kHost)), SignalEventKind::Hello);
    EXPECT_EQ(kindOf(idle, signal("renegotiate", kSession, Json::object())), SignalEventKind::None);
}

TEST(SignalingSession, ResetForgetsEverything) {
    SignalingSession s = activeSession(true);
    ASSERT_EQ(kindOf(s, ice(kSession)), SignalEventKind::None);
    s.reset();
    EXPECT_FALSE(s.helloSeen());
    EXPECT_FALSE(s.session().has_value());
    EXPECT_FALSE(s.remoteReady());
    EXPECT_EQ(s.queuedCandidateCount(), 0u);
    EXPECT_FALSE(s.isHost());
    EXPECT_EQ(s.deviceId(), kHost);
    EXPECT_EQ(errorOf([&] { s.classify(signal("heartbeat", "")); }), "Signaling hello required");
    EXPECT_EQ(kindOf(s, hello(kHost)), SignalEventKind::Hello);
    EXPECT_EQ(kindOf(s, start(kSession, kHost, kViewer)), SignalEventKind::SessionStart);

    // Reset after candidates were released: they are held again in the next session.
    s.takeQueuedCandidates(kSession);
    ASSERT_TRUE(s.remoteReady());
    s.reset();
    EXPECT_FALSE(s.remoteReady());
}

TEST(SignalingBuilders, ExactFormsOfSentMessages) {
    EXPECT_EQ(kHeartbeatMessage.size(), 20u);
    EXPECT_EQ(toCompactJson(makeHeartbeatMessage()), kHeartbeatMessage);
    EXPECT_EQ(toCompactJson(makeHostStatusMessage(false, kHostStatusChecking)),
              R"({"payload":{"ready":false,"reason":"Checking Windows capture and hardware H.264"},)"
              R"("type":"host.status"})");
    EXPECT_EQ(toCompactJson(makeHostStatusMessage(true, kHostStatusReady)),
              R"({"payload":{"ready":true,"reason":"Ready"},"type":"host.status"})");
    EXPECT_EQ(toCompactJson(makeDescriptionMessage("offer", kSession, "v=0\r\n")),
              R"({"payload":{"sdp":"v=0\r\n"},"session_id":"s-1","type":"offer"})");
    EXPECT_EQ(toCompactJson(makeIceMessage(kSession, "candidate:x", "0", 1)),
              R"({"payload":{"candidate":"candidate:x","line":1,"mid":"0"},"session_id":"s-1","type":"ice"})");

    const Json configuration{{"fps", 60}, {"width", 1920}};
    EXPECT_EQ(toCompactJson(makeDescriptionMessage("offer", kSession, "v=0", "req-1", configuration)),
              R"({"payload":{"sdp":"v=0","stream_configuration":{"fps":60,"width":1920},)"
              R"("stream_request_id":"req-1"},"session_id":"s-1","type":"offer"})");
    EXPECT_EQ(toCompactJson(makeDescriptionMessage("answer", kSession, "v=0", "req-1", configuration)),
              R"({"payload":{"sdp":"v=0","stream_request_id":"req-1"},"session_id":"s-1","type":"answer"})");
    EXPECT_EQ(toCompactJson(makeIceMessage(kSession, "c", "0", 0, "req-1")),
              R"({"payload":{"candidate":"c","line":0,"mid":"0","stream_request_id":"req-1"},)"
              R"("session_id":"s-1","type":"ice"})");
    // Without a request id nothing is added, even when a configuration is at hand.
    EXPECT_EQ(makeDescriptionMessage("offer", kSession, "v=0", "", configuration)["payload"].size(), 1u);
}

TEST(SignalingBuilders, RefuseWhatTheReceiverWouldRefuse) {
    EXPECT_EQ(errorOf([] { makeDescriptionMessage("pranswer", kSession, "v=0"); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([] { makeDescriptionMessage("offer", kSession, ""); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([] { makeDescriptionMessage("offer", "bad id", "v=0"); }), "Invalid identifier");
    EXPECT_EQ(errorOf([] { makeDescriptionMessage("offer", kSession, std::string(kSdpLimit + 1, 'a')); }),
              "Invalid protocol message");
    // The raw SDP fits, its serialised payload does not.
    EXPECT_EQ(errorOf([] { makeDescriptionMessage("offer", kSession, std::string(kSdpLimit, 'a')); }),
              "Invalid protocol message");
    EXPECT_EQ(errorOf([] { makeDescriptionMessage("offer", kSession, "v=0", "req-1", Json()); }),
              "Invalid protocol message");
    EXPECT_EQ(errorOf([] { makeIceMessage(kSession, "c", "0", 64); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([] { makeIceMessage(kSession, "", "0", 0); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([] { makeIceMessage(kSession, std::string(8192, 'c'), "0", 0); }),
              "Invalid protocol message");
    EXPECT_EQ(errorOf([] { makeIceMessage(kSession, "c", std::string(257, 'm'), 0); }),
              "Invalid protocol message");

    // A tag that would push the payload over the limit leaves the signal as it was.
    Json signal = makeDescriptionMessage("offer", kSession, std::string(kSignalPayloadLimit - 100, 'a'));
    const Json before = signal;
    const Json big{{"padding", std::string(200, 'p')}};
    EXPECT_EQ(errorOf([&] { tagStreamRequest(signal, "req-1", big); }), "Invalid protocol message");
    EXPECT_EQ(signal, before);
    tagStreamRequest(signal, "", big);
    EXPECT_EQ(signal, before);
    Json notASignal{{"type", "heartbeat"}, {"payload", Json::object()}};
    EXPECT_EQ(errorOf([&] { tagStreamRequest(notASignal, "req-1", big); }), "Invalid protocol message");
}

TEST(SignalingBuilders, BuiltSignalsAreAcceptedByThePeerAndPrimeASession) {
    // Prime both ends from locally built service messages, as a media session does.
    const SessionInfo info{kSession, kHost, kViewer};
    SignalingSession host(kHost);
    SignalingSession viewer(kViewer);
    for (SignalingSession* s : {&host, &viewer}) {
        ASSERT_EQ(kindOf(*s, makeHelloMessage(s->deviceId())), SignalEventKind::Hello);
        ASSERT_EQ(kindOf(*s, makeSessionStartMessage(info)), SignalEventKind::SessionStart);
        ASSERT_EQ(s->session(), info);
    }
    EXPECT_TRUE(host.isHost());
    EXPECT_FALSE(viewer.isHost());

    // Through the same bytes and parser the signaling socket uses.
    auto relay = [](const Json& m) { return parseWire(toCompactJson(m), kSignalingMessageLimit); };
    const Json configuration{{"fps", 30}};
    EXPECT_EQ(kindOf(viewer, relay(makeIceMessage(kSession, "c1", "0", 0, "req-9"))), SignalEventKind::None);
    EXPECT_EQ(kindOf(viewer, relay(makeDescriptionMessage("offer", kSession, "v=0\r\n", "req-9", configuration))),
              SignalEventKind::Description);
    const auto held = viewer.takeQueuedCandidates(kSession);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0]["payload"]["candidate"], "c1");
    EXPECT_EQ(kindOf(host, relay(makeDescriptionMessage("answer", kSession, "v=0\r\n", "req-9"))),
              SignalEventKind::Description);
    host.takeQueuedCandidates(kSession);
    EXPECT_EQ(kindOf(host, relay(makeIceMessage(kSession, "c2", "", 63))), SignalEventKind::Candidate);
    // The largest description the builder produces still passes the receiver.
    const std::string largest(kSignalPayloadLimit - 10, 's');
    EXPECT_EQ(kindOf(viewer, relay(makeDescriptionMessage("offer", kSession, largest))),
              SignalEventKind::Description);
}

}  // namespace
}  // namespace murel
