// The viewer's session from Connect to its end: reservation, the session-start rules (cancellation,
// unrequested and conflicting starts), the set-up, peer signals and events, and the teardown.
#include <gtest/gtest.h>

#include "SessionFixture.hpp"
#include "platform/HttpClient.hpp"

namespace murel::app::test {
namespace {

TEST_F(SessionTest, ConnectReservesStartsNegotiatesAndEndsTheSession) {
    Status status = reserve();
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(status.message, "Session reserved; waiting for the host");
    EXPECT_TRUE(status.reservationPending);
    EXPECT_FALSE(status.busy);
    const auto reserveRequest = fake.service->requests().back();
    EXPECT_EQ(reserveRequest.path, "/v1/sessions");
    EXPECT_EQ(reserveRequest.body, Json({{"host_id", kHostId}}));
    fake.media->with([](MediaLab& lab) {
        ASSERT_EQ(lab.decoders.size(), 1u);
        EXPECT_EQ(lab.decoders[0].codec, VideoCodec::H264);
        EXPECT_EQ(lab.presenterWindows, std::vector<std::uint64_t>{kSurface});
        EXPECT_EQ(lab.presentEmpties, 1);
    });
    // Neither the device list nor a second Connect while the reservation is pending.
    EXPECT_FALSE(controller->post(connectCommand()));
    EXPECT_EQ(run(Command(CommandKind::RefreshDevices)).message, "Session reserved; waiting for the host");
    EXPECT_EQ(fake.service->count("GET /v1/hosts"), 1u);

    // Candidates that come before the offer wait for it and follow it in order.
    deliver(socket(), sessionStartOf(kSessionId, kHostId, "device-1"));
    deliver(socket(), iceOf(kSessionId, 0));
    deliver(socket(), iceOf(kSessionId, 1));
    deliver(socket(), offerOf(kSessionId));
    deliver(socket(), iceOf(kSessionId, 2));
    deliver(socket(), offerOf("session-other"));  // not ours: ignored
    ASSERT_TRUE(eventually([&] { return fake.peers->count() == 1 && remoteSignalsOf(0).size() == 4; }));
    const PeerOptions options = fake.peers->with(0, [](PeerRecord& r) {
        PeerOptions copy = r.options;
        return copy;
    });
    EXPECT_FALSE(options.host);
    EXPECT_EQ(options.sessionId, kSessionId);
    ASSERT_EQ(options.iceServers.size(), 1u);
    EXPECT_EQ(options.iceServers[0].urls, std::vector<std::string>{"stun:stun.example.net:3478"});
    EXPECT_EQ(options.h264Level, 52);
    EXPECT_EQ(options.bitrate, 20000000u);
    EXPECT_FALSE(options.allowHevc);  // the preflight found no HEVC decoder
    EXPECT_TRUE(static_cast<bool>(options.wake));
    const auto signals = remoteSignalsOf(0);
    EXPECT_EQ(signals[0]["type"], "offer");
    EXPECT_EQ(signals[1]["payload"]["line"], 0);
    EXPECT_EQ(signals[2]["payload"]["line"], 1);
    EXPECT_EQ(signals[3]["payload"]["line"], 2);
    status = waitStatus([](const Status& s) { return s.sessionActive; });
    EXPECT_FALSE(status.reservationPending);
    EXPECT_FALSE(status.hostsActiveSession);
    EXPECT_TRUE(fake.media->with([](MediaLab& lab) { return lab.timerRaised; }));

    // The peer's answer goes out untagged on the signaling channel.
    Json answer{{"type", "answer"}, {"session_id", kSessionId}, {"payload", Json{{"sdp", "v=0"}}}};
    fake.peers->push(0, localSignal(answer));
    ASSERT_TRUE(eventually([&] { return sentOfType("answer").size() == 1; }));
    EXPECT_EQ(sentOfType("answer")[0], answer);

    fake.peers->push(0, peerEvent(PeerEventKind::Connected));
    waitMessage("Transport connected; waiting for video");
    fake.peers->push(0, {peerEvent(PeerEventKind::ChannelsOpen), videoFrame(90000)});
    status = waitMessage("Remote video presented \xE2\x80\x94 F11 fullscreen, close viewer to disconnect");
    EXPECT_TRUE(status.viewerInputActive);
    EXPECT_EQ(status.framesDecoded, 1u);
    EXPECT_EQ(status.framesPresented, 1u);
    EXPECT_EQ(status.decodedWidth, 1920);
    EXPECT_EQ(status.decodedHeight, 1080);
    EXPECT_EQ(status.videoRect, (VideoRect{0, 0, 1280, 720}));

    status = run(Command(CommandKind::EndSession));
    EXPECT_EQ(status.message, "Session ended");
    EXPECT_EQ(status.error, "");
    EXPECT_FALSE(status.sessionActive);
    EXPECT_FALSE(status.viewerInputActive);
    EXPECT_EQ(status.framesDecoded, 0u);
    EXPECT_EQ(status.videoRect, VideoRect{});
    EXPECT_EQ(status.streamConfiguration, StreamConfiguration{});
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 1u);
    EXPECT_TRUE(closed(0));
    // The host was told to let go of everything before the peer closed.
    const auto inputs = inputsOf(0);
    ASSERT_FALSE(inputs.empty());
    EXPECT_EQ(inputs.back().message["kind"], "release");
    fake.media->with([](MediaLab& lab) {
        EXPECT_EQ(lab.presentEmpties, 2);
        EXPECT_FALSE(lab.timerRaised);
        EXPECT_EQ(lab.timerRestores, 1);
    });
}

TEST_F(SessionTest, AVerifiedHevcDecoderIsOfferedAndTheSelectedCodecInstallsIt) {
    fake.media->with([](MediaLab& lab) { lab.hevcDecodes = true; });
    viewerStarted();
    EXPECT_TRUE(fake.peers->with(0, [](PeerRecord& r) { return r.options.allowHevc; }));
    PeerEvent codec = peerEvent(PeerEventKind::VideoCodec);
    codec.codec = 1;
    fake.peers->push(0, codec);
    Status status = waitStatus([](const Status& s) { return s.videoCodecKnown; });
    EXPECT_EQ(status.videoCodec, 1);
    // A second selection is a protocol fault.
    fake.peers->push(0, codec);
    status = waitError("Unexpected video codec selection");
    EXPECT_FALSE(status.sessionActive);
}

TEST_F(SessionTest, HevcSelectedWithoutAVerifiedDecoderEndsTheSession) {
    Command command = connectCommand();
    command.noHevc = true;
    fake.media->with([](MediaLab& lab) { lab.hevcDecodes = true; });
    start();
    signInOnline();
    run(command);
    deliver(socket(), sessionStartOf(kSessionId, kHostId, "device-1"));
    ASSERT_TRUE(eventually([&] { return fake.peers->count() == 1; }));
    EXPECT_FALSE(fake.peers->with(0, [](PeerRecord& r) { return r.options.allowHevc; }));
    PeerEvent codec = peerEvent(PeerEventKind::VideoCodec);
    codec.codec = 1;
    fake.peers->push(0, codec);
    const Status status = waitError("HEVC selected without a verified GPU decoder");
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 1u);
    EXPECT_TRUE(closed(0));
}

