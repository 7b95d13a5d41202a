// The viewer's video pump and remote input: decode and present, recovery when the queue overflows
// or video is lost, visibility, input sequencing, keepalives and what is dropped.
#include <gtest/gtest.h>

#include "SessionFixture.hpp"

namespace murel::app::test {
namespace {

std::vector<std::string> kindsOf(const std::vector<SentInput>& inputs) {
    std::vector<std::string> kinds;
    for (const SentInput& input : inputs) kinds.push_back(input.message.value("kind", ""));
    return kinds;
}

TEST_F(SessionTest, TheNinthQueuedFrameRecoversOnceAndTheRestOfTheDrainIsDropped) {
    viewerPresenting();
    const std::uint64_t decodedBefore = fake.media->with([](MediaLab& lab) { return lab.decodeTimestamps.size(); });
    std::vector<PeerEvent> burst;
    for (std::uint32_t i = 0; i < 12; ++i) burst.push_back(videoFrame(100000 + i));
    fake.peers->push(0, std::move(burst));

    const Status status = waitMessage("Recovering remote video; waiting for a keyframe");
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(controller->snapshot().videoRecoveries, 1u);
    EXPECT_FALSE(status.viewerInputActive);
    EXPECT_EQ(status.videoRect, VideoRect{});
    EXPECT_EQ(fake.peers->with(0, [](PeerRecord& r) { return r.keyframeRequests; }), 1);
    fake.media->with([&](MediaLab& lab) {
        // None of the burst was decoded: the queue was emptied, the frames after the 9th dropped.
        EXPECT_EQ(lab.decodeTimestamps.size(), decodedBefore);
        // A new H.264 decoder for the session's configuration.
        ASSERT_EQ(lab.decoders.size(), 3u);  // Connect's, the media's, the recovery's
        EXPECT_EQ(lab.decoders.back().codec, VideoCodec::H264);
        EXPECT_EQ(lab.decoders.back().width, 1920u);
        EXPECT_EQ(lab.decoders.back().height, 1080u);
        EXPECT_EQ(lab.decoders.back().fps, 60u);
    });
    // The host was told to let go of what the viewer held (after the first keepalive).
    EXPECT_EQ(kindsOf(inputsOf(0)), (std::vector<std::string>{"keepalive", "release"}));

    // A loss reported later while recovering needs no second release.
    fake.peers->push(0, peerEvent(PeerEventKind::VideoLoss));
    ASSERT_TRUE(eventually([&] { return controller->snapshot().videoRecoveries == 2; }));
    EXPECT_EQ(inputsOf(0).size(), 2u);
    // The next picture shows again.
    fake.peers->push(0, videoFrame(200000));
    waitStatus([](const Status& s) { return s.viewerInputActive; });
}

TEST_F(SessionTest, OnlyTheNewestPictureOfAPassIsPresentedAndTimestampsUseSixtyFourBits) {
    viewerStarted();
    fake.media->with([](MediaLab& lab) { lab.picturesPerUnit = 3; });
    fake.peers->push(0, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen),
                         videoFrame(0xFFFFFFFFu)});
    const Status status = waitStatus([](const Status& s) { return s.framesPresented == 1; });
    EXPECT_EQ(status.framesDecoded, 3u);
    fake.media->with([](MediaLab& lab) {
        EXPECT_EQ(lab.presents, 1);
        // 4294967295 x 1000 / 9, which 32-bit arithmetic would wrap.
        EXPECT_EQ(lab.decodeTimestamps, std::vector<std::int64_t>{477218588333});
    });
}

TEST_F(SessionTest, APresentThatIsNotConsumedKeepsThePictureForTheNextPass) {
    viewerStarted();
    fake.media->with([](MediaLab& lab) { lab.presentResult = PresentResult{PresentStatus::Presented, false}; });
    fake.peers->push(0, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen), videoFrame(1)});
    ASSERT_TRUE(eventually([&] { return controller->snapshot().framesDecoded == 1; }));
    ASSERT_TRUE(fake.passes->wait(3));
    EXPECT_EQ(controller->snapshot().framesPresented, 0u);
    fake.media->with([](MediaLab& lab) { lab.presentResult = PresentResult{PresentStatus::Presented, true}; });
    const Status status = waitStatus([](const Status& s) { return s.framesPresented == 1; });
    EXPECT_EQ(status.framesDecoded, 1u);  // the same picture, not a new decode
}

TEST_F(SessionTest, AHiddenViewerStopsInputAndReleasesOnce) {
    viewerPresenting();
    fake.media->with([](MediaLab& lab) { lab.presentResult = PresentResult{PresentStatus::NotShown, true}; });
    fake.peers->push(0, videoFrame(2));
    Status status = waitMessage("Remote video decoded; viewer is not visible");
    EXPECT_FALSE(status.viewerInputActive);
    EXPECT_EQ(status.videoRect, VideoRect{});
    fake.peers->push(0, videoFrame(3));
    ASSERT_TRUE(eventually([&] { return controller->snapshot().framesDecoded == 3; }));
    EXPECT_EQ(kindsOf(inputsOf(0)), (std::vector<std::string>{"keepalive", "release"}));

    // Input while hidden goes nowhere, without error.
    Command key(CommandKind::Input);
    key.message = makeKeyInput(4, true);
    ASSERT_TRUE(controller->post(key));
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(inputsOf(0).size(), 2u);
    EXPECT_EQ(controller->snapshot().error, "");
}

