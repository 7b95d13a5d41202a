#pragma once
// Signaling socket behaviour against a real loopback WebSocket server, for any backend.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "Backend.hpp"
#include "TestServer.hpp"
#include "platform/SignalingSocket.hpp"

namespace murel::test {

inline constexpr const char* kDeviceToken = "device-token_0123";

template <class B>
class SignalingBehaviour : public ::testing::Test {
protected:
    std::unique_ptr<SignalingSocket> connect(const TestServer& server,
                                             HeartbeatClock& clock = steadyHeartbeatClock()) {
        return std::make_unique<SignalingSocket>(B::makeWebSocketTransport(server.origin()), kDeviceToken,
                                                 events.messageHandler(), events.failureHandler(), clock);
    }

    // A server that accepts the upgrade, then runs `script`; afterwards it keeps reading frames
    // (answering a close) until the client goes.
    static TestServer::Handler upgraded(std::function<void(TestConnection&)> script) {
        return [script](TestConnection& c) {
            TestRequest request;
            if (!c.readRequest(request)) return;
            c.acceptUpgrade(request);
            script(c);
            WsFrame frame;
            while (c.readFrame(frame, std::chrono::seconds(20))) {
                if (frame.opcode == kClose) {
                    c.sendFrame(kClose, true, frame.payload.substr(0, 2));
                    return;
                }
            }
        };
    }

    // Waits for the one failure report, closes, and checks that no second one came.
    void expectSingleFailure(SignalingSocket& socket, const std::string& reason) {
        expectSingleFailure(socket, events, reason);
    }
    static void expectSingleFailure(SignalingSocket& socket, SocketEvents& events, const std::string& reason) {
        ASSERT_TRUE(events.waitForFailure()) << "no failure reported";
        socket.close();
        const auto failures = events.failures();
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0], reason);
        EXPECT_FALSE(socket.send({{"type", "late"}}));
    }

    SocketEvents events;
};

TYPED_TEST_SUITE_P(SignalingBehaviour);

TYPED_TEST_P(SignalingBehaviour, UpgradeMessagesAndCleanClose) {
    std::atomic<bool> sawClose{false};
    std::string received;
    std::mutex receivedLock;
    TestServer server([&](TestConnection& c) {
        TestRequest request;
        if (!c.readRequest(request)) return;
        c.acceptUpgrade(request);
        c.sendFrame(kText, true, R"({"type":"hello","payload":{"protocol":"murel/1"}})");
        WsFrame frame;
        while (c.readFrame(frame)) {
            if (frame.opcode == kClose) {
                // Status 1000, no reason.
                sawClose = frame.payload == std::string("\x03\xE8", 2);
                c.sendFrame(kClose, true, frame.payload);
                return;
            }
            std::lock_guard<std::mutex> guard(receivedLock);
            received += frame.payload + "|";
        }
    });
    auto socket = this->connect(server);
    ASSERT_TRUE(waitFor([&] { return this->events.messages().size() == 1; }));
    EXPECT_EQ(this->events.messages()[0]["type"], "hello");

    EXPECT_TRUE(socket->send({{"type", "host.status"}, {"payload", {{"ready", true}}}}));
    EXPECT_TRUE(socket->send({{"b", 1}, {"a", 2}}));
    const std::string expected = R"({"payload":{"ready":true},"type":"host.status"}|{"a":2,"b":1}|)";
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> guard(receivedLock);
        return received == expected;
    }));
    socket->close();
    EXPECT_TRUE(waitFor([&] { return sawClose.load(); }));
    EXPECT_TRUE(this->events.failures().empty());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/v1/signaling");
    EXPECT_EQ(requests[0].header("authorization"), std::string("Bearer ") + kDeviceToken);
    EXPECT_EQ(requests[0].header("accept"), "application/json");
    EXPECT_TRUE(requests[0].body.empty());
}

