// Stream-settings changes carried out by the Controller: the viewer's request and tagged restart
// (early candidates held, the matching offer taken, the old peer kept until the new one connects),
// the host's rebuild and acknowledgement, refusals and repeats.
#include <gtest/gtest.h>

#include "SessionFixture.hpp"

namespace murel::app::test {
namespace {

StreamConfiguration fullHd30() {
    StreamConfiguration mode;
    mode.fps = 30;
    mode.maxBitrateBps = 10000000;
    mode.hasHeight = true;
    return mode;
}

Command applyCommand(const std::optional<StreamConfiguration>& mode) {
    Command command(CommandKind::ApplyStreamSettings);
    command.streamConfiguration = mode;
    return command;
}

const char* const kRequestId = "6B29FC40-CA47-1067-B31D-00DD010662DA";

TEST_F(SessionTest, TheViewerRestartsOnTheTaggedOfferWithItsEarlyCandidates) {
    viewerPresenting();
    EXPECT_EQ(run(applyCommand(fullHd30())).error, "The host has not advertised stream settings");
    hostAdvertises();
    EXPECT_EQ(run(applyCommand(std::nullopt)).error, "Choose a stream mode first");
    Status status = run(applyCommand(fullHd30()));
    EXPECT_EQ(status.message, "Applying stream settings");
    EXPECT_EQ(status.error, "");
    EXPECT_TRUE(status.streamSettingsPending);
    const SentInput request = inputsOf(0).back();
    EXPECT_EQ(request.channel, 0);
    EXPECT_EQ(request.message["kind"], "stream.configure");
    EXPECT_EQ(request.message["configuration"], streamConfigurationJson(fullHd30(), true));
    const std::string id = request.message["requestID"];
    EXPECT_EQ(run(applyCommand(fullHd30())).error, "A stream settings change is already in progress");

    // Candidates of the renegotiation arrive before its offer; one of them is malformed.
    const Json tag{{"stream_request_id", id}};
    deliver(socket(), iceOf(kSessionId, 0, tag));
    Json malformed = iceOf(kSessionId, 64, tag);  // line out of range
    deliver(socket(), malformed);
    deliver(socket(), iceOf(kSessionId, 1, tag));
    // An offer for the request with another configuration is not ours to take.
    StreamConfiguration other = fullHd30();
    other.fps = 60;
    other.maxBitrateBps = 20000000;
    deliver(socket(), offerOf(kSessionId, Json{{"stream_request_id", id},
                                               {"stream_configuration", streamConfigurationJson(other, true)}}));
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.peers->count(), 1u);

    deliver(socket(), offerOf(kSessionId, Json{{"stream_request_id", id},
                                               {"stream_configuration", streamConfigurationJson(fullHd30(), true)}}));
    ASSERT_TRUE(eventually([&] { return fake.peers->count() == 2 && remoteSignalsOf(1).size() == 3; }));
    status = waitStatus([](const Status& s) { return s.streamConfiguration == fullHd30(); });
    EXPECT_TRUE(status.sessionActive);
    EXPECT_EQ(status.error, "A stream settings change is already in progress");  // nothing new
    EXPECT_EQ(status.streamConfiguration, fullHd30());
    EXPECT_FALSE(status.viewerInputActive);
    EXPECT_EQ(fake.peers->with(1, [](PeerRecord& r) { return r.options.bitrate; }), 10000000u);
    const auto signals = remoteSignalsOf(1);
    EXPECT_EQ(signals[0]["type"], "offer");
    EXPECT_EQ(signals[1]["payload"]["line"], 0);
    EXPECT_EQ(signals[2]["payload"]["line"], 1);
    // The old peer heard a release and stays open until the new one connects.
    EXPECT_EQ(inputsOf(0).back().message["kind"], "release");
    EXPECT_FALSE(closed(0));

    // The answer carries the request's tag, and no configuration.
    fake.peers->push(1, localSignal(Json{{"type", "answer"}, {"session_id", kSessionId}, {"payload", Json{{"sdp", "v=0"}}}}));
    ASSERT_TRUE(eventually([&] { return sentOfType("answer").size() == 1; }));
    EXPECT_EQ(sentOfType("answer")[0]["payload"], Json({{"sdp", "v=0"}, {"stream_request_id", id}}));
    // Later signals of the new media carry the tag; untagged ones belong to the old media and are dropped.
    deliver(socket(), iceOf(kSessionId, 2));
    deliver(socket(), iceOf(kSessionId, 3, tag));
    ASSERT_TRUE(eventually([&] { return remoteSignalsOf(1).size() == 4; }));
    EXPECT_EQ(remoteSignalsOf(1)[3]["payload"]["line"], 3);

