// WinHTTP client and WebSocket transport against loopback_server.py (started by
// with-loopback-server), through the portable HttpClient and SignalingSocket rules.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Backend.hpp"
#include "platform/SignalingSocket.hpp"
#include "platform/win/SignalingSocket.hpp"
#include "platform/win/WinHttpClient.hpp"
#include "platform/win/WinHttpWebSocketTransport.hpp"
#include "protocol/Wire.hpp"

namespace {

using namespace std::chrono_literals;
using murel::HttpRequest;
using murel::Json;
using murel::ServerOrigin;
using murel::win::WinHttpClient;
using murel::win::WinHttpWebSocketTransport;

ServerOrigin originFromEnvironment(const char* variable) {
    const char* port = std::getenv(variable);
    if (port == nullptr) throw std::runtime_error(std::string(variable) + " is not set; run through with-loopback-server");
    return murel::parseServerOrigin(std::string("http://127.0.0.1:") + port);
}

ServerOrigin server() { return originFromEnvironment("MUREL_TEST_PORT"); }

ServerOrigin tlsServer(const std::string& host) {
    const char* port = std::getenv("MUREL_TEST_TLS_PORT");
    if (port == nullptr) throw std::runtime_error("MUREL_TEST_TLS_PORT is not set; run through with-loopback-server");
    return murel::parseServerOrigin("https://" + host + ":" + port);
}
ServerOrigin nobody() { return originFromEnvironment("MUREL_TEST_CLOSED_PORT"); }

HttpRequest get(std::string path) { return HttpRequest{"GET", std::move(path), "", nullptr}; }

std::string failureOf(WinHttpClient& client, const HttpRequest& request) {
    try {
        client.request(request);
    } catch (const murel::ProtocolError& error) {
        return error.what();
    }
    return "<no exception>";
}

std::string bodyOfSize(std::size_t size) { return std::string(size - 8, 'x'); }

TEST(WinHttpLoopback, RequestCarriesExactlyTheFixedHeaders) {
    WinHttpClient client(server());
    const Json echo = client.request(get("/v1/echo"));
    EXPECT_EQ(echo["method"], "GET");
    EXPECT_EQ(echo["target"], "/v1/echo");
    EXPECT_EQ(echo["body"], "");
    const Json& headers = echo["headers"];
    EXPECT_EQ(headers["accept"], Json::array({"application/json"}));
    EXPECT_EQ(headers["user-agent"], Json::array({"MurelWindows/0.1"}));
    EXPECT_FALSE(headers.contains("authorization"));
    EXPECT_FALSE(headers.contains("content-type"));
    EXPECT_FALSE(headers.contains("cookie"));

    const Json posted = client.request(HttpRequest{"POST", "/v1/echo", "token-123", Json::object()});
    EXPECT_EQ(posted["method"], "POST");
    EXPECT_EQ(posted["body"], "{}");
    EXPECT_EQ(posted["headers"]["authorization"], Json::array({"Bearer token-123"}));
    EXPECT_EQ(posted["headers"]["content-type"], Json::array({"application/json"}));
    EXPECT_EQ(posted["headers"]["content-length"], Json::array({"2"}));

    const Json removed = client.request(HttpRequest{"DELETE", "/v1/echo", "t", nullptr});
    EXPECT_EQ(removed["method"], "DELETE");
    EXPECT_EQ(removed["body"], "");
}

TEST(WinHttpLoopback, RequestBodyLimit) {
    WinHttpClient client(server());
    const Json sent = client.request(HttpRequest{"POST", "/v1/size", "", Json{{"p", bodyOfSize(131072)}}});
    EXPECT_EQ(sent["size"], 131072);
    EXPECT_EQ(sent["contentType"], "application/json");
    EXPECT_EQ(failureOf(client, HttpRequest{"POST", "/v1/size", "", Json{{"p", bodyOfSize(131073)}}}),
              "Request too large");
}

TEST(WinHttpLoopback, StatusHandling) {
    WinHttpClient client(server());
    EXPECT_EQ(client.request(get("/v1/created")), Json({{"id", "made"}}));
    EXPECT_EQ(failureOf(client, get("/v1/missing")), "Control API returned HTTP 404");
    EXPECT_EQ(failureOf(client, get("/v1/no-content")), "Message size exceeds protocol limit");
    // Not followed: the target of the redirect would have answered 201 with a JSON object.
    EXPECT_EQ(failureOf(client, get("/v1/redirect")), "Control API returned HTTP 302");
    // Not answered with Windows credentials.
    EXPECT_EQ(failureOf(client, get("/v1/challenge")), "Control API returned HTTP 401");
}

TEST(WinHttpLoopback, ResponseBodyLimitAndPiecewiseReads) {
    WinHttpClient client(server());
    const Json largest = client.request(get("/v1/largest"));
    EXPECT_EQ(largest["p"].get<std::string>().size(), 131072u - 8u);
    EXPECT_EQ(failureOf(client, get("/v1/too-large")), "HTTP response too large");
    const Json chunked = client.request(get("/v1/chunked"));
    EXPECT_EQ(chunked["a"].get<std::string>(), std::string(20000, 'y'));
    EXPECT_EQ(chunked["b"], 2);
}

TEST(WinHttpLoopback, StalledServerFailsAtTheReceiveStep) {
    // Windows ends the wait at the receive timeout with ERROR_WINHTTP_TIMEOUT (12002). Wine 8 does
    // not apply the receive timeout while waiting for response headers; it fails only when the
    // server gives up on the connection (after 5 s), with another code at the same step.
    WinHttpClient client(server(), 1000);
    const std::string failure = failureOf(client, get("/v1/stall"));
    EXPECT_EQ(failure.rfind("Receive HTTP response failed (Windows error ", 0), 0u) << failure;
    EXPECT_EQ(failure.find("(Windows error 0)"), std::string::npos) << failure;
}

TEST(WinHttpLoopback, UnreachableServerFailsAtTheSendStep) {
    WinHttpClient client(nobody());
    EXPECT_EQ(failureOf(client, get("/v1/echo")), "Send HTTP request failed (Windows error 12029)");
}

TEST(WinHttpLoopback, RequestRulesApplyBeforeAnyConnection) {
    // Against a port nobody listens on: a connection attempt would fail with the send step instead.
    WinHttpClient client(nobody());
    EXPECT_EQ(failureOf(client, get("/v1/echo?x=1")), "Invalid API path");
    EXPECT_EQ(failureOf(client, get("/v2/echo")), "Invalid API path");
    EXPECT_EQ(failureOf(client, HttpRequest{"GET", "/v1/echo", "two words", nullptr}), "Invalid credential");
}

// Collects what a socket reports, from its own threads.
using Events = murel::test::SocketEvents;

// Wine's WinHTTP lacks the WebSocket close-timeout option; everything else is the production path.
std::unique_ptr<murel::SignalingSocket> connectSignaling(const std::string& scenario, Events& events,
                                                         murel::HeartbeatClock& clock = murel::steadyHeartbeatClock()) {
    return std::make_unique<murel::SignalingSocket>(
        std::make_unique<WinHttpWebSocketTransport>(server(), WinHttpWebSocketTransport::CloseTimeout::IfSupported),
        scenario, events.messageHandler(), events.failureHandler(), clock);
}

std::string upgradeFailure(const std::string& scenario) {
    Events events;
    try {
        connectSignaling(scenario, events);
    } catch (const murel::ProtocolError& error) {
        return error.what();
    }
    return "<no exception>";
}

// Waits for the one report, then closes so that no further report can come, and returns them all.
std::vector<std::string> reportsAfterClose(const std::string& scenario) {
    Events events;
    auto socket = connectSignaling(scenario, events);
    EXPECT_TRUE(events.waitForFailure());
    socket->close();
    return events.failures();
}

TEST(WinHttpSignaling, HelloEchoAndCleanClose) {
    Events events;
    auto socket = connectSignaling("echo", events);
    ASSERT_TRUE(events.waitForMessages(1));
    EXPECT_EQ(events.messages()[0], Json({{"type", "hello"}}));

    ASSERT_TRUE(socket->send(Json{{"type", "ping"}, {"n", 1}}));
    ASSERT_TRUE(events.waitForMessages(2));
    EXPECT_EQ(events.messages()[1], Json({{"type", "echo"}, {"got", R"({"n":1,"type":"ping"})"}}));

    // The largest message goes out whole, as one final frame.
    const Json largest{{"type", "big"}, {"p", std::string(131072 - 21, 'x')}};
    ASSERT_EQ(murel::toCompactJson(largest).size(), 131072u);
    ASSERT_TRUE(socket->send(largest));
    ASSERT_TRUE(events.waitForMessages(3));
    EXPECT_EQ(events.messages()[2], Json({{"type", "big-size"}, {"size", 131072}, {"fin", true}}));

    const auto started = std::chrono::steady_clock::now();
    socket->close();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_TRUE(events.failures().empty());
    EXPECT_FALSE(socket->send(Json{{"type", "late"}}));
}

TEST(WinHttpSignaling, FragmentedMessageOfTheLimitArrivesOnce) {
    Events events;
    auto socket = connectSignaling("fragments", events);
    ASSERT_TRUE(events.waitForMessages(2));
    socket->close();
    const auto messages = events.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["p"].get<std::string>().size(), 131072u - 8u);
    EXPECT_EQ(messages[1], Json({{"type", "after"}}));
    EXPECT_TRUE(events.failures().empty());
}

