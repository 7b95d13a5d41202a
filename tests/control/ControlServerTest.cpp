// The real murel-control binary on an ephemeral loopback port, driven through the program's own
// control-service requests and signaling state machine.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "Crypto.hpp"
#include "OnlineDevice.hpp"
#include "TestClient.hpp"
#include "protocol/ControlApi.hpp"
#include "protocol/SignalingSession.hpp"

#include "ErrorOf.hpp"

namespace murel::test {
namespace {

using namespace std::chrono_literals;

std::int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

using murel::test::errorOf;

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir.path() / "turn.secret") << "  north-wind-secret\n";
        server = std::make_unique<ServerProcess>(
            dir.path() / "data",
            std::vector<std::string>{"--stun", "stun:stun.example.org:3478", "--turn",
                                     "turn:turn.example.org:3478?transport=udp", "--turn-secret",
                                     (dir.path() / "turn.secret").string(), "--turn-ttl", "120"});
        http = std::make_unique<TestHttp>(server->port());
    }
    void TearDown() override {
        if (HasFailure() && server) std::cerr << "server log:\n" << server->log();
    }

    TempDir dir;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<TestHttp> http;
};

TEST_F(ServerTest, FullSessionFlowBetweenTwoDevices) {
    const auto account = requestAuth(*http, true, "owner@example.org", "correct horse battery");
    EXPECT_EQ(errorOf([&] { requestAuth(*http, true, "owner@example.org", "another password"); }),
              "Control API returned HTTP 409");
    EXPECT_EQ(errorOf([&] { requestAuth(*http, false, "owner@example.org", "wrong password!"); }),
              "Control API returned HTTP 401");
    const auto signedIn = requestAuth(*http, false, "owner@example.org", "correct horse battery");
    EXPECT_EQ(signedIn.userId, account.userId);

    const auto hostCredential = requestDeviceRegistration(*http, account.token, "Host PC", true);
    const auto viewerCredential = requestDeviceRegistration(*http, signedIn.token, "Viewer PC", false);
    const auto thirdCredential = requestDeviceRegistration(*http, account.token, "Third PC", true);

    OnlineDevice host(server->port(), hostCredential);
    OnlineDevice viewer(server->port(), viewerCredential);
    OnlineDevice third(server->port(), thirdCredential);

    // A second live connection of one device is refused.
    WsClient duplicate(server->port(), hostCredential.token);
    EXPECT_EQ(duplicate.status(), 409);

    host.ws.sendJson({{"type", "host.status"}, {"payload", {{"ready", true}, {"reason", "Ready"}}}});
    // Presence reaches the viewer's host list (the status is applied in order with this request
    // because the next message the host sends is answered only after it).
    host.ws.sendJson({{"type", "bogus"}});
    ASSERT_EQ(host.next().kind, SignalEventKind::Error);
    const auto hosts = requestHosts(*http, viewerCredential.token);
    ASSERT_EQ(hosts.size(), 3u);
    for (const auto& h : hosts) {
        EXPECT_TRUE(h.online) << h.id;
        if (h.id == hostCredential.id) {
            EXPECT_TRUE(h.ready);
            EXPECT_FALSE(h.busy);
            EXPECT_EQ(h.reason, "Ready");
            EXPECT_EQ(h.name, "Host PC");
            EXPECT_EQ(h.platform, "windows");
        }
    }
    EXPECT_EQ(errorOf([&] { requestSession(*http, viewerCredential, thirdCredential.id); }),
              "Control API returned HTTP 409");

    const auto session = requestSession(*http, viewerCredential, hostCredential.id);
    EXPECT_EQ(host.next().kind, SignalEventKind::SessionStart);
    EXPECT_EQ(viewer.next().kind, SignalEventKind::SessionStart);
    EXPECT_TRUE(host.signals.isHost());
    EXPECT_EQ(host.signals.session()->id, session.id);
    for (const auto& h : requestHosts(*http, thirdCredential.token)) {
        EXPECT_EQ(h.busy, h.id == hostCredential.id || h.id == viewerCredential.id) << h.id;
    }

    // Offer, answer and candidates travel unchanged to the other member only.
    const Json offer{{"type", "offer"}, {"session_id", session.id}, {"payload", {{"sdp", "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\n"}, {"stream_request_id", "r1"}}}};
    host.ws.sendJson(offer);
    auto received = viewer.ws.receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, offer);
    EXPECT_EQ(viewer.signals.classify(*received).kind, SignalEventKind::Description);
    const Json answer{{"type", "answer"}, {"session_id", session.id}, {"payload", {{"sdp", "v=0\r\n"}}}};
    viewer.ws.sendJson(answer);
    received = host.ws.receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, answer);
    EXPECT_EQ(host.signals.classify(*received).kind, SignalEventKind::Description);
    host.signals.takeQueuedCandidates(session.id);
    viewer.signals.takeQueuedCandidates(session.id);
    for (int i = 0; i < 20; ++i) {
        const Json ice{{"type", "ice"}, {"session_id", session.id},
                       {"payload", {{"candidate", "candidate:" + std::to_string(i) + " 1 udp 1 127.0.0.1 9 typ host"}, {"mid", "0"}, {"line", 0}}}};
        (i % 2 ? host : viewer).ws.sendJson(ice);
        auto& receiver = i % 2 ? viewer : host;
        const auto got = receiver.ws.receive();
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, ice);
        EXPECT_EQ(receiver.signals.classify(*got).kind, SignalEventKind::Candidate);
    }
    // The third device saw none of it: the first thing it receives is the answer to its own probe.
    third.ws.sendJson({{"type", "offer"}, {"session_id", session.id}, {"payload", {{"sdp", "v=0"}}}});
    const auto probe = third.ws.receive();
    ASSERT_TRUE(probe);
    EXPECT_EQ((*probe)["type"], "error");
    EXPECT_EQ((*probe)["session_id"], session.id);

    // Ending by request reaches both.
    EXPECT_EQ(errorOf([&] { requestSessionEnd(*http, thirdCredential, session.id); }), "Control API returned HTTP 403");
    requestSessionEnd(*http, viewerCredential, session.id);
    EXPECT_EQ(host.next().kind, SignalEventKind::SessionEnd);
    EXPECT_EQ(viewer.next().kind, SignalEventKind::SessionEnd);
    EXPECT_EQ(errorOf([&] { requestSessionEnd(*http, viewerCredential, session.id); }), "Control API returned HTTP 404");

    // A member's connection closing ends the session for the other.
    const auto second = requestSession(*http, viewerCredential, hostCredential.id);
    EXPECT_EQ(host.next().kind, SignalEventKind::SessionStart);
    EXPECT_EQ(viewer.next().kind, SignalEventKind::SessionStart);
    host.ws.sendFrame(8, std::string("\x03\xE8", 2));
    EXPECT_TRUE(host.ws.waitClosed());
    const auto ended = viewer.next();
    EXPECT_EQ(ended.kind, SignalEventKind::SessionEnd);
    EXPECT_EQ(ended.message["session_id"], second.id);
    // The host is offline now; it may connect again.
    bool offline = false;
    for (int i = 0; i < 50 && !offline; ++i) {
        for (const auto& h : requestHosts(*http, viewerCredential.token)) {
            if (h.id == hostCredential.id) offline = !h.online;
        }
        if (!offline) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(offline);
    OnlineDevice again(server->port(), hostCredential);
    EXPECT_EQ(errorOf([&] { requestSession(*http, viewerCredential, hostCredential.id); }), "Control API returned HTTP 409");
}

