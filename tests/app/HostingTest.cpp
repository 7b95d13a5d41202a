// Hosting: the capture-and-encode probe (sizes, readiness, its 5 s limit), the host's side of a
// session (offer, paused capture, video, advertising, injected input) and capture pacing.
#include <gtest/gtest.h>

#include <array>

#include "SessionFixture.hpp"

namespace murel::app::test {
namespace {

class ProbeSizeTest : public SessionTest, public ::testing::WithParamInterface<std::array<double, 4>> {};

TEST_P(ProbeSizeTest, TheProbeEncodesTheDesktopFittedIntoFullHdWithEvenSides) {
    const auto [width, height, encodeWidth, encodeHeight] = GetParam();
    fake.media->with([&](MediaLab& lab) { lab.desktop = FrameRect{0, 0, width, height}; });
    hostReady();
    fake.media->with([&](MediaLab& lab) {
        ASSERT_EQ(lab.encoderModes.size(), 1u);
        EXPECT_EQ(lab.encoderModes[0].width, encodeWidth);
        EXPECT_EQ(lab.encoderModes[0].height, encodeHeight);
        EXPECT_EQ(lab.encoderModes[0].fps, 60u);
        EXPECT_EQ(lab.encoderModes[0].bitrate, 20000000u);
    });
}

INSTANTIATE_TEST_SUITE_P(Desktops, ProbeSizeTest,
                         ::testing::Values(std::array<double, 4>{2560, 1440, 1920, 1080},
                                           std::array<double, 4>{1366, 768, 1366, 768},
                                           std::array<double, 4>{1280, 1025, 1280, 1024}));

TEST_F(SessionTest, EnablingHostingProbesThenPublishesReadiness) {
    hostOnline();
    fake.media->with([](MediaLab& lab) { lab.encoderProduces = false; });

    const std::uint64_t before = controller->snapshot().completedOperations;
    ASSERT_TRUE(controller->post(Command(CommandKind::EnableHosting)));
    Status status = waitMessage("Checking capture and hardware encoding before advertising readiness");
    // The operation is still running while the probe has produced nothing.
    EXPECT_TRUE(status.busy);
    EXPECT_FALSE(status.hostReady);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(controller->snapshot().completedOperations, before);
    EXPECT_FALSE(controller->post(Command(CommandKind::RefreshDevices)));  // busy
    const PeerOptions probe = fake.peers->with(0, [](PeerRecord& r) {
        PeerOptions copy = r.options;
        return copy;
    });
    EXPECT_TRUE(probe.host);
    EXPECT_EQ(probe.sessionId, "capability-probe");
    EXPECT_EQ(probe.h264Level, 42);
    EXPECT_EQ(probe.bitrate, 20000000u);
    EXPECT_FALSE(static_cast<bool>(probe.wake));
    EXPECT_FALSE(probe.allowHevc);
    EXPECT_TRUE(closed(0));
    EXPECT_EQ(fake.service->count("GET /v1/ice"), 1u);

    fake.media->with([](MediaLab& lab) { lab.encoderProduces = true; });
    fake.clock->advanceMilliseconds(17);  // the next capture is due
    status = waitStatus([](const Status& s) { return s.hostReady; });
    EXPECT_EQ(status.message, "Hosting enabled; hardware H.264 produced a captured frame");
    EXPECT_FALSE(status.busy);
    EXPECT_EQ(status.completedOperations, before + 1);
    EXPECT_EQ(waitHostStatus(2),
              (std::vector<std::string>{"not ready: Checking Windows capture and hardware H.264", "ready: Ready"}));

    // Asked again once ready: nothing changes.
    status = run(Command(CommandKind::EnableHosting));
    EXPECT_EQ(status.message, "Hosting enabled");
    EXPECT_EQ(fake.media->with([](MediaLab& lab) { return lab.encoderModes.size(); }), 1u);

    status = run(Command(CommandKind::DisableHosting));
    EXPECT_EQ(status.message, "Hosting disabled");
    EXPECT_FALSE(status.hostReady);
    EXPECT_EQ(waitHostStatus(3).back(), "not ready: Hosting is disabled");
}

TEST_F(SessionTest, AProbeWithoutAFrameFailsAfterFiveSeconds) {
    hostOnline();
    fake.media->with([](MediaLab& lab) { lab.encoderProduces = false; });
    const std::uint64_t before = controller->snapshot().completedOperations;
    ASSERT_TRUE(controller->post(Command(CommandKind::EnableHosting)));
    waitMessage("Checking capture and hardware encoding before advertising readiness");

    fake.clock->advanceMilliseconds(5000);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(controller->snapshot().error, "");
    fake.clock->advanceMilliseconds(1);
    const Status status = waitError("Hardware capture/encode probe produced no frame within 5 seconds");
    EXPECT_FALSE(status.busy);
    EXPECT_FALSE(status.hostReady);
    EXPECT_EQ(status.completedOperations, before + 1);
    EXPECT_EQ(waitHostStatus(2).back(), "not ready: Windows capture or codec unavailable");
    // Hosting is off: no more captures however much time passes.
    const std::size_t captures = fake.media->with([](MediaLab& lab) { return lab.captureTimes.size(); });
    fake.clock->advanceMilliseconds(100);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.media->with([](MediaLab& lab) { return lab.captureTimes.size(); }), captures);
}

TEST_F(SessionTest, HostingNeedsTheHostProfile) {
    start();
    signInOnline();
    const Status status = run(Command(CommandKind::EnableHosting));
    EXPECT_EQ(status.error, "Sign in using the Host this PC profile first");
    EXPECT_EQ(fake.media->with([](MediaLab& lab) { return lab.captures; }), 0);
}

TEST_F(SessionTest, ASessionStartDuringTheProbeIsEndedAtOnce) {
    hostOnline();
    fake.media->with([](MediaLab& lab) { lab.encoderProduces = false; });
    ASSERT_TRUE(controller->post(Command(CommandKind::EnableHosting)));
    waitMessage("Checking capture and hardware encoding before advertising readiness");
    deliver(socket(), sessionStartOf(kSessionId, "device-1", "client-9"));
    ASSERT_TRUE(eventually([&] { return fake.service->count("DELETE /v1/sessions/session-1") == 1; }));
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.peers->count(), 1u);  // only the probe's
    EXPECT_FALSE(controller->snapshot().sessionActive);
}

