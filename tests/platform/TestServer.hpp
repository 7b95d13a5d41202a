#pragma once
// A small, deliberately scriptable HTTP/WebSocket server on loopback. Each accepted connection runs
// the test's handler on its own thread, so a test can answer wrongly, slowly, in odd fragments or
// not at all. Stopping the server unblocks every handler and joins every thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/Wire.hpp"

namespace murel::test {

struct TestRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;

    bool has(const std::string& name) const { return headers.count(name) != 0; }
    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

struct WsFrame {
    bool fin = true;
    std::uint8_t opcode = 0;
    std::string payload;
};

enum WsOpcode : std::uint8_t {
    kContinuation = 0x0,
    kText = 0x1,
    kBinary = 0x2,
    kClose = 0x8,
    kPing = 0x9,
    kPong = 0xA,
};

class TestServer;

class TestConnection {
public:
    TestConnection(TestServer& server, int fd);
    ~TestConnection();

    // Reads one request head and its Content-Length body. False when the peer closed or the read
    // timed out.
    bool readRequest(TestRequest& request);
    void writeAll(std::string_view bytes);
    void respond(unsigned status, std::string_view body, std::string_view extraHeaders = {});

    // WebSocket: answers the upgrade request with 101 and the accept key.
    void acceptUpgrade(const TestRequest& request);
    void sendFrame(std::uint8_t opcode, bool fin, std::string_view payload);
    // Reads one client frame (unmasked for the caller). False on close of the TCP connection or
    // when nothing arrives within `timeout`.
    bool readFrame(WsFrame& frame, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Blocks until the server stops (for handlers that must not answer).
    void waitForStop();
    // Closes the TCP connection without a WebSocket close.
    void drop();

private:
    bool fill(std::size_t wanted, std::chrono::milliseconds timeout);

    TestServer& server_;
    int fd_;
    std::string input_;
};

class TestServer {
public:
    using Handler = std::function<void(TestConnection&)>;

    explicit TestServer(Handler handler);
    ~TestServer();

    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::uint16_t port() const { return port_; }
    ServerOrigin origin() const;

    // Every request a handler read, in arrival order.
    std::vector<TestRequest> requests();
    void record(const TestRequest& request);
    int accepted() const { return accepted_.load(); }

    // For handlers: true once the server is stopping.
    bool stopping() const { return stopping_.load(); }
    void waitForStop();
    void stop();

private:
    void acceptLoop();

    Handler handler_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::mutex lock_;
    std::condition_variable stopped_;
    std::vector<TestRequest> requests_;
    std::vector<int> open_;
    std::vector<std::thread> handlers_;
    std::thread acceptor_;
};

// A payload of `size` bytes that is a valid JSON object: {"p":"xxxx..."}.
std::string jsonObjectOfSize(std::size_t size);

// Waits until `ready()` holds or `timeout` passes; returns ready().
bool waitFor(const std::function<bool()>& ready,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace murel::test