TEST_F(ServerTest, IceServersPassTheProgramsChecks) {
    const auto account = requestAuth(*http, true, "ice@example.org", "correct horse battery");
    const auto device = requestDeviceRegistration(*http, account.token, "PC", true);
    const auto before = unixNow();
    const auto ice = requestIceServers(*http, device, before);
    ASSERT_TRUE(ice.hasExpiry);
    EXPECT_GE(ice.expiresAt, before + 119);
    EXPECT_LE(ice.expiresAt, unixNow() + 121);
    ASSERT_EQ(ice.servers.size(), 2u);
    EXPECT_EQ(ice.servers[0].urls, std::vector<std::string>{"stun:stun.example.org:3478"});
    EXPECT_EQ(ice.servers[1].username, std::to_string(ice.expiresAt) + ":" + device.id);
    EXPECT_EQ(ice.servers[1].credential, turnCredential("north-wind-secret", ice.servers[1].username));
    // Not usable with an account token.
    EXPECT_EQ(errorOf([&] { requestIceServers(*http, DeviceCredential{device.id, account.token, ""}, before); }),
              "Control API returned HTTP 401");
}

TEST_F(ServerTest, TokensDieWithLogoutAndDeviceRemoval) {
    const auto account = requestAuth(*http, true, "tokens@example.org", "correct horse battery");
    const auto other = requestAuth(*http, true, "other@example.org", "correct horse battery");
    const auto device = requestDeviceRegistration(*http, account.token, "PC", true);
    const auto keeper = requestDeviceRegistration(*http, account.token, "Keeper", false);
    OnlineDevice online(server->port(), device);
    OnlineDevice watcher(server->port(), keeper);

    EXPECT_EQ(errorOf([&] { requestDeviceRemoval(*http, other.token, device.id); }), "Control API returned HTTP 403");
    EXPECT_EQ(errorOf([&] { requestDeviceRemoval(*http, account.token, "d_0000"); }), "Control API returned HTTP 404");
    requestDeviceRemoval(*http, account.token, device.id);
    EXPECT_TRUE(online.ws.waitClosed());
    EXPECT_EQ(errorOf([&] { requestHosts(*http, device.token); }), "Control API returned HTTP 401");
    WsClient refused(server->port(), device.token);
    EXPECT_EQ(refused.status(), 401);
    ASSERT_EQ(requestHosts(*http, keeper.token).size(), 1u);

    requestLogout(*http, account.token);
    EXPECT_EQ(errorOf([&] { requestDeviceRegistration(*http, account.token, "Late", false); }),
              "Control API returned HTTP 401");
    EXPECT_EQ(errorOf([&] { requestLogout(*http, account.token); }), "Control API returned HTTP 401");
    // Other tokens are untouched.
    EXPECT_EQ(requestHosts(*http, keeper.token).size(), 1u);
    requestDeviceRegistration(*http, other.token, "Theirs", false);
}

