// The Linux HTTP client and signaling socket against the real murel-control on loopback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include <unistd.h>

#include "Backend.hpp"
#include "ControlProcess.hpp"
#include "LinuxBackend.hpp"
#include "TestServer.hpp"
#include "platform/HttpClient.hpp"
#include "platform/SignalingSocket.hpp"
#include "protocol/ControlApi.hpp"

namespace murel::test {
namespace {

namespace fs = std::filesystem;

// The service's origin for the Linux transports, with another scheme or host name on request.
ServerOrigin originOf(const ControlProcess& control, const std::string& scheme = "http",
                      const std::string& host = "127.0.0.1") {
    return parseServerOrigin(control.origin(scheme, host));
}

class ControlServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            control = new ControlProcess();
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
    void SetUp() override { ASSERT_NE(control, nullptr) << "murel-control is not running"; }
    static void TearDownTestSuite() {
        delete control;
        control = nullptr;
    }

    std::unique_ptr<Http> http() {
        return std::make_unique<HttpClient>(LinuxBackend::makeHttpTransport(originOf(*control), std::chrono::seconds(15)));
    }

    // A fresh account with one host-capable device.
    std::pair<AccountCredential, DeviceCredential> enrol(const std::string& name) {
        auto client = http();
        const AccountCredential account =
            requestAuth(*client, true, name + "@example.com", "correct horse battery");
        const DeviceCredential device = requestDeviceRegistration(*client, account.token, "pc-" + name, true);
        return {account, device};
    }

    static ControlProcess* control;
};

ControlProcess* ControlServiceTest::control = nullptr;

TEST_F(ControlServiceTest, RequestRoundTripAndRefusal) {
    auto client = http();
    const auto [account, device] = enrol("roundtrip");
    const AccountCredential again = requestAuth(*client, false, "roundtrip@example.com", "correct horse battery");
    EXPECT_EQ(again.userId, account.userId);
    const auto hosts = requestHosts(*client, device.token);
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].id, device.id);

    try {
        requestHosts(*client, "not-a-valid-token");
        ADD_FAILURE() << "an unknown token was accepted";
    } catch (const ProtocolError& e) {
        EXPECT_STREQ(e.what(), "Control API returned HTTP 401");
    }
}

TEST_F(ControlServiceTest, SignalingHelloHeartbeatAndCleanClose) {
    const auto [account, device] = enrol("signaling");
    ManualClock clock;
    SocketEvents events;
    auto socket = std::make_unique<SignalingSocket>(LinuxBackend::makeWebSocketTransport(originOf(*control)),
                                                    device.token, events.messageHandler(),
                                                    events.failureHandler(), clock);
    ASSERT_TRUE(events.waitForMessages(1));
    const Json hello = events.messages()[0];
    EXPECT_EQ(hello["type"], "hello");
    EXPECT_EQ(hello["payload"]["protocol"], "murel/1");
    EXPECT_EQ(hello["payload"]["device_id"], device.id);

    // The heartbeat leaves at 15 s; then a malformed status draws an error. The service handles a
    // connection's messages in order, so that error being the only reply shows the heartbeat was
    // received and accepted quietly.
    clock.advance(std::chrono::seconds(15));
    ASSERT_TRUE(socket->send({{"type", "host.status"}, {"payload", {{"ready", "yes"}}}}));
    ASSERT_TRUE(events.waitForMessages(2));
    const auto messages = events.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1]["type"], "error");
    EXPECT_TRUE(events.failures().empty());

    // A second connection of the same device is refused while the first is live...
    try {
        SignalingSocket second(LinuxBackend::makeWebSocketTransport(originOf(*control)), device.token,
                               [](Json) {}, [](const std::string&) {});
        ADD_FAILURE() << "a second live connection was accepted";
    } catch (const SignalingUpgradeRejected& e) {
        EXPECT_STREQ(e.what(), "Signaling upgrade rejected; sign in again or disconnect the other instance");
        EXPECT_EQ(e.status(), kUpgradeConflict);
    }

    // ...and accepted once the first closed cleanly.
    socket->close();
    EXPECT_TRUE(events.failures().empty());
    socket.reset();
    std::unique_ptr<SignalingSocket> next;
    ASSERT_TRUE(waitFor([&] {
        try {
            next = std::make_unique<SignalingSocket>(LinuxBackend::makeWebSocketTransport(originOf(*control)),
                                                     device.token, [](Json) {}, [](const std::string&) {});
            return true;
        } catch (const ProtocolError&) {
            return false;
        }
    }));
    next->close();

    // A refused upgrade: a token the service does not know.
    try {
        SignalingSocket refused(LinuxBackend::makeWebSocketTransport(originOf(*control)), "unknown-token",
                                [](Json) {}, [](const std::string&) {});
        ADD_FAILURE() << "an unknown token was upgraded";
    } catch (const SignalingUpgradeRejected& e) {
        EXPECT_STREQ(e.what(), "Signaling upgrade rejected; sign in again or disconnect the other instance");
        EXPECT_EQ(e.status(), kUpgradeUnauthorized);
    }
}

