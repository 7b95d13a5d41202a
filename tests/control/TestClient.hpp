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

#include "ChildProcess.hpp"
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
    // fastHashes: the cheap password hashes of the test suite (the real ones take ~100 ms each).
    ServerProcess(const std::filesystem::path& dataDir, std::vector<std::string> extraArgs = {}, bool fastHashes = true);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return process_ ? process_->pid() : -1; }
    // False once the process has ended (it is reaped then; its status is exitStatus()).
    bool running();
    // The exit code, 128 + signal for a killed process; -1 while it runs.
    int exitStatus() const { return exitStatus_; }
    // Resident set size in KiB (VmRSS of /proc/<pid>/status); 0 when unknown.
    std::size_t residentKiB() const;
    // SIGKILL, then reap.
    void kill9();
    // SIGTERM (SIGKILL after 10 s), then reap; returns the exit status.
    int stop();
    // Its standard error: the service's log.
    std::string log() const;

private:
    std::unique_ptr<ChildProcess> process_;
    int exitStatus_ = -1;
    std::uint16_t port_ = 0;
    std::filesystem::path logFile_;
};

// Runs the binary with the arguments and returns {exit status, stdout+stderr}.
std::pair<int, std::string> runBinary(const std::vector<std::string>& args);

// How a test connection is made: from which loopback address (the service keeps its limits per
// address, and all of 127.0.0.0/8 reaches it) and with what receive buffer (small: a reader that
// falls behind).
struct ConnectOptions {
    std::string source;     // e.g. "127.0.0.2"; empty: the system's choice
    int receiveBuffer = 0;  // SO_RCVBUF before connecting; 0: default
};

// One TCP (optionally TLS) connection with bounded waits.
class Connection {
public:
    // tlsCaFile non-empty: TLS, trusting only that certificate, checking the host "127.0.0.1".
    Connection(std::uint16_t port, const std::string& tlsCaFile = {}, const ConnectOptions& options = {});
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

// Sends the bytes as they are on a fresh connection and returns everything the server sends until
// it closes (at most 15 s; `closed` tells which); a write the server cut short is not an error.
std::string rawExchange(std::uint16_t port, std::string_view bytes, const ConnectOptions& options = {},
                        bool* closed = nullptr);
// The response parsed from what rawExchange returned; status 0 when there was none.
RawResponse parseResponse(const std::string& text);

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
    WsClient(std::uint16_t port, const std::string& bearer, const std::string& tlsCaFile = {},
             const ConnectOptions& options = {});
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
    const std::string& closeReason() const { return closeReason_; }

private:
    std::unique_ptr<Connection> connection_;
    std::string buffer_;
    int status_ = 0;
    bool closed_ = false;
    std::uint16_t closeCode_ = 0;
    std::string closeReason_;
};

}  // namespace murel::test