TYPED_TEST_P(SignalingBehaviour, RefusedUpgradeThrows) {
    for (const unsigned status : {401u, 409u, 200u}) {
        TestServer server([status](TestConnection& c) {
            TestRequest request;
            if (c.readRequest(request)) c.respond(status, R"({"error":"no"})");
        });
        try {
            this->connect(server);
            ADD_FAILURE() << "upgrade answered " << status << " was accepted";
        } catch (const SignalingUpgradeRejected& e) {
            // One text for the user; the status tells an unknown registration from a live one.
            EXPECT_STREQ(e.what(),
                         "Signaling upgrade rejected; sign in again or disconnect the other instance");
            EXPECT_EQ(e.status(), status);
        }
    }
    EXPECT_TRUE(this->events.failures().empty());
}

TYPED_TEST_P(SignalingBehaviour, InvalidTokenNeverConnects) {
    TestServer server([](TestConnection&) {});
    for (const char* token : {"", "with space", "tab\there"}) {
        try {
            std::make_unique<SignalingSocket>(TypeParam::makeWebSocketTransport(server.origin()), token,
                                              this->events.messageHandler(), this->events.failureHandler());
            ADD_FAILURE() << "accepted token '" << token << "'";
        } catch (const ProtocolError& e) {
            EXPECT_STREQ(e.what(), "Invalid credential");
        }
    }
    EXPECT_EQ(server.accepted(), 0);
}

TYPED_TEST_P(SignalingBehaviour, FragmentedMessageIsParsedOnceWhole) {
    const std::string big = jsonObjectOfSize(131072);
    TestServer server(this->upgraded([&](TestConnection& c) {
        const std::string first = R"({"type":"offer","payload":{"sdp":"v=0 and some more text"}})";
        for (std::size_t at = 0; at < first.size(); at += 5) {
            c.sendFrame(at == 0 ? kText : kContinuation, at + 5 >= first.size(), first.substr(at, 5));
        }
        // Exactly the limit, in fragments larger than the client's read buffer.
        for (std::size_t at = 0; at < big.size(); at += 20000) {
            c.sendFrame(at == 0 ? kText : kContinuation, at + 20000 >= big.size(), big.substr(at, 20000));
        }
    }));
    auto socket = this->connect(server);
    ASSERT_TRUE(waitFor([&] { return this->events.messages().size() == 2; }));
    const auto messages = this->events.messages();
    EXPECT_EQ(messages[0]["payload"]["sdp"], "v=0 and some more text");
    EXPECT_EQ(messages[1], Json::parse(big));
    socket->close();
    EXPECT_TRUE(this->events.failures().empty());
}

TYPED_TEST_P(SignalingBehaviour, FragmentsOverTheLimitStopTheConnection) {
    const std::string tooBig = jsonObjectOfSize(131073);
    TestServer server(this->upgraded([&](TestConnection& c) {
        for (std::size_t at = 0; at < tooBig.size(); at += 4096) {
            c.sendFrame(at == 0 ? kText : kContinuation, at + 4096 >= tooBig.size(), tooBig.substr(at, 4096));
        }
    }));
    auto socket = this->connect(server);
    this->expectSingleFailure(*socket, "Signaling message too large");
    EXPECT_TRUE(this->events.messages().empty());
}

TYPED_TEST_P(SignalingBehaviour, BinaryFrameStopsTheConnection) {
    TestServer server(this->upgraded([](TestConnection& c) {
        c.sendFrame(kBinary, true, std::string("\x01\x02\x03", 3));
        c.sendFrame(kText, true, R"({"type":"after"})");
    }));
    auto socket = this->connect(server);
    this->expectSingleFailure(*socket, "Unexpected signaling frame type");
    EXPECT_TRUE(this->events.messages().empty());
}