TEST(WinHttpSignaling, ReceiveFailuresAreReportedOnce) {
    using Reports = std::vector<std::string>;
    EXPECT_EQ(reportsAfterClose("over-limit"), Reports{"Signaling message too large"});
    EXPECT_EQ(reportsAfterClose("binary"), Reports{"Unexpected signaling frame type"});
    EXPECT_EQ(reportsAfterClose("not-json"), Reports{"Invalid signaling message"});
    EXPECT_EQ(reportsAfterClose("array"), Reports{"Invalid signaling message"});
    EXPECT_EQ(reportsAfterClose("server-close"), Reports{"Signaling closed by server"});
    EXPECT_EQ(reportsAfterClose("drop"), Reports{"Signaling connection lost"});
}

TEST(WinHttpSignaling, RefusedUpgrade) {
    const std::string refused = "Signaling upgrade rejected; sign in again or disconnect the other instance";
    EXPECT_EQ(upgradeFailure("reject-401"), refused);
    EXPECT_EQ(upgradeFailure("reject-409"), refused);
    EXPECT_EQ(upgradeFailure("bad token"), "Invalid credential");
}

// Windows bounds the close handshake by the 1000 ms close timeout; Wine, which lacks that option,
// waits until the server drops the connection (after 5 s). Either way close returns and nothing is
// reported for the receive that the close ends.
TEST(WinHttpSignaling, CloseReturnsWhileTheServerIsUnresponsive) {
    Events events;
    auto socket = connectSignaling("unresponsive", events);
    const auto started = std::chrono::steady_clock::now();
    socket->close();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_TRUE(events.failures().empty());
}