    fake.peers->push(1, peerEvent(PeerEventKind::Connected));
    ASSERT_TRUE(eventually([&] { return closed(0); }));
    fake.peers->push(1, channelMessage(Json{{"kind", "stream.applied"}, {"requestID", id}}));
    status = waitMessage("Stream settings applied");
    EXPECT_FALSE(status.streamSettingsPending);
    EXPECT_EQ(status.streamConfiguration, fullHd30());
}

// A key the user presses while the host's tagged offer is on its way reaches the worker in the same
// pass as the offer: it belongs to the old picture and must not go to the new peer, whose channels
// are not open yet (a real peer refuses, which would end the session).
TEST_F(SessionTest, InputPostedWithTheTaggedOfferIsDropped) {
    viewerPresenting();
    hostAdvertises();
    run(applyCommand(fullHd30()));
    const std::string id = inputsOf(0).back().message["requestID"];
    const std::size_t oldInputs = inputsOf(0).size();

    ASSERT_TRUE(fake.passes->holdAfterPass());
    deliver(socket(), offerOf(kSessionId, Json{{"stream_request_id", id},
                                               {"stream_configuration", streamConfigurationJson(fullHd30(), true)}}));
    Command key(CommandKind::Input);
    key.message = makeKeyInput(4, false);
    ASSERT_TRUE(controller->post(key));
    fake.passes->releaseHold();

    ASSERT_TRUE(eventually([&] { return fake.peers->count() == 2; }));
    ASSERT_TRUE(fake.passes->wait());
    const Status status = controller->snapshot();
    EXPECT_TRUE(status.sessionActive);
    EXPECT_EQ(status.error, "");
    EXPECT_FALSE(status.viewerInputActive);
    EXPECT_TRUE(inputsOf(1).empty());
    // The old peer heard only the release that goes with the restart.
    ASSERT_EQ(inputsOf(0).size(), oldInputs + 1);
    EXPECT_EQ(inputsOf(0).back().message["kind"], "release");
}

TEST_F(SessionTest, ARejectedRequestIsShownAndTheViewerMayAskAgain) {
    viewerPresenting();
    hostAdvertises();
    run(applyCommand(fullHd30()));
    const std::string id = inputsOf(0).back().message["requestID"];
    fake.peers->push(0, channelMessage(Json{{"kind", "stream.rejected"}, {"requestID", id}}));
    Status status = waitError("The host could not apply that stream mode; choose a lower resolution or FPS");
    EXPECT_FALSE(status.streamSettingsPending);
    EXPECT_TRUE(status.sessionActive);
    status = run(applyCommand(fullHd30()));
    EXPECT_EQ(status.error, "");
    EXPECT_TRUE(status.streamSettingsPending);
    EXPECT_NE(inputsOf(0).back().message["requestID"], id);
}

Json configureMessage(const StreamConfiguration& mode, const std::string& id = kRequestId) {
    return Json{{"kind", "stream.configure"}, {"requestID", id}, {"configuration", streamConfigurationJson(mode, mode.hasHeight)}};
}

TEST_F(SessionTest, TheHostRebuildsForARequestOnceAndAcknowledgesOnTheNewChannels) {
    hostSession();
    fake.peers->push(1, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen)});
    ASSERT_TRUE(eventually([&] { return inputsOf(1).size() == 2; }));

    // The same request twice in one drain: the second copy is not even looked at, being for the
    // old peer, and later copies are repeats.
    fake.peers->push(1, {channelMessage(configureMessage(fullHd30())), channelMessage(configureMessage(fullHd30()))});
    ASSERT_TRUE(eventually([&] { return fake.peers->count() == 3; }));
    fake.media->with([](MediaLab& lab) {
        ASSERT_EQ(lab.encoderModes.size(), 3u);  // probe, session, request
        EXPECT_EQ(lab.encoderModes.back().width, 1920u);
        EXPECT_EQ(lab.encoderModes.back().height, 1080u);
        EXPECT_EQ(lab.encoderModes.back().fps, 30u);
        EXPECT_EQ(lab.encoderModes.back().bitrate, 10000000u);
    });
    // The peer exists before the worker has asked it for its offer: wait for the offer.
    EXPECT_TRUE(eventually([&] { return fake.peers->with(2, [](PeerRecord& r) { return r.offers; }) == 1; }));
    EXPECT_EQ(fake.peers->with(2, [](PeerRecord& r) { return r.options.h264Level; }), 42);
    waitStatus([](const Status& s) { return s.streamSettingsPending; });
    EXPECT_FALSE(closed(1));

    // The renegotiation's offer carries the tag and the configuration.
    fake.peers->push(2, localSignal(offerOf(kSessionId)));
    ASSERT_TRUE(eventually([&] { return sentOfType("offer").size() == 1; }));
    const Json payload = sentOfType("offer")[0]["payload"];
    EXPECT_EQ(payload["stream_request_id"], kRequestId);
    EXPECT_EQ(parseStreamConfiguration(payload["stream_configuration"]), fullHd30());

    fake.peers->push(2, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen)});
    ASSERT_TRUE(eventually([&] { return inputsOf(2).size() == 3; }));
    EXPECT_EQ(inputsOf(2)[0].message, Json({{"kind", "stream.applied"}, {"requestID", kRequestId}}));
    EXPECT_EQ(inputsOf(2)[1].message["kind"], "stream.capabilities");
    EXPECT_EQ(inputsOf(2)[2].message["kind"], "stream.modes");
    EXPECT_TRUE(closed(1));
    waitStatus([](const Status& s) { return !s.streamSettingsPending; });

    // A repeat on the new channels gets no answer and builds nothing.
    fake.peers->push(2, channelMessage(configureMessage(fullHd30())));
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.peers->count(), 3u);
    EXPECT_EQ(inputsOf(2).size(), 3u);

    // Captures now follow 30 frames per second: 33 333 333 ns apart.
    const auto captures = [&] { return fake.media->with([](MediaLab& lab) { return lab.captureTimes.size(); }); };
    const std::size_t before = captures();
    fake.clock->advanceNanoseconds(33333332);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(captures(), before);
    fake.clock->advanceNanoseconds(1);
    ASSERT_TRUE(eventually([&] { return captures() == before + 1; }));
}