const SentInput& inputOfKind(const std::vector<SentInput>& inputs, const std::string& kind) {
    for (const SentInput& input : inputs) {
        if (input.message.value("kind", "") == kind) return input;
    }
    static const SentInput none{Json(), -1};
    return none;
}

TEST_F(SessionTest, ReliableInputSharesOneSequenceWithReleasesAndKeepalives) {
    viewerStarted();
    // Before the picture is shown, input is dropped.
    Command early(CommandKind::Input);
    early.message = makeKeyInput(4, true);
    ASSERT_TRUE(controller->post(early));
    ASSERT_TRUE(fake.passes->wait());
    fake.peers->push(0, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen), videoFrame(1)});
    waitStatus([](const Status& s) { return s.viewerInputActive; });
    // The first keepalive goes out with the first picture.
    ASSERT_EQ(kindsOf(inputsOf(0)), std::vector<std::string>{"keepalive"});
    EXPECT_EQ(inputsOf(0)[0].message, Json({{"kind", "keepalive"}, {"sequence", 1}, {"version", 1}}));

    Command key(CommandKind::Input);
    key.message = makeKeyInput(4, true);
    Command move(CommandKind::Input);
    move.channel = kPointerChannel;
    move.message = makeMoveInput(77, 0.5, 0.25);
    ASSERT_TRUE(controller->post(key));
    ASSERT_TRUE(controller->post(move));
    ASSERT_TRUE(controller->post(Command(CommandKind::ReleaseInput)));
    ASSERT_TRUE(eventually([&] { return inputsOf(0).size() == 4; }));
    fake.clock->advanceMilliseconds(249);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(inputsOf(0).size(), 4u);  // no keepalive before 250 ms
    fake.clock->advanceMilliseconds(1);
    ASSERT_TRUE(eventually([&] { return inputsOf(0).size() == 5; }));

    const auto inputs = inputsOf(0);
    EXPECT_EQ(inputOfKind(inputs, "key").message["sequence"], 2);
    EXPECT_EQ(inputOfKind(inputs, "key").channel, 0);
    EXPECT_EQ(inputOfKind(inputs, "release").message["sequence"], 3);
    // The pointer channel keeps the viewer's own numbers and does not use one of the shared ones.
    EXPECT_EQ(inputOfKind(inputs, "move").message["sequence"], 77);
    EXPECT_EQ(inputOfKind(inputs, "move").channel, 1);
    EXPECT_EQ(inputs.back().message, Json({{"kind", "keepalive"}, {"sequence", 4}, {"version", 1}}));

    // A refused pointer move is dropped; a refused reliable message ends the session.
    fake.peers->with(0, [](PeerRecord& r) { r.refusePointer = true; });
    ASSERT_TRUE(controller->post(move));
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(controller->snapshot().error, "");
    EXPECT_TRUE(controller->snapshot().sessionActive);
    fake.peers->with(0, [](PeerRecord& r) { r.refuseControl = true; });
    ASSERT_TRUE(controller->post(key));
    const Status status = waitError("Reliable input could not be sent; session closed");
    EXPECT_FALSE(status.sessionActive);
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 1u);
}

TEST_F(SessionTest, ARefusedKeepaliveEndsTheSession) {
    viewerPresenting();
    fake.peers->with(0, [](PeerRecord& r) { r.refuseControl = true; });
    fake.clock->advanceMilliseconds(250);
    const Status status = waitError("Input keepalive failed");
    EXPECT_FALSE(status.sessionActive);
}

TEST_F(SessionTest, InputWhileOfflineIsAnError) {
    start();
    run(signInCommand());
    Command key(CommandKind::Input);
    key.message = makeKeyInput(4, true);
    ASSERT_TRUE(controller->post(key));
    EXPECT_EQ(waitStatus([](const Status& s) { return !s.error.empty(); }).error,
              "Connect device signaling before this action");
}

TEST_F(SessionTest, FrameRatesAreComputedOverAWindowOfAtLeastOneSecond) {
    viewerStarted();
    fake.peers->push(0, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen)});
    // 117 frames of one picture and one of three: 120 decoded, 118 presented.
    for (std::uint32_t i = 1; i <= 118; ++i) {
        if (i == 118) fake.media->with([](MediaLab& lab) { lab.picturesPerUnit = 3; });
        fake.peers->push(0, videoFrame(i * 1500));
        ASSERT_TRUE(eventually([&] { return controller->snapshot().framesPresented == i; })) << i;
    }
    fake.clock->advanceMilliseconds(999);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(controller->snapshot().decodeFps, 0.0);
    fake.clock->advanceMilliseconds(1001);
    const Status status = waitStatus([](const Status& s) { return s.decodeFps != 0; });
    EXPECT_DOUBLE_EQ(status.decodeFps, 60.0);
    EXPECT_DOUBLE_EQ(status.presentFps, 59.0);
}

}  // namespace
}  // namespace murel::app::test
