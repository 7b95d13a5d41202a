// The signaling channel as the Controller runs it: hello, closures old and new, service errors,
// session starts it cannot take, and the device list on command and every 3 s.
#include <gtest/gtest.h>

#include "ControllerFixture.hpp"

namespace murel::app::test {
namespace {

Json sessionStart(const std::string& id, const std::string& hostId, const std::string& clientId) {
    return makeSessionStartMessage(SessionInfo{id, hostId, clientId});
}

TEST_F(ControllerTest, ClosureSignsOutLocallyAndRefreshReconnects) {
    scriptAccount();
    start();
    signInOnline();
    fake.signaling->last()->onFailure("Receive WebSocket message failed");

    Status status = waitStatus([](const Status& s) { return !s.online; });
    EXPECT_EQ(status.error, "Signaling disconnected; refresh to reconnect or sign in again");
    EXPECT_EQ(status.message, "Device offline; refresh to reconnect");
    EXPECT_TRUE(status.signedIn);
    EXPECT_TRUE(status.hosts.empty());
    EXPECT_FALSE(status.busy);
    EXPECT_TRUE(fake.signaling->socket(0)->closed());
    // Not an operation: the counter did not move.
    EXPECT_EQ(status.completedOperations, 1u);

    status = run(Command(CommandKind::RefreshDevices));
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(status.message, "Authenticated; waiting for device signaling hello");
    ASSERT_EQ(fake.signaling->count(), 2u);
    deliver(fake.signaling->last(), makeHelloMessage("device-1"));
    waitStatus([](const Status& s) { return s.online; });
}

TEST_F(ControllerTest, ClosureOfAnOlderSocketChangesNothing) {
    scriptAccount();
    start();
    signInOnline();
    const auto old = fake.signaling->last();
    run(Command(CommandKind::SignOut));
    run(signInCommand());
    ASSERT_EQ(fake.signaling->count(), 2u);

    // The old socket's report and a message it had still queued arrive late, then the new hello.
    old->onMessage(makeHelloMessage("device-1"));
    old->onFailure("Receive WebSocket message failed");
    deliver(fake.signaling->last(), makeHelloMessage("device-1"));

    const Status status = waitStatus([](const Status& s) { return s.online; });
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(status.message, "Device online; select a ready host or enable hosting");
    EXPECT_TRUE(status.signedIn);
    EXPECT_FALSE(fake.signaling->last()->closed());
}

TEST_F(ControllerTest, RefreshWhileWaitingForTheHelloReconnects) {
    scriptAccount();
    start();
    run(signInCommand());
    const Status status = run(Command(CommandKind::RefreshDevices));
    EXPECT_EQ(status.message, "Authenticated; waiting for device signaling hello");
    EXPECT_EQ(fake.signaling->count(), 2u);
    EXPECT_TRUE(fake.signaling->socket(0)->closed());
    EXPECT_EQ(fake.service->count("GET /v1/hosts"), 0u);
}

TEST_F(ControllerTest, AFailedConnectionLeavesTheDeviceOfflineUntilRefresh) {
    scriptAccount();
    start();
    fake.signaling->failNext("Signaling upgrade rejected; sign in again or disconnect the other instance");
    Status status = run(signInCommand());
    EXPECT_EQ(status.error, "Signaling upgrade rejected; sign in again or disconnect the other instance");
    EXPECT_EQ(status.message, "Device offline; refresh to reconnect");
    EXPECT_TRUE(status.signedIn);
    EXPECT_FALSE(status.busy);

    status = run(Command(CommandKind::RefreshDevices));
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(fake.signaling->count(), 1u);
}

TEST_F(ControllerTest, ADuplicateHelloIsRefusedByTheErrorContainment) {
    scriptAccount();
    start();
    signInOnline();
    deliver(fake.signaling->last(), makeHelloMessage("device-1"));
    const Status status = waitStatus([](const Status& s) { return !s.error.empty(); });
    EXPECT_EQ(status.error, "Duplicate signaling hello");
    EXPECT_EQ(status.message, "Device online; operation could not be completed");
    EXPECT_TRUE(status.online);
}

TEST_F(ControllerTest, AHelloForAnotherDeviceIsRefused) {
    scriptAccount();
    start();
    run(signInCommand());
    deliver(fake.signaling->last(), makeHelloMessage("device-9"));
    const Status status = waitStatus([](const Status& s) { return !s.error.empty(); });
    EXPECT_EQ(status.error, "Signaling identity mismatch");
    EXPECT_EQ(status.message, "Device offline; refresh to reconnect");
    EXPECT_FALSE(status.online);
}

TEST_F(ControllerTest, ServiceErrorsAndStraySignalsAreReportedOrIgnored) {
    scriptAccount();
    start();
    signInOnline();
    // A peer signal for a session this device does not have, and a heartbeat: nothing happens.
    deliver(fake.signaling->last(), Json{{"type", "offer"}, {"session_id", "session-x"},
                                         {"payload", Json{{"sdp", "v=0"}}}});
    deliver(fake.signaling->last(), Json{{"type", "heartbeat"}});
    deliver(fake.signaling->last(), Json{{"type", "error"}, {"payload", Json{{"message", "nope"}}}});

    const Status status = waitStatus([](const Status& s) { return !s.error.empty(); });
    EXPECT_EQ(status.error, "Control service rejected an operation for this device or session");
    EXPECT_TRUE(status.online);
}

TEST_F(ControllerTest, ASessionStartThisDeviceCannotHostIsEndedAtTheService) {
    scriptAccount();
    start();
    signInOnline();
    deliver(fake.signaling->last(), sessionStart("session-1", "device-1", "host-2"));

    ASSERT_TRUE(eventually([&] { return fake.service->count("DELETE /v1/sessions/session-1") == 1; }));
    const auto requests = fake.service->requests();
    EXPECT_EQ(requests.back().bearer, "device-token-device-1");
    // Left idle, and the same start repeated is a new unrequested one.
    const Status status = waitStatus([](const Status& s) { return !s.busy; });
    EXPECT_FALSE(status.sessionActive);
    EXPECT_EQ(status.error, "");
}

TEST_F(ControllerTest, AnUnreservedSessionStartAsViewerIsRefused) {
    scriptAccount();
    start();
    signInOnline();
    fake.service->fail("DELETE /v1/sessions/*", "Control service rejected the request (HTTP 404)");
    deliver(fake.signaling->last(), sessionStart("session-2", "host-2", "device-1"));

    const Status status = waitStatus([](const Status& s) { return !s.error.empty(); });
    EXPECT_EQ(status.error, "Could not end an unrequested session: Control service rejected the request (HTTP 404)");
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-2"), 1u);
    EXPECT_FALSE(status.sessionActive);
    EXPECT_TRUE(status.online);
}

TEST_F(ControllerTest, ASessionStartNamingAnotherDeviceIsAMembershipError) {
    scriptAccount();
    start();
    signInOnline();
    deliver(fake.signaling->last(), sessionStart("session-3", "host-2", "host-3"));
    const Status status = waitStatus([](const Status& s) { return !s.error.empty(); });
    EXPECT_EQ(status.error, "Unexpected session start or membership mismatch");
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-3"), 0u);
}

TEST_F(ControllerTest, ASessionStartWithAMalformedEnvelopeIdIsAnInvalidMessage) {
    scriptAccount();
    start();
    signInOnline();
    for (const Json& id : {Json(7), Json(std::string(257, 's'))}) {
        Json message = sessionStart("session-4", "device-1", "host-2");
        message["session_id"] = id;
        deliver(fake.signaling->last(), message);
        const Status status = waitStatus([](const Status& s) { return !s.error.empty(); });
        EXPECT_EQ(status.error, "Invalid protocol message");
        run(Command(CommandKind::RefreshDevices));  // clears the error
    }
    EXPECT_EQ(fake.service->count("DELETE /v1/sessions/session-4"), 0u);
}

TEST_F(ControllerTest, DeviceListIsRefreshedAfterMoreThanThreeSecondsOnly) {
    scriptAccount();
    start();
    signInOnline();
    ASSERT_EQ(fake.service->count("GET /v1/hosts"), 1u);

    fake.clock->advanceMilliseconds(2999);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.service->count("GET /v1/hosts"), 1u);

