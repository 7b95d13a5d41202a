// The Windows HTTP client and signaling transport against the real control service (started by
// with-control-service with a 16 s signaling idle limit).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Backend.hpp"
#include "platform/SignalingSocket.hpp"
#include "platform/win/WinHttpClient.hpp"
#include "platform/win/WinHttpWebSocketTransport.hpp"
#include "protocol/ControlApi.hpp"

namespace {

using namespace std::chrono_literals;
using murel::Json;

murel::ServerOrigin controlOrigin() {
    const char* port = std::getenv("MUREL_CONTROL_PORT");
    if (port == nullptr) throw std::runtime_error("MUREL_CONTROL_PORT is not set; run through with-control-service");
    return murel::parseServerOrigin(std::string("http://127.0.0.1:") + port);
}

using Events = murel::test::SocketEvents;

std::unique_ptr<murel::SignalingSocket> connectSignaling(const std::string& token, Events& events) {
    // Wine's WinHTTP lacks the close-timeout option; the rest is the production transport.
    return std::make_unique<murel::SignalingSocket>(
        std::make_unique<murel::win::WinHttpWebSocketTransport>(
            controlOrigin(), murel::win::WinHttpWebSocketTransport::CloseTimeout::IfSupported),
        token, events.messageHandler(), events.failureHandler());
}

class WinControlService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        murel::win::WinHttpClient http(controlOrigin());
        account = murel::requestAuth(http, true, "winplat@example.com", "correct horse battery");
        device = murel::requestDeviceRegistration(http, account.token, "Wine PC", true);
    }

    static inline murel::AccountCredential account;
    static inline murel::DeviceCredential device;
};

TEST_F(WinControlService, RequestRoundTripsAndRefusedToken) {
    murel::win::WinHttpClient http(controlOrigin());
    const auto again = murel::requestAuth(http, false, "winplat@example.com", "correct horse battery");
    EXPECT_EQ(again.userId, account.userId);
    EXPECT_FALSE(again.token.empty());

    const auto hosts = murel::requestHosts(http, device.token);
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].id, device.id);

    try {
        murel::requestHosts(http, "not-a-valid-token");
        FAIL() << "an unknown token was accepted";
    } catch (const murel::ProtocolError& error) {
        EXPECT_STREQ(error.what(), "Control API returned HTTP 401");
    }
}

TEST_F(WinControlService, SignalingHelloSecondInstanceAndCleanClose) {
    Events events;
    auto socket = connectSignaling(device.token, events);
    ASSERT_TRUE(events.waitForMessages(1, 10s));
    const Json hello = events.messages()[0];
    EXPECT_EQ(hello["type"], "hello");
    EXPECT_EQ(hello["payload"]["device_id"], device.id);
    EXPECT_EQ(hello["payload"]["protocol"], "murel/1");

    // The service admits one signaling connection per device.
    Events second;
    try {
        connectSignaling(device.token, second);
        FAIL() << "a second connection of the same device was admitted";
    } catch (const murel::ProtocolError& error) {
        EXPECT_STREQ(error.what(), "Signaling upgrade rejected; sign in again or disconnect the other instance");
    }
    Events refused;
    try {
        connectSignaling("not-a-valid-token", refused);
        FAIL() << "an unknown token was admitted";
    } catch (const murel::ProtocolError& error) {
        EXPECT_STREQ(error.what(), "Signaling upgrade rejected; sign in again or disconnect the other instance");
    }

    const auto started = std::chrono::steady_clock::now();
    socket->close();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_TRUE(events.failures().empty());
}

TEST_F(WinControlService, HeartbeatKeepsAnIdleConnectionOpen) {
    // The service drops a connection that sends nothing for 16 s; the heartbeat at 15 s keeps it.
    Events events;
    auto socket = connectSignaling(device.token, events);
    ASSERT_TRUE(events.waitForMessages(1, 10s));
    EXPECT_FALSE(events.waitForFailure(24s)) << events.failures()[0];
    socket->close();
    EXPECT_TRUE(events.failures().empty());
}

}  // namespace