TYPED_TEST_P(SignalingBehaviour, NonJsonTextStopsTheConnection) {
    for (const char* text : {"hello", "[1,2]", R"({"a":1}{"b":2})"}) {
        SocketEvents events;
        TestServer server(this->upgraded([&](TestConnection& c) {
            c.sendFrame(kText, true, R"({"type":"ok"})");
            c.sendFrame(kText, true, text);
        }));
        auto socket = std::make_unique<SignalingSocket>(TypeParam::makeWebSocketTransport(server.origin()),
                                                        kDeviceToken, events.messageHandler(),
                                                        events.failureHandler());
        ASSERT_TRUE(events.waitForFailure()) << text;
        socket->close();
        EXPECT_EQ(events.failures(), std::vector<std::string>{"Invalid signaling message"}) << text;
        EXPECT_EQ(events.messages().size(), 1u) << text;
    }
}

TYPED_TEST_P(SignalingBehaviour, ServerCloseAndDropAreReportedOnce) {
    {
        TestServer server(this->upgraded([](TestConnection& c) {
            c.sendFrame(kClose, true, std::string("\x03\xE8", 2));
        }));
        auto socket = this->connect(server);
        this->expectSingleFailure(*socket, "Signaling closed by server");
    }
    {
        SocketEvents events;
        TestServer server([](TestConnection& c) {
            TestRequest request;
            if (!c.readRequest(request)) return;
            c.acceptUpgrade(request);
            c.drop();
        });
        SignalingSocket socket(TypeParam::makeWebSocketTransport(server.origin()), kDeviceToken,
                               events.messageHandler(), events.failureHandler());
        this->expectSingleFailure(socket, events, "Signaling connection lost");
    }
}

TYPED_TEST_P(SignalingBehaviour, HeartbeatReachesTheServer) {
    ManualClock clock;
    std::atomic<int> heartbeats{0};
    std::atomic<int> others{0};
    TestServer server([&](TestConnection& c) {
        TestRequest request;
        if (!c.readRequest(request)) return;
        c.acceptUpgrade(request);
        WsFrame frame;
        while (c.readFrame(frame)) {
            if (frame.opcode == kClose) {
                c.sendFrame(kClose, true, frame.payload);
                return;
            }
            (frame.payload == R"({"type":"heartbeat"})" ? heartbeats : others)++;
        }
    });
    auto socket = this->connect(server, clock);
    clock.advance(std::chrono::seconds(14));
    EXPECT_TRUE(socket->send({{"type", "x"}}));
    ASSERT_TRUE(waitFor([&] { return others.load() == 1; }));
    EXPECT_EQ(heartbeats.load(), 0);
    clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(waitFor([&] { return heartbeats.load() == 1; }));
    clock.advance(std::chrono::seconds(15));
    ASSERT_TRUE(waitFor([&] { return heartbeats.load() == 2; }));
    socket->close();
    EXPECT_TRUE(this->events.failures().empty());
}

TYPED_TEST_P(SignalingBehaviour, CloseWithAnUnresponsiveServerIsBounded) {
    TestServer server([](TestConnection& c) {
        TestRequest request;
        if (!c.readRequest(request)) return;
        c.acceptUpgrade(request);
        c.waitForStop();  // never reads, never answers the close
    });
    auto socket = this->connect(server);
    const auto started = std::chrono::steady_clock::now();
    socket->close();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    EXPECT_TRUE(this->events.failures().empty());
}

REGISTER_TYPED_TEST_SUITE_P(SignalingBehaviour, UpgradeMessagesAndCleanClose, RefusedUpgradeThrows,
                            InvalidTokenNeverConnects, FragmentedMessageIsParsedOnceWhole,
                            FragmentsOverTheLimitStopTheConnection, BinaryFrameStopsTheConnection,
                            NonJsonTextStopsTheConnection, ServerCloseAndDropAreReportedOnce,
                            HeartbeatReachesTheServer, CloseWithAnUnresponsiveServerIsBounded);

}  // namespace murel::test