TEST_F(ServerTest, HttpLimitsAndRefusals) {
    const std::string json = "Content-Type: application/json\r\n";
    // A body of exactly the limit is read (and refused for its content); one byte more is 413.
    const std::string prefix = R"({"email":"a@b.c","password":")";
    const std::string exact = prefix + std::string(131072 - prefix.size() - 2, 'p') + "\"}";
    ASSERT_EQ(exact.size(), 131072u);
    EXPECT_EQ(httpExchange(server->port(), "POST", "/v1/auth/register", json, exact).status, 400);
    EXPECT_EQ(httpExchange(server->port(), "POST", "/v1/auth/register", json, exact + " ").status, 413);

    auto response = httpExchange(server->port(), "GET", "/v1/hosts", "", "");
    EXPECT_EQ(response.status, 401);
    EXPECT_EQ(response.headers["content-type"], "application/json");
    EXPECT_TRUE(parseWire(response.body, kControlBodyLimit).contains("error"));
    EXPECT_EQ(httpExchange(server->port(), "GET", "/v1/unknown", "", "").status, 404);
    EXPECT_EQ(httpExchange(server->port(), "PUT", "/v1/hosts", "", "").status, 405);
    EXPECT_EQ(httpExchange(server->port(), "POST", "/v1/auth/login", json, "{not json").status, 400);
    EXPECT_EQ(httpExchange(server->port(), "GET", "/v1/signaling", "", "").status, 400);
    // Logout and removals answer with an object, never an empty body.
    const auto account = requestAuth(*http, true, "limits@example.org", "correct horse battery");
    response = httpExchange(server->port(), "POST", "/v1/auth/logout", "Authorization: Bearer " + account.token + "\r\n", "");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "{}");
    // No secret in the log.
    EXPECT_EQ(server->log().find(account.token), std::string::npos);
    EXPECT_EQ(server->log().find("correct horse battery"), std::string::npos);
}

