// The service's HTTP request reader without a network: requests in any pieces, pipelining, trailers
// kept out of the header, and every bound answered with its status instead of a throw.
#include <gtest/gtest.h>

#include <string>

#include "HttpRequestReader.hpp"

namespace murel {
namespace {

using State = HttpRequestReader::State;

// Feeds the text in pieces of `piece` bytes; stops at the first complete request or failure.
State feed(HttpRequestReader& reader, const std::string& text, std::size_t piece = 1 << 20) {
    State state = reader.state();
    for (std::size_t at = 0; at < text.size() && state == State::Incomplete; at += piece) {
        state = reader.put(std::string_view(text).substr(at, piece));
    }
    return state;
}

std::string chunked(const std::string& target, const std::string& chunks) {
    return "POST " + target + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks;
}

TEST(HttpRequestReader, RequestsInPiecesAndPipelined) {
    const std::string body = R"({"host_id":"d_1"})";
    const std::string post = "POST /v1/sessions HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer t0k\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body;
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
        HttpRequestReader reader;
        ASSERT_EQ(feed(reader, post, piece), State::Complete) << piece;
        const auto request = reader.take();
        EXPECT_EQ(request.method_string(), "POST");
        EXPECT_EQ(request.target(), "/v1/sessions");
        EXPECT_EQ(request[boost::beast::http::field::authorization], "Bearer t0k");
        EXPECT_EQ(request.body(), body);
        EXPECT_EQ(reader.state(), State::Incomplete);
        EXPECT_EQ(reader.pendingBytes(), 0u);
    }
    // Two requests in one read: the second is parsed as soon as the first is taken.
    HttpRequestReader reader;
    ASSERT_EQ(reader.put("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\nGET /v1/ice HTTP/1.1\r\nHost: x\r\n\r\nGET /v1/ho"),
              State::Complete);
    EXPECT_EQ(reader.take().target(), "/healthz");
    ASSERT_EQ(reader.state(), State::Complete);
    EXPECT_EQ(reader.take().target(), "/v1/ice");
    EXPECT_EQ(reader.state(), State::Incomplete);
    EXPECT_EQ(reader.put("sts HTTP/1.1\r\n\r\n"), State::Complete);
    EXPECT_EQ(reader.take().target(), "/v1/hosts");
}

TEST(HttpRequestReader, ChunkedBodiesKeepTrailersOutOfTheHeader) {
    HttpRequestReader reader;
    const std::string request = chunked("/v1/sessions", "5;name=value\r\n{\"hos\r\n9\r\nt_id\":\"d\"\r\n1\r\n}\r\n"
                                                        "0\r\nAuthorization: Bearer smuggled\r\nX-Check: 1\r\n\r\n");
    ASSERT_EQ(feed(reader, request, 3), State::Complete);
    const auto message = reader.take();
    EXPECT_EQ(message.body(), R"({"host_id":"d"})");
    EXPECT_EQ(message.count(boost::beast::http::field::authorization), 0u);
    EXPECT_EQ(message.count("X-Check"), 0u);
}

TEST(HttpRequestReader, EveryBoundIsAStatusNotAThrow) {
    const HttpRequestLimits limits;
    struct Case {
        const char* name;
        std::string bytes;
        int status;
    };
    const std::string bigField(65535, 'a');
    std::string manyFields;
    for (int i = 0; i < 200; ++i) manyFields += "X-" + std::to_string(i) + ": " + std::string(30, 'v') + "\r\n";
    std::string tinyChunks;
    for (std::size_t i = 0; i < limits.total / 6 + 1; ++i) tinyChunks += "1\r\nx\r\n";
    const std::vector<Case> cases = {
        {"trailer value of 65535 bytes", chunked("/v1/ice", "0\r\nX: " + bigField + "\r\n\r\n"), 431},
        {"trailer name of 65535 bytes", chunked("/v1/ice", "0\r\n" + bigField + ": v\r\n\r\n"), 431},
        {"trailer fields adding up", chunked("/v1/ice", "0\r\n" + manyFields + "\r\n"), 431},
        {"chunk-size line", chunked("/v1/ice", "1;" + std::string(limits.trailer + 10, 'e') + "\r\nx\r\n0\r\n\r\n"), 431},
        {"header", "GET / HTTP/1.1\r\nX: " + std::string(limits.header, 'h') + "\r\n\r\n", 431},
        {"announced body", "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(limits.body + 1) + "\r\n\r\n", 413},
        {"chunked body", chunked("/", "20001\r\n" + std::string(limits.body + 1, 'b') + "\r\n0\r\n\r\n"), 413},
        {"chunked body in small chunks", chunked("/", [&] {
             std::string s;
             for (int i = 0; i < 33; ++i) s += "1000\r\n" + std::string(4096, 'b') + "\r\n";
             return s + "0\r\n\r\n";
         }()), 413},
        {"framing of tiny chunks", chunked("/", tinyChunks + "0\r\n\r\n"), 413},
        {"bad method", "G@T / HTTP/1.1\r\n\r\n", 400},
        {"space in a field name", "GET / HTTP/1.1\r\nBad Name: x\r\n\r\n", 400},
        {"length and chunked together", "POST / HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
        {"two lengths", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
        {"bad chunk size", chunked("/", "zz\r\nx\r\n0\r\n\r\n"), 400},
        {"not HTTP", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 400},
    };
    for (const auto& c : cases) {
        for (const std::size_t piece : {std::size_t{1} << 20, std::size_t{4093}}) {
            HttpRequestReader reader(limits);
            State state = State::Incomplete;
            EXPECT_NO_THROW(state = feed(reader, c.bytes, piece)) << c.name;
            ASSERT_EQ(state, State::Failed) << c.name << " in pieces of " << piece;
            EXPECT_EQ(reader.failureStatus(), c.status) << c.name << ": " << reader.failureCause();
            EXPECT_LE(reader.pendingBytes(), limits.total) << c.name;
            // A failed reader takes nothing more.
            EXPECT_EQ(reader.put("GET / HTTP/1.1\r\n\r\n"), State::Failed);
        }
    }
    // Just inside the bounds is accepted.
    HttpRequestReader reader(limits);
    const std::string fullBody(limits.body, 'b');
    ASSERT_EQ(feed(reader, "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(fullBody.size()) + "\r\n\r\n" + fullBody, 8192),
              State::Complete);
    EXPECT_EQ(reader.take().body().size(), limits.body);
    ASSERT_EQ(feed(reader, chunked("/", "0\r\nX: " + std::string(limits.trailer - 8, 't') + "\r\n\r\n")), State::Complete);
    EXPECT_TRUE(reader.take().body().empty());
}

}  // namespace
}  // namespace murel
