#pragma once
// HTTP client behaviour against a real loopback server, for any backend (see Backend.hpp).

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Backend.hpp"
#include "TestServer.hpp"
#include "platform/HttpClient.hpp"

namespace murel::test {

template <class B>
class HttpBehaviour : public ::testing::Test {
protected:
    static std::unique_ptr<Http> client(const TestServer& server,
                                        std::chrono::milliseconds receiveTimeout = std::chrono::seconds(15)) {
        return std::make_unique<HttpClient>(B::makeHttpTransport(server.origin(), receiveTimeout));
    }

    // Runs the request and returns the failure text, or "" when it succeeded.
    static std::string failureOf(Http& http, const HttpRequest& request) {
        try {
            http.request(request);
        } catch (const ProtocolError& e) {
            return e.what();
        }
        return {};
    }

    // A server answering every request with the same status, body and headers.
    static TestServer::Handler answering(unsigned status, std::string body, std::string headers = {}) {
        return [=](TestConnection& c) {
            TestRequest request;
            while (c.readRequest(request)) c.respond(status, body, headers);
        };
    }
};

TYPED_TEST_SUITE_P(HttpBehaviour);

TYPED_TEST_P(HttpBehaviour, RoundTripSendsTheHeaderBlockAndBody) {
    TestServer server(this->answering(201, R"({"ok":true,"n":[1,2]})"));
    auto http = this->client(server);
    const Json reply = http->request({"POST", "/v1/devices", "tok-123_ABC", Json::object()});
    EXPECT_EQ(reply, Json::parse(R"({"n":[1,2],"ok":true})"));

    const Json withBody = http->request({"POST", "/v1/auth/login", "", {{"email", "a@b"}, {"password", "pw"}}});
    EXPECT_TRUE(withBody["ok"].get<bool>());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/v1/devices");
    EXPECT_EQ(requests[0].header("accept"), "application/json");
    EXPECT_EQ(requests[0].header("authorization"), "Bearer tok-123_ABC");
    EXPECT_EQ(requests[0].header("content-type"), "application/json");
    EXPECT_EQ(requests[0].body, "{}");  // an empty object still sends its two bytes
    EXPECT_FALSE(requests[1].has("authorization"));
    EXPECT_EQ(requests[1].body, R"({"email":"a@b","password":"pw"})");
    // Every request opens its own connection.
    EXPECT_EQ(server.accepted(), 2);
}

TYPED_TEST_P(HttpBehaviour, NullBodySendsNoContentTypeAndNoBytes) {
    TestServer server(this->answering(200, "{}"));
    auto http = this->client(server);
    http->request({"GET", "/v1/hosts", "device-token", nullptr});
    http->request({"DELETE", "/v1/sessions/s1", "device-token", nullptr});
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        EXPECT_FALSE(request.has("content-type")) << request.method;
        EXPECT_TRUE(request.body.empty()) << request.method;
        if (request.has("content-length")) {
            EXPECT_EQ(request.header("content-length"), "0");
        }
    }
    EXPECT_EQ(requests[1].method, "DELETE");
}

TYPED_TEST_P(HttpBehaviour, RefusedRequestsNeverConnect) {
    TestServer server(this->answering(200, "{}"));
    auto http = this->client(server);
    for (const char* path : {"/v2/hosts", "/v1/hosts?x=1", "/v1/a#b", "/v1", "v1/hosts", "/v1/a\r\nX: y",
                             "/v1/a\nb", "/V1/hosts"}) {
        EXPECT_EQ(this->failureOf(*http, {"GET", path, "", nullptr}), "Invalid API path") << path;
    }
    EXPECT_EQ(this->failureOf(*http, {"GET", "/v1/hosts", "has space", nullptr}), "Invalid credential");
    EXPECT_EQ(this->failureOf(*http, {"GET", "/v1/hosts", std::string(4097, 'a'), nullptr}),
              "Invalid credential");
    EXPECT_EQ(this->failureOf(*http, {"POST", "/v1/x", "", Json::parse(jsonObjectOfSize(131073))}),
              "Request too large");
    EXPECT_EQ(server.accepted(), 0);
}

TYPED_TEST_P(HttpBehaviour, RequestBodyOfExactlyTheLimitIsSent) {
    TestServer server(this->answering(200, "{}"));
    auto http = this->client(server);
    const std::string body = jsonObjectOfSize(131072);
    http->request({"POST", "/v1/x", "", Json::parse(body)});
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, body);
}