TEST_F(ServerTest, SignalingViolationsCloseTheConnection) {
    const auto account = requestAuth(*http, true, "ws@example.org", "correct horse battery");
    const auto device = requestDeviceRegistration(*http, account.token, "PC", true);
    {
        WsClient anonymous(server->port(), "");
        EXPECT_EQ(anonymous.status(), 401);
        WsClient wrong(server->port(), account.token);
        EXPECT_EQ(wrong.status(), 401);
    }
    auto closesAfter = [&](auto&& violate) {
        OnlineDevice d(server->port(), device);
        violate(d.ws);
        return d.ws.waitClosed();
    };
    EXPECT_TRUE(closesAfter([](WsClient& ws) { ws.sendFrame(2, "\x01\x02"); }));
    EXPECT_TRUE(closesAfter([](WsClient& ws) { ws.sendText("this is not json"); }));
    EXPECT_TRUE(closesAfter([](WsClient& ws) { ws.sendText("[1,2,3]"); }));
    EXPECT_TRUE(closesAfter([](WsClient& ws) {
        ws.sendText(R"({"type":"heartbeat","pad":")" + std::string(131072, 'x') + "\"}");
    }));
    // Fragments adding up to more than the limit close it too.
    EXPECT_TRUE(closesAfter([](WsClient& ws) {
        ws.sendFrame(1, std::string(70000, ' '), false);
        ws.sendFrame(0, std::string(70000, ' '), true);
    }));
    // A fragmented message within the limit is one message.
    OnlineDevice d(server->port(), device);
    d.ws.sendFrame(1, R"({"type":"nothing)", false);
    d.ws.sendFrame(0, R"(-known"})", true);
    const auto error = d.ws.receive();
    ASSERT_TRUE(error);
    EXPECT_EQ((*error)["type"], "error");
}

TEST(ServerSignIn, FailedSignInsFromOneAddressAreLimitedAcrossConnections) {
    TempDir dir;
    // Far more sign-ins a second than the unauthenticated allowance: the failure limit is tested.
    ServerProcess server(dir.path() / "data", {"--unauthenticated-rate", "1000"});
    TestHttp http(server.port());
    requestAuth(http, true, "victim@example.org", "correct horse battery");
    // Every request comes on a new connection (a new source port); the limit is per address.
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(errorOf([&] { requestAuth(http, false, "guess" + std::to_string(i) + "@example.org", "some password"); }),
                  "Control API returned HTTP 401");
    }
    EXPECT_EQ(errorOf([&] { requestAuth(http, false, "victim@example.org", "correct horse battery"); }),
              "Control API returned HTTP 429");
    const auto refused = httpExchange(server.port(), "POST", "/v1/auth/login", "Content-Type: application/json\r\n",
                                      R"({"email":"victim@example.org","password":"correct horse battery"})");
    EXPECT_EQ(refused.status, 429);
    ASSERT_EQ(refused.headers.count("retry-after"), 1u);
    EXPECT_GE(std::stol(refused.headers.at("retry-after")), 1);
}

