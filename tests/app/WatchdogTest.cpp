// The deadlines tick enforces, at their edges: a deadline expires only when the clock is strictly
// later than it, and when two expire in one tick the earlier step's text is the one reported.
#include <gtest/gtest.h>

#include "SessionFixture.hpp"

namespace murel::app::test {
namespace {

TEST_F(SessionTest, AReservationThatNeverStartsEndsAfterFifteenSeconds) {
    reserve();
    fake.clock->advanceMilliseconds(15000);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_TRUE(controller->snapshot().reservationPending);
    EXPECT_EQ(controller->snapshot().error, "");

    fake.clock->advanceMilliseconds(1);
    const Status status = waitError("Session start did not arrive within 15 seconds");
    EXPECT_FALSE(status.reservationPending);
    EXPECT_EQ(status.message, "Device online; operation could not be completed");
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 1u);
    // The presenter was emptied and dropped with the reservation.
    EXPECT_EQ(fake.media->with([](MediaLab& lab) { return lab.presentEmpties; }), 2);
}

TEST_F(SessionTest, ASessionWithoutUsableVideoEndsAfterFifteenSeconds) {
    viewerStarted();
    fake.peers->push(0, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen)});
    waitMessage("Transport connected; waiting for video");
    fake.clock->advanceMilliseconds(15000);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_TRUE(controller->snapshot().sessionActive);

    fake.clock->advanceMilliseconds(1);
    const Status status = waitError("Session produced no usable video within 15 seconds");
    EXPECT_FALSE(status.sessionActive);
    EXPECT_TRUE(closed(0));
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-1"), 1u);
}

TEST_F(SessionTest, APresentedFrameClearsTheDeadlineAndALossStartsANewWindow) {
    viewerStarted();
    fake.peers->push(0, {peerEvent(PeerEventKind::Connected), peerEvent(PeerEventKind::ChannelsOpen)});
    fake.clock->advanceMilliseconds(14900);
    fake.peers->push(0, videoFrame(1));
    waitStatus([](const Status& s) { return s.framesPresented == 1; });
    fake.clock->advanceMilliseconds(10000);  // 24.9 s after the set-up
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_TRUE(controller->snapshot().sessionActive);

    fake.peers->push(0, peerEvent(PeerEventKind::VideoLoss));
    waitMessage("Recovering remote video; waiting for a keyframe");
    fake.clock->advanceMilliseconds(15000);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_TRUE(controller->snapshot().sessionActive);
    fake.clock->advanceMilliseconds(1);
    waitError("Session produced no usable video within 15 seconds");
}

TEST_F(SessionTest, WhenTwoDeadlinesExpireInOneTickTheStreamSettingsOneIsReported) {
    viewerPresenting();
    hostAdvertises();
    Command apply(CommandKind::ApplyStreamSettings);
    StreamConfiguration mode;
    mode.fps = 30;
    mode.maxBitrateBps = 10000000;
    mode.hasHeight = true;
    apply.streamConfiguration = mode;
    EXPECT_EQ(run(apply).message, "Applying stream settings");
    // A loss restarts the session's 15 s window at the same moment.
    fake.peers->push(0, peerEvent(PeerEventKind::VideoLoss));
    waitMessage("Recovering remote video; waiting for a keyframe");

    fake.clock->advanceMilliseconds(15000);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_TRUE(controller->snapshot().streamSettingsPending);
    fake.clock->advanceMilliseconds(1);
    const Status status = waitStatus([](const Status& s) { return !s.error.empty(); });
    EXPECT_EQ(status.error, "Stream settings change timed out after 15 seconds");
    EXPECT_FALSE(status.sessionActive);
    EXPECT_FALSE(status.streamSettingsPending);
    EXPECT_FALSE(status.hostStreamSettingsKnown);
}

}  // namespace
}  // namespace murel::app::test
