#pragma once
// Blocking clients for the service's integration tests: the real murel-control process, HTTP and
// WebSocket over plain sockets (or TLS through OpenSSL), every wait bounded.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "WebSocketFrame.hpp"
#include "protocol/Http.hpp"
#include "protocol/Wire.hpp"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace murel::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// murel-control on an ephemeral loopback port; stopped (and reaped) when destroyed.
class ServerProcess {
public:
    ServerProcess(const std::filesystem::path& dataDir, std::vector<std::string> extraArgs = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    // SIGKILL, then reap.
    void kill9();
    // SIGTERM, then reap; returns the exit status (or -1).
    int stop();
    std::string log() const;

private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::filesystem::path logFile_;
};

// Runs the binary with the arguments and returns {exit status, stdout+stderr}.
std::pair<int, std::string> runBinary(const std::vector<std::string>& args);

// One TCP (optionally TLS) connection with bounded waits.
class Connection {
public:
    // tlsCaFile non-empty: TLS, trusting only that certificate, checking the host "127.0.0.1".
    Connection(std::uint16_t port, const std::string& tlsCaFile = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void writeAll(std::string_view data);
    void shutdown();
    // Appends what arrives within the timeout; false on EOF or error (or nothing by the deadline).
    bool readSome(std::string& into, std::chrono::milliseconds timeout);
    bool tls() const { return ssl_ != nullptr; }

private:
    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

struct RawResponse {
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
};

// One request on a fresh connection ("Connection: close"); headers are complete lines.
RawResponse httpExchange(std::uint16_t port, const std::string& method, const std::string& path,
                         const std::string& headers, const std::string& body, const std::string& tlsCaFile = {});

// murel::Http over httpExchange with the client's request rules: JSON in, JSON out, non-2xx fails
// with "Control API returned HTTP <status>".
class TestHttp : public Http {
public:
    explicit TestHttp(std::uint16_t port, std::string tlsCaFile = {}) : port_(port), ca_(std::move(tlsCaFile)) {}
    Json request(const HttpRequest& request) override;

private:
    std::uint16_t port_;
    std::string ca_;
};

// A signaling WebSocket client.
class WsClient {
public:
    WsClient(std::uint16_t port, const std::string& bearer, const std::string& tlsCaFile = {});
    // 101 when upgraded.
    int status() const { return status_; }

    void sendText(std::string_view text) { connection_->writeAll(encodeClientFrame(1, text)); }
    void sendJson(const Json& message) { sendText(toCompactJson(message)); }
    void sendFrame(std::uint8_t opcode, std::string_view payload, bool fin = true) {
        connection_->writeAll(encodeClientFrame(opcode, payload, fin));
    }

    // The next text message as JSON; nullopt when the connection closed or nothing came in time.
    std::optional<Json> receive(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True when the server closes the connection (close frame or EOF) within the timeout, skipping
    // any messages before it.
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool closed() const { return closed_; }
    std::uint16_t closeCode() const { return closeCode_; }

private:
    std::unique_ptr<Connection> connection_;
    std::string buffer_;
    int status_ = 0;
    bool closed_ = false;
    std::uint16_t closeCode_ = 0;
};

}  // namespace murel::test