TEST_F(SessionTest, TheHostOffersPausesCaptureUntilConnectedAndSendsVideo) {
    hostSession();
    const PeerOptions options = fake.peers->with(1, [](PeerRecord& r) {
        PeerOptions copy = r.options;
        return copy;
    });
    EXPECT_TRUE(options.host);
    EXPECT_EQ(options.sessionId, kSessionId);
    EXPECT_EQ(options.h264Level, 42);  // 1920 x 1080 at 60: the encoder's level
    EXPECT_EQ(options.bitrate, 20000000u);
    EXPECT_EQ(fake.peers->with(1, [](PeerRecord& r) { return r.offers; }), 1);
    Status status = controller->snapshot();
    EXPECT_TRUE(status.hostsActiveSession);
    EXPECT_TRUE(status.videoCodecKnown);
    EXPECT_EQ(status.videoCodec, 0);

    // The offer goes out as the peer made it.
    Json offer = offerOf(kSessionId);
    fake.peers->push(1, localSignal(offer));
    ASSERT_TRUE(eventually([&] { return sentOfType("offer").size() == 1; }));
    EXPECT_EQ(sentOfType("offer")[0], offer);

    // No capture between the set-up and the connection, however late it gets.
    const std::size_t captures = fake.media->with([](MediaLab& lab) { return lab.captureTimes.size(); });
    fake.clock->advanceMilliseconds(200);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.media->with([](MediaLab& lab) { return lab.captureTimes.size(); }), captures);

    const int keyframes = fake.media->with([](MediaLab& lab) { return lab.keyframeRequests; });
    fake.peers->push(1, peerEvent(PeerEventKind::Connected));
    ASSERT_TRUE(eventually([&] { return !fake.peers->with(1, [](PeerRecord& r) { return r.videoTimestamps.empty(); }); }));
    EXPECT_EQ(fake.media->with([](MediaLab& lab) { return lab.keyframeRequests; }), keyframes + 1);
    // The unit's 100-ns time in 90 kHz units.
    const std::int64_t encoded = fake.media->with([](MediaLab& lab) { return lab.encodeTimestamps.back(); });
    EXPECT_EQ(fake.peers->with(1, [](PeerRecord& r) { return r.videoTimestamps.front(); }),
              static_cast<std::uint32_t>(encoded / 1000 * 9));
    // Sent video clears the 15 s watchdog.
    fake.clock->advanceMilliseconds(15001);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(controller->snapshot().error, "");
    EXPECT_TRUE(controller->snapshot().sessionActive);

    // The viewer's keyframe request reaches the encoder.
    fake.peers->push(1, peerEvent(PeerEventKind::KeyframeRequest));
    ASSERT_TRUE(eventually([&] { return fake.media->with([](MediaLab& lab) { return lab.keyframeRequests; }) == keyframes + 2; }));

    // The session ends; hosting stays ready and keeps capturing.
    status = run(Command(CommandKind::EndSession));
    EXPECT_TRUE(status.hostReady);
    EXPECT_FALSE(status.sessionActive);
    EXPECT_TRUE(closed(1));
}

