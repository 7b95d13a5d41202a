// SignalingSocket over a scripted transport: upgrade, accumulation, queue bound, heartbeat
// schedule, single report and close order, with a hand-driven clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "Backend.hpp"
#include "TestServer.hpp"
#include "platform/SignalingSocket.hpp"

namespace murel::test {
namespace {

struct Script {
    std::mutex lock;
    std::condition_variable changed;
    unsigned upgradeStatus = 101;
    std::string upgradePath;
    std::string upgradeHeaders;
    bool completed = false;
    std::deque<std::pair<WebSocketFrame, std::string>> incoming;
    bool receiveFails = false;
    bool holdSends = false;
    bool sendFails = false;
    int sendsStarted = 0;
    std::vector<std::string> log;  // "send:<text>", "close"
    bool closed = false;
    bool destroyed = false;

    void push(WebSocketFrame type, std::string bytes) {
        std::lock_guard<std::mutex> guard(lock);
        incoming.emplace_back(type, std::move(bytes));
        changed.notify_all();
    }
    void set(const std::function<void(Script&)>& change) {
        std::lock_guard<std::mutex> guard(lock);
        change(*this);
        changed.notify_all();
    }
    std::vector<std::string> sent() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> out;
        for (const auto& entry : log) {
            if (entry.rfind("send:", 0) == 0) out.push_back(entry.substr(5));
        }
        return out;
    }
};

class ScriptedTransport final : public WebSocketTransport {
public:
    explicit ScriptedTransport(std::shared_ptr<Script> script) : script_(std::move(script)) {}
    ~ScriptedTransport() override { script_->set([](Script& s) { s.destroyed = true; }); }

    unsigned upgrade(std::string_view path, std::string_view headers) override {
        std::lock_guard<std::mutex> guard(script_->lock);
        script_->upgradePath = path;
        script_->upgradeHeaders = headers;
        return script_->upgradeStatus;
    }
    void completeUpgrade() override { script_->set([](Script& s) { s.completed = true; }); }

    WebSocketReceived receive(std::span<char> buffer) override {
        std::unique_lock<std::mutex> guard(script_->lock);
        script_->changed.wait(guard, [&] {
            return script_->closed || script_->receiveFails || !script_->incoming.empty();
        });
        if (script_->closed || script_->receiveFails) throw std::runtime_error("receive failed");
        auto [type, bytes] = std::move(script_->incoming.front());
        script_->incoming.pop_front();
        if (bytes.size() > buffer.size()) throw std::logic_error("script piece larger than buffer");
        std::memcpy(buffer.data(), bytes.data(), bytes.size());
        return {type, bytes.size()};
    }

    void sendText(std::string_view message) override {
        std::unique_lock<std::mutex> guard(script_->lock);
        if (script_->closed) throw std::logic_error("send after close");
        ++script_->sendsStarted;
        script_->changed.notify_all();
        script_->changed.wait(guard, [&] { return !script_->holdSends; });
        if (script_->sendFails) throw std::runtime_error("send failed");
        script_->log.push_back("send:" + std::string(message));
    }

    void close() noexcept override {
        std::lock_guard<std::mutex> guard(script_->lock);
        if (!script_->closed) script_->log.push_back("close");
        script_->closed = true;
        script_->changed.notify_all();
    }

private:
    std::shared_ptr<Script> script_;
};

class SignalingSocketTest : public ::testing::Test {
protected:
    std::unique_ptr<SignalingSocket> open(HeartbeatClock& clock) {
        return std::make_unique<SignalingSocket>(std::make_unique<ScriptedTransport>(script), "tok-1",
                                                 events.messageHandler(), events.failureHandler(), clock);
    }
    std::unique_ptr<SignalingSocket> open() { return open(clock); }

    bool sendsStarted(int n) {
        return waitFor([&] {
            std::lock_guard<std::mutex> guard(script->lock);
            return script->sendsStarted >= n;
        });
    }