TEST_F(SessionTest, ConnectAndHostingAreRefusedWhileASessionExistsOrOffline) {
    start();
    run(signInCommand());
    Status status = run(connectCommand());
    EXPECT_EQ(status.error, "Connect device signaling before this action");
    EXPECT_FALSE(status.reservationPending);
    EXPECT_EQ(fake.service->count("POST /v1/sessions"), 0u);

    deliver(socket(), makeHelloMessage("device-1"));
    waitStatus([](const Status& s) { return s.online; });
    run(connectCommand());
    deliver(socket(), sessionStartOf(kSessionId, kHostId, "device-1"));
    // The session is published as active while its set-up still keeps the worker busy, and a busy
    // worker refuses the post itself.
    waitStatus([](const Status& s) { return s.sessionActive && !s.busy; });
    // The command step refuses hosting while a session is active; only the error changes.
    const std::uint64_t before = controller->snapshot().completedOperations;
    status = run(Command(CommandKind::EnableHosting));
    EXPECT_EQ(status.completedOperations, before + 1);
    EXPECT_EQ(status.error, "End the pending or active session before starting another connection or enabling hosting");
    EXPECT_TRUE(status.sessionActive);
    EXPECT_FALSE(status.hostReady);
    EXPECT_FALSE(closed(0));
}