TEST_F(SessionTest, TheHostRefusesWhatItCannotApplyAndTheSessionGoesOn) {
    hostSession();
    fake.peers->push(1, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen)});
    ASSERT_TRUE(eventually([&] { return inputsOf(1).size() == 2; }));
    StreamConfiguration audio = fullHd30();
    audio.systemAudio = true;
    fake.peers->push(1, channelMessage(configureMessage(audio)));
    ASSERT_TRUE(eventually([&] { return inputsOf(1).size() == 3; }));
    EXPECT_EQ(inputsOf(1)[2].message, Json({{"kind", "stream.rejected"}, {"requestID", kRequestId}}));

    // An encoder that cannot be built for the mode is a refusal too.
    fake.media->with([](MediaLab& lab) { lab.encoderFailure = "No D3D11 hardware H.264 encoder is installed for this adapter"; });
    fake.peers->push(1, channelMessage(configureMessage(fullHd30(), "6B29FC40-CA47-1067-B31D-00DD010662DB")));
    ASSERT_TRUE(eventually([&] { return inputsOf(1).size() == 4; }));
    EXPECT_EQ(inputsOf(1)[3].message["kind"], "stream.rejected");
    EXPECT_EQ(fake.peers->count(), 2u);
    const Status status = controller->snapshot();
    EXPECT_TRUE(status.sessionActive);
    EXPECT_EQ(status.error, "");
    EXPECT_FALSE(status.streamSettingsPending);
}

TEST_F(SessionTest, ABlockedReleaseDuringARebuildStillInstallsTheNewMediaThenEndsTheSession) {
    hostSession();
    fake.peers->push(1, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen)});
    Json key = makeKeyInput(0, true);
    setInputSequence(key, 1);
    fake.peers->push(1, channelMessage(key));
    ASSERT_TRUE(fake.sink->waitForInputs(1, std::chrono::seconds(20)));
    // The desktop refuses the key-up (a secure desktop has the foreground).
    fake.sink->setRefusal([](const RecordedInput& input) { return input.kind == RecordedInput::Kind::Key && !input.down; });

    fake.peers->push(1, channelMessage(configureMessage(fullHd30())));
    const Status status = waitError("Windows blocked one or more input releases");
    // The rebuild was not cut short: the new peer exists and was asked to offer, then the session
    // ended with everything closed.
    ASSERT_EQ(fake.peers->count(), 3u);
    EXPECT_EQ(fake.peers->with(2, [](PeerRecord& r) { return r.offers; }), 1);
    EXPECT_TRUE(closed(1));
    EXPECT_TRUE(closed(2));
    EXPECT_FALSE(status.sessionActive);
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 1u);
}

}  // namespace
}  // namespace murel::app::test