TEST(ServerIdle, SilentConnectionsCloseHeartbeatsKeepThemOpen) {
    TempDir dir;
    ServerProcess server(dir.path() / "data", {"--test-idle-seconds", "2"});
    TestHttp http(server.port());
    const auto account = requestAuth(http, true, "idle@example.org", "correct horse battery");
    const auto talker = requestDeviceRegistration(http, account.token, "Talker", false);
    const auto silent = requestDeviceRegistration(http, account.token, "Silent", false);
    OnlineDevice a(server.port(), talker);
    OnlineDevice b(server.port(), silent);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 4s) {
        a.ws.sendText(kHeartbeatMessage);
        EXPECT_FALSE(a.ws.receive(500ms).has_value());
        EXPECT_FALSE(a.ws.closed());
    }
    EXPECT_TRUE(b.ws.waitClosed(5s));
    EXPECT_FALSE(a.ws.closed());
}

TEST(ServerRestart, AccountsAndDevicesSurviveKill9AndRestart) {
    TempDir dir;
    DeviceCredential device;
    {
        ServerProcess server(dir.path() / "data");
        TestHttp http(server.port());
        const auto account = requestAuth(http, true, "durable@example.org", "correct horse battery");
        device = requestDeviceRegistration(http, account.token, "Durable PC", true);
        server.kill9();
    }
    {
        ServerProcess server(dir.path() / "data");
        TestHttp http(server.port());
        const auto hosts = requestHosts(http, device.token);
        ASSERT_EQ(hosts.size(), 1u);
        EXPECT_EQ(hosts[0].name, "Durable PC");
        EXPECT_FALSE(hosts[0].online);
        const auto account = requestAuth(http, false, "durable@example.org", "correct horse battery");
        requestDeviceRegistration(http, account.token, "Second", false);
        EXPECT_EQ(server.stop(), 0) << "a clean stop on SIGTERM";
    }
    ServerProcess server(dir.path() / "data");
    TestHttp http(server.port());
    EXPECT_EQ(requestHosts(http, device.token).size(), 2u);
}

TEST(ServerTls, HttpsAndWssWithASelfSignedCertificate) {
    TempDir dir;
    const auto cert = (dir.path() / "cert.pem").string();
    const auto key = (dir.path() / "key.pem").string();
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1"
                                " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" + key +
                                "' -out '" + cert + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ServerProcess server(dir.path() / "data", {"--tls-cert", cert, "--tls-key", key});
    TestHttp https(server.port(), cert);
    const auto account = requestAuth(https, true, "tls@example.org", "correct horse battery");
    const auto device = requestDeviceRegistration(https, account.token, "PC", true);
    OnlineDevice online(server.port(), device, cert);
    online.ws.sendText(kHeartbeatMessage);
    online.ws.sendJson({{"type", "nope"}});
    const auto reply = online.ws.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["type"], "error");
    ASSERT_EQ(requestHosts(https, device.token).size(), 1u);
    EXPECT_TRUE(requestHosts(https, device.token)[0].online);
    // Plain HTTP is not spoken on the TLS port.
    EXPECT_THROW(httpExchange(server.port(), "GET", "/v1/hosts", "", ""), std::runtime_error);
}

TEST(ServerCommandLine, HelpAndRefusals) {
    const auto [helpStatus, help] = runBinary({"--help"});
    EXPECT_EQ(helpStatus, 0);
    for (const char* option : {"--listen", "--data", "--tls-cert", "--tls-key", "--stun", "--turn", "--turn-secret", "--turn-ttl"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    TempDir dir;
    const auto data = (dir.path() / "data").string();
    const auto [publicStatus, publicText] = runBinary({"--listen", "0.0.0.0:0", "--data", data});
    EXPECT_NE(publicStatus, 0);
    EXPECT_NE(publicText.find("refusing plain HTTP"), std::string::npos) << publicText;
    EXPECT_NE(runBinary({"--turn", "turn:x.org", "--data", data}).first, 0);
    EXPECT_NE(runBinary({"--stun", "http://x.org", "--data", data}).first, 0);
    EXPECT_NE(runBinary({"--bogus"}).first, 0);
}

}  // namespace
}  // namespace murel::test