TYPED_TEST_P(HttpBehaviour, ResponseBodyLimit) {
    {
        const std::string body = jsonObjectOfSize(131072);
        TestServer server(this->answering(200, body));
        EXPECT_EQ(this->client(server)->request({"GET", "/v1/x", "", nullptr}), Json::parse(body));
    }
    {
        TestServer server(this->answering(200, jsonObjectOfSize(131073)));
        auto http = this->client(server);
        EXPECT_EQ(this->failureOf(*http, {"GET", "/v1/x", "", nullptr}), "HTTP response too large");
    }
    {
        // The limit also holds when the server does not announce the length.
        std::string chunked;
        const std::string body = jsonObjectOfSize(200000);
        for (std::size_t at = 0; at < body.size(); at += 1000) {
            const std::string piece = body.substr(at, 1000);
            char size[16];
            std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
            chunked += size + piece + "\r\n";
        }
        chunked += "0\r\n\r\n";
        TestServer server([&](TestConnection& c) {
            TestRequest request;
            if (!c.readRequest(request)) return;
            c.writeAll("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked);
        });
        auto http = this->client(server);
        EXPECT_EQ(this->failureOf(*http, {"GET", "/v1/x", "", nullptr}), "HTTP response too large");
    }
}

TYPED_TEST_P(HttpBehaviour, ChunkedBodyInSmallPiecesIsReassembled) {
    const std::string body = jsonObjectOfSize(20000);
    TestServer server([&](TestConnection& c) {
        TestRequest request;
        if (!c.readRequest(request)) return;
        c.writeAll("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        for (std::size_t at = 0; at < body.size(); at += 777) {
            const std::string piece = body.substr(at, 777);
            char size[16];
            std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
            c.writeAll(size + piece + "\r\n");
        }
        c.writeAll("0\r\n\r\n");
    });
    EXPECT_EQ(this->client(server)->request({"GET", "/v1/x", "", nullptr}), Json::parse(body));
}

TYPED_TEST_P(HttpBehaviour, NonSuccessStatusesFailWithTheStatus) {
    {
        TestServer server(this->answering(404, R"({"error":"not found"})"));
        auto http = this->client(server);
        EXPECT_EQ(this->failureOf(*http, {"GET", "/v1/x", "", nullptr}), "Control API returned HTTP 404");
    }
    {
        // A redirect is not followed: exactly one request reaches the server.
        TestServer server(this->answering(302, "", "Location: /v1/elsewhere\r\n"));
        auto http = this->client(server);
        EXPECT_EQ(this->failureOf(*http, {"GET", "/v1/x", "", nullptr}), "Control API returned HTTP 302");
        EXPECT_EQ(server.requests().size(), 1u);
    }
    {
        TestServer server(this->answering(204, ""));
        auto http = this->client(server);
        EXPECT_EQ(this->failureOf(*http, {"DELETE", "/v1/x", "", nullptr}),
                  "Message size exceeds protocol limit");
    }
    {
        TestServer server(this->answering(500, "not json at all"));
        auto http = this->client(server);
        EXPECT_EQ(this->failureOf(*http, {"GET", "/v1/x", "", nullptr}), "Control API returned HTTP 500");
    }
}

TYPED_TEST_P(HttpBehaviour, SuccessBodiesMustBeJsonObjects) {
    {
        TestServer server(this->answering(200, "[1,2]"));
        auto http = this->client(server);
        EXPECT_EQ(this->failureOf(*http, {"GET", "/v1/x", "", nullptr}), "Invalid protocol message");
    }
    {
        TestServer server(this->answering(200, R"({"a":1} trailing)"));
        auto http = this->client(server);
        EXPECT_EQ(this->failureOf(*http, {"GET", "/v1/x", "", nullptr}), "Invalid JSON message");
    }
}

TYPED_TEST_P(HttpBehaviour, StalledResponseTimesOutAtReceive) {
    TestServer server([](TestConnection& c) {
        TestRequest request;
        if (c.readRequest(request)) c.waitForStop();
    });
    auto http = this->client(server, std::chrono::milliseconds(300));
    const auto started = std::chrono::steady_clock::now();
    const std::string failure = this->failureOf(*http, {"GET", "/v1/x", "", nullptr});
    EXPECT_EQ(failure.rfind("Receive HTTP response failed", 0), 0u) << failure;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TYPED_TEST_P(HttpBehaviour, UnreachableServerFailsAtSend) {
    std::uint16_t port;
    {
        TestServer closed([](TestConnection&) {});
        port = closed.port();
    }
    auto http = std::make_unique<HttpClient>(
        TypeParam::makeHttpTransport(parseServerOrigin("http://127.0.0.1:" + std::to_string(port)),
                                     std::chrono::seconds(15)));
    const std::string failure = this->failureOf(*http, {"GET", "/v1/x", "", nullptr});
    EXPECT_EQ(failure.rfind("Send HTTP request failed", 0), 0u) << failure;
}

REGISTER_TYPED_TEST_SUITE_P(HttpBehaviour, RoundTripSendsTheHeaderBlockAndBody,
                            NullBodySendsNoContentTypeAndNoBytes, RefusedRequestsNeverConnect,
                            RequestBodyOfExactlyTheLimitIsSent, ResponseBodyLimit,
                            ChunkedBodyInSmallPiecesIsReassembled, NonSuccessStatusesFailWithTheStatus,
                            SuccessBodiesMustBeJsonObjects, StalledResponseTimesOutAtReceive,
                            UnreachableServerFailsAtSend);

}  // namespace murel::test