TEST_F(SessionTest, TheHostAdvertisesWhenTheChannelsOpenAndInjectsInputOnTheControllerClock) {
    hostSession();
    fake.peers->push(1, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen)});
    ASSERT_TRUE(eventually([&] { return inputsOf(1).size() == 2; }));
    const auto advertised = inputsOf(1);
    EXPECT_EQ(advertised[0].message, Json({{"kind", "stream.capabilities"}}));
    EXPECT_EQ(advertised[0].channel, 0);
    EXPECT_EQ(parseStreamModes(advertised[1].message), buildStreamModes(1920, 1080, 60));

    // A key pressed by the viewer is held on this desktop...
    Json key = makeKeyInput(0, true);
    setInputSequence(key, 1);
    fake.peers->push(1, channelMessage(key));
    ASSERT_TRUE(fake.sink->waitForInputs(1, std::chrono::seconds(20)));
    EXPECT_EQ(fake.sink->inputs()[0], RecordedInput::keyed(ScanKey{30, false}, true));
    // ...until the viewer has been silent for 750 ms of the Controller's clock, whatever the real
    // time: the injector's silence check reads the same clock.
    fake.clock->advanceMilliseconds(749);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.sink->inputs().size(), 1u);
    fake.clock->advanceMilliseconds(2);
    ASSERT_TRUE(fake.sink->waitForInputs(2, std::chrono::seconds(20)));
    EXPECT_EQ(fake.sink->inputs()[1], RecordedInput::keyed(ScanKey{30, false}, false));
}

TEST_F(SessionTest, DisablingHostingEndsAViewerSessionOnTheSamePc) {
    hostOnline();
    run(Command(CommandKind::EnableHosting));
    waitStatus([](const Status& s) { return s.hostReady; });
    run(connectCommand());
    deliver(socket(), sessionStartOf(kSessionId, kHostId, "device-1"));
    ASSERT_TRUE(eventually([&] { return fake.peers->count() == 2; }));
    waitStatus([](const Status& s) { return s.sessionActive; });
    // A viewer session on a hosting PC sends no video with its peer.
    fake.peers->push(1, peerEvent(PeerEventKind::Connected));
    fake.clock->advanceMilliseconds(50);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_TRUE(fake.peers->with(1, [](PeerRecord& r) { return r.videoTimestamps.empty(); }));

    const Status status = run(Command(CommandKind::DisableHosting));
    EXPECT_EQ(status.message, "Hosting disabled");
    EXPECT_FALSE(status.sessionActive);
    EXPECT_FALSE(status.hostReady);
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 1u);
    EXPECT_TRUE(closed(1));
}