    fake.clock->advanceMilliseconds(1);
    ASSERT_TRUE(eventually([&] { return fake.service->count("GET /v1/hosts") == 2; }));
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.service->count("GET /v1/hosts"), 2u);
    EXPECT_EQ(controller->snapshot().message, "Device online; select a ready host or enable hosting");
}

TEST_F(ControllerTest, RefreshCommandListsTheDevicesAndRestartsThePeriod) {
    scriptAccount();
    start();
    signInOnline();
    fake.clock->advanceMilliseconds(2000);
    Status status = run(Command(CommandKind::RefreshDevices));
    EXPECT_EQ(status.message, "Device online; host list updated");
    ASSERT_EQ(status.hosts.size(), 2u);
    EXPECT_EQ(status.hosts[1].id, "host-2");
    EXPECT_EQ(fake.service->count("GET /v1/hosts"), 2u);

    // 2 s after the command, 4 s after the first list: the period counts from the command.
    fake.clock->advanceMilliseconds(2000);
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.service->count("GET /v1/hosts"), 2u);
}

TEST_F(ControllerTest, AFailedPeriodicRefreshIsReportedAndRetriedNextPeriod) {
    scriptAccount();
    start();
    signInOnline();
    fake.service->fail("GET /v1/hosts", "Receive HTTP response failed (Windows error 12002)");
    fake.clock->advanceMilliseconds(3000);
    const Status status = waitStatus([](const Status& s) { return !s.error.empty(); });
    EXPECT_EQ(status.error, "Receive HTTP response failed (Windows error 12002)");
    EXPECT_EQ(status.message, "Device online; operation could not be completed");
    // Not retried within the period.
    ASSERT_TRUE(fake.passes->wait());
    EXPECT_EQ(fake.service->count("GET /v1/hosts"), 2u);
}

}  // namespace
}  // namespace murel::app::test