    std::shared_ptr<Script> script = std::make_shared<Script>();
    ManualClock clock;
    SocketEvents events;
};

const std::string kHeartbeat = R"({"type":"heartbeat"})";

TEST_F(SignalingSocketTest, UpgradeSendsTheBearerAndChecksTheStatus) {
    auto socket = open();
    EXPECT_EQ(script->upgradePath, "/v1/signaling");
    EXPECT_EQ(script->upgradeHeaders, "Accept: application/json\r\nAuthorization: Bearer tok-1\r\n");
    EXPECT_TRUE(script->completed);
    socket.reset();

    for (const unsigned status : {200u, 401u, 409u}) {
        script = std::make_shared<Script>();
        script->upgradeStatus = status;
        try {
            open();
            ADD_FAILURE() << status;
        } catch (const ProtocolError& e) {
            EXPECT_STREQ(e.what(), "Signaling upgrade rejected; sign in again or disconnect the other instance");
        }
        EXPECT_FALSE(script->completed);
        EXPECT_TRUE(script->destroyed);  // everything opened is released
    }
}

TEST_F(SignalingSocketTest, FragmentsAreJoinedAndParsedOnce) {
    auto socket = open();
    script->push(WebSocketFrame::Utf8Fragment, R"({"type":)");
    script->push(WebSocketFrame::Utf8Fragment, "");
    script->push(WebSocketFrame::Utf8Message, R"("hello"})");
    script->push(WebSocketFrame::Utf8Message, R"({"type":"next"})");
    ASSERT_TRUE(waitFor([&] { return events.messages().size() == 2; }));
    EXPECT_EQ(events.messages()[0], Json::parse(R"({"type":"hello"})"));
    EXPECT_EQ(events.messages()[1], Json::parse(R"({"type":"next"})"));
    socket->close();
    EXPECT_TRUE(events.failures().empty());
}

TEST_F(SignalingSocketTest, EachReceiveFailureIsReportedOnceWithItsReason) {
    struct Case {
        std::function<void(Script&)> act;
        const char* reason;
    };
    const std::string piece(8192, ' ');
    const Case cases[] = {
        {[](Script& s) { s.receiveFails = true; }, "Signaling connection lost"},
        {[](Script& s) { s.incoming.emplace_back(WebSocketFrame::Close, ""); }, "Signaling closed by server"},
        {[](Script& s) { s.incoming.emplace_back(WebSocketFrame::BinaryFragment, "x"); },
         "Unexpected signaling frame type"},
        {[](Script& s) { s.incoming.emplace_back(WebSocketFrame::BinaryMessage, ""); },
         "Unexpected signaling frame type"},
        {[](Script& s) { s.incoming.emplace_back(WebSocketFrame::Utf8Message, "{"); }, "Invalid signaling message"},
        {[](Script& s) { s.incoming.emplace_back(WebSocketFrame::Utf8Message, "7"); }, "Invalid signaling message"},
        {[&](Script& s) {
             // 16 full pieces reach the limit exactly; one byte more is too much.
             for (int i = 0; i < 16; ++i) s.incoming.emplace_back(WebSocketFrame::Utf8Fragment, piece);
             s.incoming.emplace_back(WebSocketFrame::Utf8Message, " ");
         },
         "Signaling message too large"},
    };
    for (const Case& c : cases) {
        script = std::make_shared<Script>();
        SocketEvents local;
        SignalingSocket socket(std::make_unique<ScriptedTransport>(script), "tok-1", local.messageHandler(),
                               local.failureHandler(), clock);
        script->set(c.act);
        ASSERT_TRUE(waitFor([&] { return !local.failures().empty(); })) << c.reason;
        EXPECT_FALSE(socket.send({{"type", "x"}}));
        socket.close();
        EXPECT_EQ(local.failures(), std::vector<std::string>{c.reason});
        EXPECT_TRUE(local.messages().empty()) << c.reason;
        EXPECT_TRUE(script->sent().empty()) << c.reason;
    }
}

TEST_F(SignalingSocketTest, AThrowingMessageHandlerStopsTheConnection) {
    SocketEvents local;
    SignalingSocket socket(
        std::make_unique<ScriptedTransport>(script), "tok-1",
        [](Json) { throw std::runtime_error("handler broke"); }, local.failureHandler(), clock);
    script->push(WebSocketFrame::Utf8Message, R"({"type":"hello"})");
    ASSERT_TRUE(waitFor([&] { return !local.failures().empty(); }));
    socket.close();
    EXPECT_EQ(local.failures(), std::vector<std::string>{"Invalid signaling message"});
}

TEST_F(SignalingSocketTest, TheSixtyFifthQueuedMessageStopsTheConnectionOnce) {
    script->holdSends = true;
    auto socket = open();
    ASSERT_TRUE(socket->send({{"n", 0}}));
    ASSERT_TRUE(sendsStarted(1));  // the sender is now blocked inside its send
    for (int i = 1; i <= 64; ++i) ASSERT_TRUE(socket->send({{"n", i}})) << i;
    EXPECT_TRUE(events.failures().empty());
    EXPECT_FALSE(socket->send({{"n", 65}}));
    EXPECT_EQ(events.failures(), std::vector<std::string>{"Signaling queue full; reconnect to continue"});
    EXPECT_FALSE(socket->send({{"n", 66}}));
    script->set([](Script& s) { s.holdSends = false; });
    socket->close();
    EXPECT_EQ(events.failures().size(), 1u);
    // Queued messages are dropped once the connection stopped.
    EXPECT_EQ(script->sent(), std::vector<std::string>{R"({"n":0})"});
}

TEST_F(SignalingSocketTest, OversizedMessagesAreRefusedQuietly) {
    auto socket = open();
    EXPECT_FALSE(socket->send(Json::parse(jsonObjectOfSize(131073))));
    EXPECT_FALSE(socket->send({{"bad", std::string("\xFF\xFE")}}));  // not valid UTF-8
    EXPECT_TRUE(socket->send(Json::parse(jsonObjectOfSize(131072))));
    ASSERT_TRUE(waitFor([&] { return script->sent().size() == 1; }));
    EXPECT_EQ(script->sent()[0].size(), 131072u);
    socket->close();
    EXPECT_TRUE(events.failures().empty());
}

TEST_F(SignalingSocketTest, HeartbeatsKeepTheirScheduleWhateverTheTraffic) {
    auto socket = open();
    clock.advance(std::chrono::milliseconds(14999));
    // The message goes out first: had a heartbeat been due, it would have gone ahead of it.
    ASSERT_TRUE(socket->send({{"n", 1}}));
    ASSERT_TRUE(waitFor([&] { return script->sent().size() == 1; }));
    EXPECT_EQ(script->sent()[0], R"({"n":1})");

    clock.advance(std::chrono::milliseconds(1));  // 15 s after the start, traffic or not
    ASSERT_TRUE(waitFor([&] { return script->sent().size() == 2; }));
    EXPECT_EQ(script->sent()[1], kHeartbeat);

    clock.advance(std::chrono::milliseconds(14999));
    ASSERT_TRUE(socket->send({{"n", 2}}));
    ASSERT_TRUE(waitFor([&] { return script->sent().size() == 3; }));
    EXPECT_EQ(script->sent()[2], R"({"n":2})");
    clock.advance(std::chrono::milliseconds(1));  // 30 s
    ASSERT_TRUE(waitFor([&] { return script->sent().size() == 4; }));
    EXPECT_EQ(script->sent()[3], kHeartbeat);

    // A heartbeat that falls due while messages wait goes first.
    script->set([](Script& s) { s.holdSends = true; });
    ASSERT_TRUE(socket->send({{"n", 3}}));
    ASSERT_TRUE(sendsStarted(5));
    ASSERT_TRUE(socket->send({{"n", 4}}));
    clock.advance(std::chrono::seconds(15));  // 45 s
    script->set([](Script& s) { s.holdSends = false; });
    ASSERT_TRUE(waitFor([&] { return script->sent().size() == 7; }));
    const auto sent = script->sent();
    EXPECT_EQ(sent[4], R"({"n":3})");
    EXPECT_EQ(sent[5], kHeartbeat);
    EXPECT_EQ(sent[6], R"({"n":4})");
    socket->close();
    EXPECT_TRUE(events.failures().empty());
}

TEST_F(SignalingSocketTest, SendFailureIsReported) {
    script->sendFails = true;
    auto socket = open();
    ASSERT_TRUE(socket->send({{"n", 1}}));
    ASSERT_TRUE(events.waitForFailure());
    EXPECT_FALSE(socket->send({{"n", 2}}));
    socket->close();
    EXPECT_EQ(events.failures(), std::vector<std::string>{"Signaling send failed"});
}

TEST_F(SignalingSocketTest, CloseReportsNothingAndClosesTheTransportAfterTheLastSend) {
    auto socket = open();
    ASSERT_TRUE(socket->send({{"n", 1}}));
    ASSERT_TRUE(waitFor([&] { return script->sent().size() == 1; }));
    socket->close();  // the pending receive now fails; that is not a failure to report
    socket->close();
    EXPECT_FALSE(socket->send({{"n", 2}}));
    socket.reset();
    EXPECT_TRUE(events.failures().empty());
    std::lock_guard<std::mutex> guard(script->lock);
    EXPECT_EQ(script->log, (std::vector<std::string>{R"(send:{"n":1})", "close"}));
    EXPECT_TRUE(script->destroyed);
}

}  // namespace
}  // namespace murel::test