TEST_F(SessionTest, EndSessionInTheSamePassAsTheStartRunsFirstAndTheStartIsRefused) {
    start();
    signInOnline();
    // The reservation's request is held, so the EndSession and the start queue up behind it and
    // reach the worker in one pass.
    fake.service->hold("POST /v1/sessions");
    ASSERT_TRUE(controller->post(connectCommand()));
    ASSERT_TRUE(fake.service->waitHeld());
    ASSERT_TRUE(controller->post(Command(CommandKind::EndSession)));
    deliver(socket(), sessionStartOf(kSessionId, kHostId, "device-1"));
    fake.service->release();

    ASSERT_TRUE(eventually([&] { return fake.service->count("DELETE /v1/sessions/session-1") == 2; }));
    const Status status = waitStatus([](const Status& s) { return !s.busy; });
    EXPECT_EQ(status.message, "Session ended");
    EXPECT_FALSE(status.sessionActive);
    EXPECT_FALSE(status.reservationPending);
    EXPECT_EQ(fake.peers->count(), 0u);
}

TEST_F(SessionTest, AnEndSessionWaitingInTheQueueCancelsTheStartThatArrives) {
    reserve();
    // Two stray starts ahead of ours hold the worker inside their refusals: the first until ours
    // is queued behind the second, the second while EndSession is posted.
    const std::string first = "DELETE /v1/sessions/session-stray-1";
    const std::string second = "DELETE /v1/sessions/session-stray-2";
    fake.service->hold(first);
    fake.service->hold(second);
    deliver(socket(), sessionStartOf("session-stray-1", "host-3", "device-1"));
    ASSERT_TRUE(fake.service->waitHeld(first));
    deliver(socket(), sessionStartOf("session-stray-2", "host-3", "device-1"));
    deliver(socket(), sessionStartOf(kSessionId, kHostId, "device-1"));
    fake.service->release(first);
    ASSERT_TRUE(fake.service->waitHeld(second));
    const std::uint64_t before = controller->snapshot().completedOperations;
    ASSERT_TRUE(controller->post(Command(CommandKind::EndSession)));
    fake.service->release(second);

    // The start found the command: cancelled. The command itself still runs and completes.
    const Status status = waitOperations(before + 1);
    EXPECT_EQ(status.message, "Session ended");
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 1u);
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-stray-2"), 1u);
    EXPECT_EQ(fake.peers->count(), 0u);
    EXPECT_FALSE(status.sessionActive);
    EXPECT_FALSE(status.reservationPending);
}