// The heartbeat's fifteen seconds are the socket's clock, advanced here by hand.
TEST(WinHttpSignaling, HeartbeatReachesTheServerEveryFifteenSeconds) {
    murel::test::ManualClock clock;
    Events events;
    auto socket = connectSignaling("echo", events, clock);
    ASSERT_TRUE(events.waitForMessages(1));
    clock.advance(14s);
    // Not due yet: the echo of a message sent now is the next thing to come back.
    ASSERT_TRUE(socket->send(Json{{"type", "ping"}}));
    ASSERT_TRUE(events.waitForMessages(2));
    EXPECT_EQ(events.messages()[1]["type"], "echo");
    clock.advance(1s);
    ASSERT_TRUE(events.waitForMessages(3));
    EXPECT_EQ(events.messages()[2]["type"], "saw-heartbeat");
    clock.advance(15s);
    ASSERT_TRUE(events.waitForMessages(4));
    EXPECT_EQ(events.messages()[3]["type"], "saw-heartbeat");
    socket->close();
    EXPECT_TRUE(events.failures().empty());
}

TEST(WinHttpSignaling, ProductionSocketEitherConnectsOrNamesTheCloseTimeoutStep) {
    Events events;
    try {
        murel::win::SignalingSocket socket(server(), "echo", events.messageHandler(), events.failureHandler());
        ASSERT_TRUE(events.waitForMessages(1));
        EXPECT_EQ(events.messages()[0], Json({{"type", "hello"}}));
        socket.close();
    } catch (const murel::ProtocolError& error) {
        // Wine's WinHTTP answers the option with ERROR_WINHTTP_INVALID_OPTION.
        EXPECT_STREQ(error.what(), "Set WebSocket close timeout failed (Windows error 12009)");
    }
    EXPECT_TRUE(events.failures().empty());
}

// Wine's chain engine trusts only the host's root certificates, so the positive TLS path cannot be
// shown here; an untrusted certificate shows that requests and upgrades go out over TLS with
// certificate verification and that the error surfaces at the send step. (Without TLS the request
// would fail at the receive step instead, on an answer that is not HTTP.)
TEST(WinHttpTls, UntrustedCertificateFailsAtTheSendStep) {
    const std::string sendFailed = "Send HTTP request failed (Windows error ";
    WinHttpClient untrusted(tlsServer("localhost"));
    const std::string failure = failureOf(untrusted, get("/v1/created"));
    EXPECT_EQ(failure.rfind(sendFailed, 0), 0u) << failure;

    Events events;
    std::string upgrade = "<no exception>";
    try {
        murel::SignalingSocket socket(
            std::make_unique<WinHttpWebSocketTransport>(tlsServer("localhost"),
                                                        WinHttpWebSocketTransport::CloseTimeout::IfSupported),
            "echo", events.messageHandler(), events.failureHandler());
    } catch (const murel::ProtocolError& error) {
        upgrade = error.what();
    }
    EXPECT_EQ(upgrade.rfind(sendFailed, 0), 0u) << upgrade;
    EXPECT_TRUE(events.failures().empty());
}

}  // namespace
