// The worker loop: overflow, coalescing order, busy refusals, the stop handshake, error
// containment and the apartment set-up.
#include <gtest/gtest.h>

#include <thread>

#include "ControllerFixture.hpp"

namespace murel::app::test {
namespace {

Command pointerMove(int x) {
    Command command(CommandKind::Input);
    command.channel = kPointerChannel;
    command.message = Json{{"kind", "pointer"}, {"x", x}};
    return command;
}

// Holds the worker inside a RefreshDevices request, so the test can post while it is busy.
class HeldWorkerTest : public ControllerTest {
protected:
    void SetUp() override {
        scriptAccount();
        start();
        signInOnline();
        fake.service->hold("GET /v1/hosts");
        before = controller->snapshot().completedOperations;
        ASSERT_TRUE(controller->post(Command(CommandKind::RefreshDevices)));
        ASSERT_TRUE(fake.service->waitHeld());
        waitStatus([](const Status& s) { return s.busy; });
    }

    std::uint64_t before = 0;
};

TEST_F(HeldWorkerTest, SixtyFifthCommandIsRefusedAndTheQueuedOnesAreDroppedAndCounted) {
    // While busy only commands that end or release something pass; SignOut is one.
    EXPECT_FALSE(controller->post(Command(CommandKind::RefreshDevices)));
    for (std::size_t i = 0; i < kCommandQueueLimit; ++i) {
        ASSERT_TRUE(controller->post(Command(CommandKind::SignOut))) << i;
    }
    EXPECT_FALSE(controller->post(Command(CommandKind::SignOut)));
    fake.service->release();

    const Status status = waitOperations(before + 1 + kCommandQueueLimit);
    EXPECT_EQ(status.completedOperations, before + 1 + kCommandQueueLimit);
    EXPECT_EQ(status.error, "Connection queues are full; session closed to release input");
    EXPECT_EQ(status.message, "Device online; operation could not be completed");
    EXPECT_FALSE(status.busy);
    // None of the dropped sign-outs ran.
    EXPECT_TRUE(status.signedIn);
    EXPECT_EQ(fake.service->count("DELETE /v1/devices/device-1"), 0u);
    EXPECT_EQ(fake.service->count("POST /v1/auth/logout"), 0u);

    // The loop goes on: the next command runs normally.
    const Status after = run(Command(CommandKind::RefreshDevices));
    EXPECT_EQ(after.error, "");
    EXPECT_EQ(after.message, "Device online; host list updated");
}

TEST_F(HeldWorkerTest, CoalescedPointerMoveRunsAfterTheOtherCommandsOfItsPass) {
    // Posted first, the pointer moves still reach the worker after the sign-out: signed out, the
    // surviving move is refused with an error. Handled first, it would have been dropped quietly
    // by a device that was still online.
    ASSERT_TRUE(controller->post(pointerMove(1)));
    ASSERT_TRUE(controller->post(pointerMove(2)));
    ASSERT_TRUE(controller->post(Command(CommandKind::SignOut)));
    fake.service->release();

    const Status status = waitStatus([&](const Status& s) {
        return s.completedOperations >= before + 2 && !s.error.empty();
    });
    EXPECT_FALSE(status.signedIn);
    EXPECT_EQ(status.error, "Connect device signaling before this action");
    EXPECT_EQ(status.message, "Sign in to your Murel account");
    EXPECT_EQ(fake.service->count("POST /v1/auth/logout"), 1u);
}

TEST_F(HeldWorkerTest, QueuedOperationsNeverRunAfterStopButAreCounted) {
    ASSERT_TRUE(controller->post(Command(CommandKind::SignOut)));
    ASSERT_TRUE(controller->post(Command(CommandKind::SignOut)));
    ASSERT_TRUE(controller->post(Command(CommandKind::SignOut)));
    ASSERT_TRUE(controller->post(pointerMove(1)));  // input: dropped, not counted
    controller->requestStop();
    EXPECT_FALSE(controller->post(Command(CommandKind::SignOut)));
    const std::shared_ptr<OpenedSocket> socket = fake.signaling->last();
    fake.service->release();

    ASSERT_TRUE(eventually([&] { return controller->workerStopped(); }));
    const Status status = controller->snapshot();
    EXPECT_EQ(status.completedOperations, before + 1 + 3);
    EXPECT_EQ(fake.service->count("DELETE /v1/devices/device-1"), 0u);
    // Shutdown signs out locally: the channel is closed, the saved credential stays for next time.
    EXPECT_FALSE(status.signedIn);
    EXPECT_FALSE(status.online);
    EXPECT_TRUE(socket->closed());
    EXPECT_TRUE(fake.vault->get(target()).has_value());
    EXPECT_FALSE(controller->post(Command(CommandKind::RefreshDevices)));
}

TEST_F(HeldWorkerTest, AClosureEndsItsPassBeforeTheCommandsWhichAreDroppedAndCounted) {
    // The closure and the sign-out reach the worker in the same pass: the closure is handled
    // first, and its failure drops the sign-out, which is still counted as finished.
    ASSERT_TRUE(controller->post(Command(CommandKind::SignOut)));
    fake.signaling->last()->onFailure("Receive WebSocket message failed");
    fake.service->release();

    const Status status = waitOperations(before + 2);
    EXPECT_EQ(status.completedOperations, before + 2);
    EXPECT_EQ(status.error, "Signaling disconnected; refresh to reconnect or sign in again");
    EXPECT_EQ(status.message, "Device offline; refresh to reconnect");
    EXPECT_TRUE(status.signedIn);
    EXPECT_FALSE(status.busy);
    EXPECT_EQ(fake.service->count("DELETE /v1/devices/device-1"), 0u);
    EXPECT_EQ(fake.service->count("POST /v1/auth/logout"), 0u);
    EXPECT_TRUE(fake.vault->get(target()).has_value());
}

TEST_F(ControllerTest, SignOutIsAcceptedWhileBusyAndRefreshIsNot) {
    scriptAccount();
    start();
    fake.service->hold("POST /v1/auth/login");
    ASSERT_TRUE(controller->post(signInCommand()));
    ASSERT_TRUE(fake.service->waitHeld());
    Status status = waitStatus([](const Status& s) { return s.busy; });
    EXPECT_EQ(status.message, "Signing in to your Murel account");
    EXPECT_FALSE(controller->post(Command(CommandKind::RefreshDevices)));
    EXPECT_FALSE(controller->post(signInCommand(CommandKind::Restore)));
    EXPECT_TRUE(controller->post(Command(CommandKind::SignOut)));
    fake.service->release();

    status = waitOperations(2);
    EXPECT_EQ(status.completedOperations, 2u);
    EXPECT_FALSE(status.busy);
    EXPECT_FALSE(status.signedIn);
    EXPECT_EQ(status.message, "Signed out; saved credentials removed");
    EXPECT_FALSE(fake.vault->get(target()).has_value());
}

TEST_F(ControllerTest, CommandsOfFlowsThePlatformLacksFailWithClearErrors) {
    scriptAccount();
    Platform platform = fake.make();
    platform.media = MediaFactory{};
    platform.makePeer = nullptr;
    controller = std::make_unique<Controller>(std::move(platform));
    run(signInCommand(CommandKind::SignIn, true));
    deliver(fake.signaling->last(), makeHelloMessage("device-1"));
    waitStatus([](const Status& s) { return s.online; });

    Command connect(CommandKind::Connect);
    connect.hostId = "host-2";
    EXPECT_EQ(run(connect).error, "Remote viewing is unavailable on this device");
    EXPECT_EQ(run(Command(CommandKind::EnableHosting)).error, "Hosting is unavailable on this device");
    // Nothing was reserved or announced; ending and disabling have nothing to do.
    EXPECT_EQ(fake.service->count("POST /v1/sessions"), 0u);
    EXPECT_EQ(run(Command(CommandKind::EndSession)).message, "Session ended");
    const Status status = run(Command(CommandKind::DisableHosting));
    EXPECT_EQ(status.message, "Hosting disabled");
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(run(Command(CommandKind::ApplyStreamSettings)).error, "Choose a stream mode first");
}

TEST_F(ControllerTest, AFailedOperationReportsItsTextAndTheRestOfItsPassIsCounted) {
    start();
    // Not signed in: the refresh fails; the worker reports and goes on.
    Status status = run(Command(CommandKind::RefreshDevices));
    EXPECT_EQ(status.error, "Connect device signaling before this action");
    EXPECT_EQ(status.message, "Sign in to your Murel account");
    EXPECT_FALSE(status.busy);

    // Input while offline is an error too, but not an operation.
    Command key(CommandKind::Input);
    key.message = Json{{"kind", "key"}};
    ASSERT_TRUE(controller->post(std::move(key)));
    ASSERT_TRUE(controller->post(Command(CommandKind::RefreshDevices)));
    status = waitOperations(2);
    EXPECT_EQ(status.completedOperations, 2u);
    EXPECT_EQ(status.error, "Connect device signaling before this action");
}

TEST_F(ControllerTest, ComStartFailureStopsTheWorkerWithItsWords) {
    bool left = false;
    bool mediaStarted = false;
    WorkerApartment apartment;
    apartment.enter = [] { return false; };
    apartment.startMedia = [&] { mediaStarted = true; };
    apartment.leave = [&] { left = true; };
    start(std::move(apartment));

    ASSERT_TRUE(eventually([&] { return controller->workerStopped(); }));
    const Status status = controller->snapshot();
    EXPECT_EQ(status.message, "Unable to start Murel");
    EXPECT_EQ(status.error, "Windows COM initialization failed");
    EXPECT_FALSE(mediaStarted);
    EXPECT_FALSE(left);
    EXPECT_FALSE(controller->post(Command(CommandKind::SignIn)));
}

TEST_F(ControllerTest, MediaStartFailureEndsTheWorkerThroughTheOuterHandler) {
    std::vector<std::string> calls;  // touched by the worker only until it stopped
    WorkerApartment apartment;
    apartment.enter = [&] { calls.push_back("enter"); return true; };
    apartment.startMedia = [&] {
        calls.push_back("startMedia");
        throw ProtocolError("Start Media Foundation failed (HRESULT 2147500037)");
    };
    apartment.stopMedia = [&] { calls.push_back("stopMedia"); };
    apartment.leave = [&] { calls.push_back("leave"); };
    start(std::move(apartment));

    ASSERT_TRUE(eventually([&] { return controller->workerStopped(); }));
    const Status status = controller->snapshot();
    EXPECT_EQ(status.message, "Unable to continue Murel");
    EXPECT_EQ(status.error, "Start Media Foundation failed (HRESULT 2147500037)");
    EXPECT_EQ(calls, (std::vector<std::string>{"enter", "startMedia", "leave"}));
    EXPECT_FALSE(controller->post(Command(CommandKind::RefreshDevices)));
}

TEST_F(ControllerTest, ApartmentIsEnteredAndLeftOnTheWorkerInOrder) {
    std::vector<std::string> calls;
    std::vector<std::thread::id> threads;
    auto note = [&](const char* what) {
        calls.push_back(what);
        threads.push_back(std::this_thread::get_id());
    };
    WorkerApartment apartment;
    apartment.enter = [&] { note("enter"); return true; };
    apartment.startMedia = [&] { note("startMedia"); };
    apartment.stopMedia = [&] { note("stopMedia"); };
    apartment.leave = [&] { note("leave"); };
    start(std::move(apartment));
    controller->requestStop();
    ASSERT_TRUE(eventually([&] { return controller->workerStopped(); }));

    EXPECT_EQ(calls, (std::vector<std::string>{"enter", "startMedia", "stopMedia", "leave"}));
    for (const auto& id : threads) {
        EXPECT_EQ(id, threads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST_F(ControllerTest, DestroyingARunningControllerStopsItsWorkerAndClosesTheChannel) {
    scriptAccount();
    start();
    signInOnline();
    const std::shared_ptr<OpenedSocket> socket = fake.signaling->last();
    controller.reset();
    EXPECT_TRUE(socket->closed());
}

TEST(ControllerPlatform, AnIncompletePlatformIsRefused) {
    FakePlatform fake;
    Platform platform = fake.make();
    platform.openSignaling = nullptr;
    EXPECT_THROW(Controller{std::move(platform)}, std::invalid_argument);
}

}  // namespace
}  // namespace murel::app::test