TEST_F(SessionTest, CapturesFollowTheFrameIntervalAndNeverCatchUp) {
    hostReady();
    // Capture clock readings at 60 fps: one every 16 666 666 ns, a late pass skips ahead.
    const auto captureCount = [&] { return fake.media->with([](MediaLab& lab) { return lab.captureTimes.size(); }); };
    const std::size_t start = captureCount();
    fake.clock->advanceNanoseconds(16666665);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(captureCount(), start);
    fake.clock->advanceNanoseconds(1);
    ASSERT_TRUE(eventually([&] { return captureCount() == start + 1; }));
    fake.clock->advanceNanoseconds(16666666);
    ASSERT_TRUE(eventually([&] { return captureCount() == start + 2; }));
    // 100 ms late: one capture, and the next is one interval after it.
    fake.clock->advanceMilliseconds(100);
    ASSERT_TRUE(eventually([&] { return captureCount() == start + 3; }));
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(captureCount(), start + 3);
    fake.clock->advanceNanoseconds(16666665);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(captureCount(), start + 3);
    fake.clock->advanceNanoseconds(1);
    ASSERT_TRUE(eventually([&] { return captureCount() == start + 4; }));
    // An unchanged desktop re-encodes the held picture at the same pace.
    fake.media->with([](MediaLab& lab) { lab.captureHasFrame = false; });
    const std::size_t encodes = fake.media->with([](MediaLab& lab) { return lab.encodeTimestamps.size(); });
    fake.clock->advanceNanoseconds(16666666);
    ASSERT_TRUE(eventually([&] { return fake.media->with([](MediaLab& lab) { return lab.encodeTimestamps.size(); }) == encodes + 1; }));
}

TEST(CapturePacing, IntervalsAreWholeNanosecondsOfTheFrameRateAndLatePassesSkipAhead) {
    EXPECT_EQ(nextCaptureTime(0, 1000, 30), 1000 + 33333333);
    EXPECT_EQ(nextCaptureTime(1000 + 33333333, 1000 + 33333333, 30), 1000 + 66666666);
    EXPECT_EQ(nextCaptureTime(1000, 500000000, 60), 500000000 + 16666666);
    EXPECT_EQ(nextCaptureTime(1000, 1000 + 16666665, 60), 1000 + 16666666);
}

TEST(WorkerWait, VideoWaitsOneMillisecondCaptureShortensTheWaitNeverBelowZero) {
    using std::chrono::milliseconds;
    using std::chrono::nanoseconds;
    EXPECT_EQ(workerWait(false, 0, 5), milliseconds(8));
    EXPECT_EQ(workerWait(true, 0, 5), milliseconds(1));
    EXPECT_EQ(workerWait(false, 5 + 3000000, 5), nanoseconds(3000000));
    EXPECT_EQ(workerWait(true, 5 + 3000000, 5), milliseconds(1));
    EXPECT_EQ(workerWait(false, 5 + 9000000, 5), milliseconds(8));
    EXPECT_EQ(workerWait(false, 4, 5), nanoseconds(0));
}

TEST(MediaTime, RtpConversionsUseSixtyFourBitsAndWrapTheRtpClock) {
    EXPECT_EQ(mediaTimeOf(0xFFFFFFFFu), 477218588333);
    EXPECT_EQ(mediaTimeOf(9), 1000);
    EXPECT_EQ(rtpTimestampOf(1000), 9u);
    EXPECT_EQ(rtpTimestampOf(1999), 9u);
    // 477218589 x 9 = 4294967301, which wraps to 5 in the 32-bit RTP clock.
    EXPECT_EQ(rtpTimestampOf(477218589000), 5u);
}

}  // namespace
}  // namespace murel::app::test