TEST_F(SessionTest, UnrequestedAndConflictingStartsNeverEndTheRealSession) {
    viewerPresenting();
    // Another session for this device while one runs: refused at the service, ours goes on.
    deliver(socket(), sessionStartOf("session-9", "host-3", "device-1"));
    ASSERT_TRUE(eventually([&] { return fake.service->count("DELETE /v1/sessions/session-9") == 1; }));
    // Our own session id with other members: neither ended at the service nor locally.
    deliver(socket(), sessionStartOf(kSessionId, "host-3", "device-1"));
    Status status = waitError("Unexpected session start or membership mismatch");
    EXPECT_TRUE(status.sessionActive);
    EXPECT_TRUE(status.viewerInputActive);
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 0u);
    EXPECT_FALSE(closed(0));
    // The start repeated exactly is no news.
    deliver(socket(), sessionStartOf(kSessionId, kHostId, "device-1"));
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.peers->count(), 1u);
    EXPECT_TRUE(controller->snapshot().sessionActive);
}

TEST_F(SessionTest, TheServiceEndingOrRefusingTheReservationIsReported) {
    reserve();
    deliver(socket(), Json{{"type", "session.end"}, {"session_id", kSessionId}});
    Status status = waitMessage("Connection ended by peer or service");
    EXPECT_FALSE(status.reservationPending);
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 0u);

    run(connectCommand());
    deliver(socket(), Json{{"type", "error"}, {"session_id", kSessionId}});
    status = waitError("Control service rejected the reserved session");
    EXPECT_FALSE(status.reservationPending);
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 1u);
}

TEST_F(SessionTest, PeerClosureAndFailureEndTheSessionWithTheirWords) {
    viewerPresenting();
    fake.peers->push(0, peerEvent(PeerEventKind::Closed));
    Status status = waitError("Native WebRTC connection closed");
    EXPECT_FALSE(status.sessionActive);
    EXPECT_EQ(status.message, "Device online; operation could not be completed");
    EXPECT_TRUE(closed(0));

    run(connectCommand());
    deliver(socket(), sessionStartOf(kSessionId, kHostId, "device-1"));
    ASSERT_TRUE(eventually([&] { return fake.peers->count() == 2; }));
    fake.peers->push(1, PeerEvent::failure(PeerFailure::MailboxOverflow));
    status = waitError("Native WebRTC transport failed (mailbox-overflow)");
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 2u);
}

TEST_F(SessionTest, AFailingStepOfTheTeardownDoesNotSkipTheRest) {
    viewerPresenting();
    fake.peers->with(0, [](PeerRecord& r) { r.closeFailure = "Close peer connection failed"; });
    const Status status = run(Command(CommandKind::EndSession));
    // Reported, but the session is fully gone: service told, presenter emptied, timer restored.
    EXPECT_EQ(status.error, "Close peer connection failed");
    EXPECT_FALSE(status.sessionActive);
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 1u);
    fake.media->with([](MediaLab& lab) {
        EXPECT_EQ(lab.presentEmpties, 2);
        EXPECT_FALSE(lab.timerRaised);
    });
    // And a new session can start.
    EXPECT_TRUE(run(connectCommand()).reservationPending);
}

// The host's end (its peer closing) can reach the service before the viewer's own: the service
// then no longer knows the session, and that is the end that was asked for. Other refusals are
// still reported.
TEST_F(SessionTest, EndingASessionTheServiceHasEndedAlreadyIsNoError) {
    viewerPresenting();
    fake.service->on("DELETE /v1/sessions/session-1",
                     [](const RecordedRequest&) -> Json { throw HttpStatusError(404); });
    Status status = run(Command(CommandKind::EndSession));
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(status.message, "Session ended");
    EXPECT_FALSE(status.sessionActive);
    EXPECT_TRUE(closed(0));
}

TEST_F(SessionTest, AnotherRefusalOfTheSessionsEndIsReported) {
    viewerPresenting();
    fake.service->on("DELETE /v1/sessions/session-1",
                     [](const RecordedRequest&) -> Json { throw HttpStatusError(500); });
    const Status status = run(Command(CommandKind::EndSession));
    EXPECT_EQ(status.error, "Control API returned HTTP 500");
    EXPECT_FALSE(status.sessionActive);
    EXPECT_TRUE(closed(0));
}

}  // namespace
}  // namespace murel::app::test