// HTTPS and WSS with a certificate made for the test: trusted only when its anchor is given, and
// only for the name it was issued to.
class ControlServiceTlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new fs::path(fs::path(::testing::TempDir()) / ("murel-tls-" + std::to_string(::getpid())));
        fs::remove_all(*dir);
        fs::create_directories(*dir);
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
            "-subj /CN=murel-test -addext subjectAltName=IP:127.0.0.1 -keyout " +
            (*dir / "key.pem").string() + " -out " + (*dir / "cert.pem").string() + " 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        try {
            control = new ControlProcess({"--tls-cert", (*dir / "cert.pem").string(), "--tls-key",
                                          (*dir / "key.pem").string()});
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
    void SetUp() override { ASSERT_NE(control, nullptr) << "murel-control is not running"; }
    static void TearDownTestSuite() {
        delete control;
        control = nullptr;
        fs::remove_all(*dir);
        delete dir;
    }

    static std::string failureOf(const ServerOrigin& origin, const std::string& ca) {
        TransportOptions options;
        options.extraCaFile = ca;
        HttpClient client(makeBeastHttpTransport(origin, options));
        try {
            requestHosts(client, "unknown-token");
        } catch (const ProtocolError& e) {
            return e.what();
        }
        return {};
    }

    static fs::path* dir;
    static ControlProcess* control;
};

fs::path* ControlServiceTlsTest::dir = nullptr;
ControlProcess* ControlServiceTlsTest::control = nullptr;

TEST_F(ControlServiceTlsTest, CertificateAndNameAreVerified) {
    const std::string ca = (*dir / "cert.pem").string();
    // Trusted and matching: the request reaches the service, which refuses the token.
    EXPECT_EQ(failureOf(originOf(*control, "https"), ca), "Control API returned HTTP 401");
    // Not trusted.
    const std::string untrusted = failureOf(originOf(*control, "https"), "");
    EXPECT_EQ(untrusted.rfind("Send HTTP request failed", 0), 0u) << untrusted;
    // Trusted, but issued for another name.
    const std::string mismatch = failureOf(originOf(*control, "https", "localhost"), ca);
    EXPECT_EQ(mismatch.rfind("Send HTTP request failed", 0), 0u) << mismatch;
}

TEST_F(ControlServiceTlsTest, SecureSignalingDeliversHello) {
    TransportOptions options;
    options.extraCaFile = (*dir / "cert.pem").string();
    HttpClient client(makeBeastHttpTransport(originOf(*control, "https"), options));
    const AccountCredential account = requestAuth(client, true, "tls@example.com", "correct horse battery");
    const DeviceCredential device = requestDeviceRegistration(client, account.token, "tls-pc", false);
    SocketEvents events;
    SignalingSocket socket(makeBeastWebSocketTransport(originOf(*control, "https"), options), device.token,
                           events.messageHandler(), events.failureHandler());
    ASSERT_TRUE(events.waitForMessages(1));
    EXPECT_EQ(events.messages()[0]["payload"]["device_id"], device.id);
    socket.close();
    EXPECT_TRUE(events.failures().empty());
}

}  // namespace
}  // namespace murel::test
