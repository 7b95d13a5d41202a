// The queues between the interface, the signaling socket and the worker, taken pass by pass.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "app/CommandQueue.hpp"

namespace murel::app::test {
namespace {

constexpr std::chrono::milliseconds kNoWait{0};

Command pointerMove(int x) {
    Command command(CommandKind::Input);
    command.channel = kPointerChannel;
    command.message = Json{{"kind", "pointer"}, {"x", x}};
    return command;
}

class CommandQueueTest : public ::testing::Test {
protected:
    std::shared_ptr<WorkerWake> wake = std::make_shared<WorkerWake>();
    CommandQueue queue{wake};
};

TEST_F(CommandQueueTest, SixtyFifthCommandIsRefusedAndFlagsOverflowForTheNextPass) {
    for (std::size_t i = 0; i < kCommandQueueLimit; ++i) {
        ASSERT_TRUE(queue.post(Command(CommandKind::SignOut))) << i;
    }
    EXPECT_FALSE(queue.post(Command(CommandKind::SignOut)));
    // Pointer moves never occupy the queue, so one still fits in its slot.
    EXPECT_TRUE(queue.post(pointerMove(1)));

    WorkBatch batch = queue.take(kNoWait);
    EXPECT_FALSE(batch.stop);
    EXPECT_TRUE(batch.overflow);
    EXPECT_EQ(batch.commands.size(), kCommandQueueLimit + 1);

    // The flag is taken with the batch; the next pass starts clean.
    EXPECT_TRUE(queue.post(Command(CommandKind::SignOut)));
    batch = queue.take(kNoWait);
    EXPECT_FALSE(batch.overflow);
    EXPECT_EQ(batch.commands.size(), 1u);
}

TEST_F(CommandQueueTest, PointerMovesCoalesceToTheNewestAfterTheOtherCommands) {
    Command key(CommandKind::Input);
    key.channel = kControlChannel;
    key.message = Json{{"kind", "key"}};
    ASSERT_TRUE(queue.post(pointerMove(1)));
    ASSERT_TRUE(queue.post(Command(CommandKind::RefreshDevices)));
    ASSERT_TRUE(queue.post(pointerMove(2)));
    ASSERT_TRUE(queue.post(std::move(key)));

    WorkBatch batch = queue.take(kNoWait);
    ASSERT_EQ(batch.commands.size(), 3u);
    EXPECT_EQ(batch.commands[0].kind, CommandKind::RefreshDevices);
    // Input on the reliable channel is ordinary queued work, in posting order.
    EXPECT_EQ(batch.commands[1].kind, CommandKind::Input);
    EXPECT_EQ(batch.commands[1].message["kind"], "key");
    EXPECT_EQ(batch.commands[2].channel, kPointerChannel);
    EXPECT_EQ(batch.commands[2].message["x"], 2);

    EXPECT_TRUE(queue.take(kNoWait).commands.empty());
}

TEST_F(CommandQueueTest, BusyAdmitsOnlyCommandsThatEndOrReleaseSomething) {
    Status busy;
    busy.busy = true;
    queue.publish(busy);
    EXPECT_FALSE(queue.post(Command(CommandKind::RefreshDevices)));
    EXPECT_FALSE(queue.post(Command(CommandKind::SignIn)));
    EXPECT_FALSE(queue.post(Command(CommandKind::EnableHosting)));
    EXPECT_FALSE(queue.post(Command(CommandKind::ApplyStreamSettings)));
    EXPECT_TRUE(queue.post(Command(CommandKind::SignOut)));
    EXPECT_TRUE(queue.post(Command(CommandKind::EndSession)));
    EXPECT_TRUE(queue.post(Command(CommandKind::DisableHosting)));
    EXPECT_TRUE(queue.post(Command(CommandKind::ReleaseInput)));
    EXPECT_TRUE(queue.post(pointerMove(3)));
    EXPECT_EQ(queue.take(kNoWait).commands.size(), 5u);
}

TEST_F(CommandQueueTest, ConnectIsRefusedWhileASessionIsReservedOrActive) {
    Status status;
    status.reservationPending = true;
    queue.publish(status);
    EXPECT_FALSE(queue.post(Command(CommandKind::Connect)));
    status.reservationPending = false;
    status.sessionActive = true;
    queue.publish(status);
    EXPECT_FALSE(queue.post(Command(CommandKind::Connect)));
    EXPECT_TRUE(queue.post(Command(CommandKind::RefreshDevices)));
    status.sessionActive = false;
    queue.publish(status);
    EXPECT_TRUE(queue.post(Command(CommandKind::Connect)));
}

TEST_F(CommandQueueTest, SignalingEventsAreBoundedAndKeepTheirGeneration) {
    for (std::size_t i = 0; i < kSignalingEventLimit; ++i) {
        queue.pushSignalingEvent(7, Json{{"type", "heartbeat"}}, false);
    }
    queue.pushSignalingEvent(7, Json(), true);  // the 65th: not kept, but flagged

    WorkBatch batch = queue.take(kNoWait);
    EXPECT_TRUE(batch.overflow);
    ASSERT_EQ(batch.events.size(), kSignalingEventLimit);
    EXPECT_EQ(batch.events.front().generation, 7u);
    EXPECT_FALSE(batch.events.back().closed);
}

TEST_F(CommandQueueTest, StopRefusesWorkAndCloseCountsOnlyQueuedOperations) {
    ASSERT_TRUE(queue.post(Command(CommandKind::SignOut)));
    ASSERT_TRUE(queue.post(Command(CommandKind::RefreshDevices)));
    ASSERT_TRUE(queue.post(Command(CommandKind::ReleaseInput)));
    ASSERT_TRUE(queue.post(pointerMove(4)));
    queue.requestStop();

    EXPECT_FALSE(queue.post(Command(CommandKind::SignOut)));
    queue.pushSignalingEvent(1, Json(), true);
    WorkBatch batch = queue.take(kNoWait);
    EXPECT_TRUE(batch.stop);
    EXPECT_TRUE(batch.commands.empty());
    EXPECT_TRUE(batch.events.empty());

    EXPECT_EQ(queue.close(), 2u);
    EXPECT_EQ(queue.close(), 0u);
}

TEST_F(CommandQueueTest, AWakeEndsTheWaitAndIsClearedByTheTake) {
    wake->wake();
    WorkBatch batch = queue.take(std::chrono::hours(1));  // returns at once: the wake is pending
    EXPECT_FALSE(batch.stop);
    EXPECT_TRUE(batch.commands.empty());
    EXPECT_FALSE(wake->pending.load());
}

}  // namespace
}  // namespace murel::app::test
