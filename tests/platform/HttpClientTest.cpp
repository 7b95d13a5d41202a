// HttpClient over a scripted transport: what it hands the transport, how it reads, and that every
// exchange is released on every path.
#include <gtest/gtest.h>

#include <deque>
#include <memory>

#include "platform/HttpClient.hpp"

namespace murel::test {
namespace {

struct Exchanges {
    int live = 0;
    std::string method, path, headers, body;
    unsigned status = 200;
    std::deque<std::string> pieces;
    std::vector<std::size_t> bufferSizes;
    bool sendFails = false;
};

class ScriptedExchange final : public HttpExchange {
public:
    explicit ScriptedExchange(Exchanges& state) : state_(state) { ++state_.live; }
    ~ScriptedExchange() override { --state_.live; }
    unsigned status() override { return state_.status; }
    std::size_t read(std::span<char> buffer) override {
        state_.bufferSizes.push_back(buffer.size());
        if (state_.pieces.empty()) return 0;
        const std::string piece = state_.pieces.front();
        state_.pieces.pop_front();
        std::copy(piece.begin(), piece.end(), buffer.begin());
        return piece.size();
    }

private:
    Exchanges& state_;
};

class ScriptedHttpTransport final : public HttpTransport {
public:
    explicit ScriptedHttpTransport(Exchanges& state) : state_(state) {}
    std::unique_ptr<HttpExchange> send(std::string_view method, std::string_view path,
                                       std::string_view headers, std::string_view body) override {
        state_.method = method;
        state_.path = path;
        state_.headers = headers;
        state_.body = body;
        if (state_.sendFails) throw ProtocolError("Send HTTP request failed (Windows error 12029)");
        return std::make_unique<ScriptedExchange>(state_);
    }

private:
    Exchanges& state_;
};

std::string failureOf(Http& http, const HttpRequest& request) {
    try {
        http.request(request);
    } catch (const ProtocolError& e) {
        return e.what();
    }
    return {};
}

TEST(HttpClientTest, HeaderBlockIsExact) {
    Exchanges state;
    state.pieces = {"{}"};
    HttpClient client(std::make_unique<ScriptedHttpTransport>(state));
    client.request({"POST", "/v1/devices", "abc", {{"name", "pc"}}});
    EXPECT_EQ(state.headers,
              "Accept: application/json\r\nAuthorization: Bearer abc\r\nContent-Type: application/json\r\n");
    EXPECT_EQ(state.body, R"({"name":"pc"})");
    EXPECT_EQ(state.method, "POST");
    EXPECT_EQ(state.path, "/v1/devices");

    state.pieces = {"{}"};
    client.request({"GET", "/v1/", "", nullptr});
    EXPECT_EQ(state.headers, "Accept: application/json\r\n");
    EXPECT_EQ(state.body, "");
}

TEST(HttpClientTest, BodyIsReadInPiecesOfAtMost8192Bytes) {
    Exchanges state;
    state.pieces = {R"({"a")", ":", R"([1,2,3]})"};
    HttpClient client(std::make_unique<ScriptedHttpTransport>(state));
    EXPECT_EQ(client.request({"GET", "/v1/x", "", nullptr}), Json::parse(R"({"a":[1,2,3]})"));
    ASSERT_EQ(state.bufferSizes.size(), 4u);  // three pieces, then the end
    for (const std::size_t size : state.bufferSizes) EXPECT_EQ(size, 8192u);
    EXPECT_EQ(state.live, 0);
}

TEST(HttpClientTest, EveryPathReleasesTheExchange) {
    Exchanges state;
    HttpClient client(std::make_unique<ScriptedHttpTransport>(state));
    state.status = 404;
    state.pieces = {"{}"};
    EXPECT_EQ(failureOf(client, {"GET", "/v1/x", "", nullptr}), "Control API returned HTTP 404");
    EXPECT_EQ(state.live, 0);
    state.status = 200;
    state.pieces = {"nope"};
    EXPECT_EQ(failureOf(client, {"GET", "/v1/x", "", nullptr}), "Invalid JSON message");
    EXPECT_EQ(state.live, 0);
    state.pieces.assign(17, std::string(8192, ' '));
    EXPECT_EQ(failureOf(client, {"GET", "/v1/x", "", nullptr}), "HTTP response too large");
    EXPECT_EQ(state.live, 0);
    // Transport failures pass through unchanged.
    state.sendFails = true;
    EXPECT_EQ(failureOf(client, {"GET", "/v1/x", "", nullptr}), "Send HTTP request failed (Windows error 12029)");
    EXPECT_EQ(state.live, 0);
}

TEST(HttpClientTest, StatusRangeIsTwoHundredToTwoNinetyNine) {
    Exchanges state;
    HttpClient client(std::make_unique<ScriptedHttpTransport>(state));
    for (const unsigned status : {199u, 300u, 101u}) {
        state.status = status;
        state.pieces = {"{}"};
        EXPECT_EQ(failureOf(client, {"GET", "/v1/x", "", nullptr}),
                  "Control API returned HTTP " + std::to_string(status));
    }
    for (const unsigned status : {200u, 299u}) {
        state.status = status;
        state.pieces = {"{}"};
        EXPECT_EQ(failureOf(client, {"GET", "/v1/x", "", nullptr}), "");
    }
}

}  // namespace
}  // namespace murel::test
