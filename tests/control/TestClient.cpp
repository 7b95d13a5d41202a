#include "TestClient.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef MUREL_CONTROL_BINARY
#error "MUREL_CONTROL_BINARY must name the murel-control executable"
#endif

namespace murel::test {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "murel-control-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ServerProcess::ServerProcess(const std::filesystem::path& dataDir, std::vector<std::string> extraArgs, bool fastHashes) {
    logFile_ = dataDir.parent_path() / (dataDir.filename().string() + ".log");
    std::vector<std::string> args{MUREL_CONTROL_BINARY, "--listen", "127.0.0.1:0", "--data", dataDir.string()};
    if (fastHashes) args.push_back("--test-fast-hashes");
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    ChildOptions options;
    options.errorFile = logFile_;
    process_ = std::make_unique<ChildProcess>(std::move(args), std::move(options));
    // stdout carries the "listening on" line, at most 20 s away.
    const std::string prefix = "listening on 127.0.0.1:";
    const auto line = process_->waitForLine(prefix, std::chrono::seconds(20));
    if (!line) {
        process_->signal(SIGKILL);
        process_->waitExit(std::chrono::seconds(5));
        const std::string text = process_->output();
        process_.reset();
        throw std::runtime_error("server did not start: " + text + "\n" + log());
    }
    port_ = static_cast<std::uint16_t>(std::stoi(line->substr(prefix.size())));
}

ServerProcess::~ServerProcess() {
    if (process_) stop();
}

void ServerProcess::kill9() {
    if (!process_) return;
    process_->signal(SIGKILL);
    exitStatus_ = process_->waitExit(std::chrono::seconds(10)).value_or(-1);
    process_.reset();
}

int ServerProcess::stop() {
    if (!process_) return -1;
    exitStatus_ = process_->stop(std::chrono::seconds(10));
    process_.reset();
    return exitStatus_;
}

bool ServerProcess::running() {
    if (!process_) return false;
    if (process_->running()) return true;
    exitStatus_ = process_->waitExit(std::chrono::seconds(0)).value_or(-1);
    process_.reset();
    return false;
}

std::size_t ServerProcess::residentKiB() const {
    std::ifstream in("/proc/" + std::to_string(pid()) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return static_cast<std::size_t>(std::stoul(line.substr(6)));
    }
    return 0;
}

std::string ServerProcess::log() const {
    std::ifstream in(logFile_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::pair<int, std::string> runBinary(const std::vector<std::string>& args) {
    std::vector<std::string> argv{MUREL_CONTROL_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    auto finished = runToEnd(std::move(argv), {}, {}, std::chrono::seconds(20));
    return {finished.status, std::move(finished.output)};
}

Connection::Connection(std::uint16_t port, const std::string& tlsCaFile, const ConnectOptions& options) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    if (options.receiveBuffer > 0) {
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
    }
    if (!options.source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, options.source.c_str(), &local.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close(fd_);
            throw std::runtime_error("bind to " + options.source + " failed");
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        throw std::runtime_error("connect failed");
    }
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (tlsCaFile.empty()) return;
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx_, tlsCaFile.c_str(), nullptr) != 1) {
        throw std::runtime_error("cannot load CA file");
    }
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), "127.0.0.1");
    if (SSL_connect(ssl_) != 1) {
        const auto error = ERR_get_error();
        char text[256];
        ERR_error_string_n(error, text, sizeof text);
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
        close(fd_);
        ssl_ = nullptr;
        ctx_ = nullptr;
        fd_ = -1;
        throw std::runtime_error(std::string("TLS handshake failed: ") + text);
    }
}

Connection::~Connection() {
    if (ssl_) SSL_free(ssl_);
    if (ctx_) SSL_CTX_free(ctx_);
    if (fd_ >= 0) close(fd_);
}

void Connection::shutdown() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void Connection::writeAll(std::string_view data) {
    while (!data.empty()) {
        const long n = ssl_ ? SSL_write(ssl_, data.data(), static_cast<int>(data.size()))
                            : send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("write failed");
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool Connection::readSome(std::string& into, std::chrono::milliseconds timeout) {
    if (!ssl_ || SSL_pending(ssl_) == 0) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    }
    char chunk[16384];
    const long n = ssl_ ? SSL_read(ssl_, chunk, sizeof chunk) : recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    into.append(chunk, static_cast<std::size_t>(n));
    return true;
}

RawResponse httpExchange(std::uint16_t port, const std::string& method, const std::string& path,
                         const std::string& headers, const std::string& body, const std::string& tlsCaFile) {
    Connection connection(port, tlsCaFile);
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers;
    if (!body.empty() || method == "POST") request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n";
    try {
        connection.writeAll(request + body);
    } catch (const std::exception&) {
        // The server may answer and close before taking the whole body (413); read what it said.
    }
    std::string text;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline && connection.readSome(text, std::chrono::milliseconds(remainingMs(deadline)))) {
    }
    if (text.size() < 12 || text.find("\r\n\r\n") == std::string::npos) {
        throw std::runtime_error("no HTTP response: " + text);
    }
    return parseResponse(text);
}

std::string rawExchange(std::uint16_t port, std::string_view bytes, const ConnectOptions& options, bool* closed) {
    Connection connection(port, {}, options);
    try {
        connection.writeAll(bytes);
    } catch (const std::exception&) {
        // Refused before it was all taken; the answer may still be there.
    }
    std::string text;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline && connection.readSome(text, std::chrono::milliseconds(remainingMs(deadline)))) {
    }
    if (closed) *closed = Clock::now() < deadline;
    return text;
}

RawResponse parseResponse(const std::string& text) {
    RawResponse response;
    const auto headEnd = text.find("\r\n\r\n");
    if (text.size() < 12 || headEnd == std::string::npos || text.rfind("HTTP/1.", 0) != 0) return response;
    response.status = std::stoi(text.substr(9, 3));
    std::istringstream head(text.substr(0, headEnd));
    std::string line;
    std::getline(head, line);
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        auto value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        response.headers[lower(line.substr(0, colon))] = value;
    }
    response.body = text.substr(headEnd + 4);
    const auto length = response.headers.find("content-length");
    if (length != response.headers.end()) {
        const auto expected = static_cast<std::size_t>(std::stoul(length->second));
        if (response.body.size() != expected) throw std::runtime_error("short HTTP body");
    }
    return response;
}

Json TestHttp::request(const HttpRequest& request) {
    std::string headers = "Accept: application/json\r\n";
    if (!request.bearer.empty()) {
        validateCredential(request.bearer);
        headers += "Authorization: Bearer " + request.bearer + "\r\n";
    }
    std::string body;
    if (!request.body.is_null()) {
        body = toCompactJson(request.body);
        headers += "Content-Type: application/json\r\n";
    }
    const auto response = httpExchange(port_, request.method, request.path, headers, body, ca_);
    if (response.status < 200 || response.status > 299) {
        throw ProtocolError("Control API returned HTTP " + std::to_string(response.status));
    }
    if (response.headers.count("content-type") == 0 || response.headers.at("content-type") != "application/json") {
        throw ProtocolError("reply is not JSON");
    }
    return parseWire(response.body, kControlBodyLimit);
}

WsClient::WsClient(std::uint16_t port, const std::string& bearer, const std::string& tlsCaFile,
                   const ConnectOptions& options)
    : connection_(std::make_unique<Connection>(port, tlsCaFile, options)) {
    connection_->writeAll(upgradeRequest("127.0.0.1", "/v1/signaling", bearer));
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::size_t headEnd = std::string::npos;
    while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
        if (!connection_->readSome(buffer_, std::chrono::milliseconds(remainingMs(deadline)))) {
            throw std::runtime_error("no upgrade response");
        }
    }
    status_ = std::stoi(buffer_.substr(9, 3));
    buffer_.erase(0, headEnd + 4);
    if (status_ != 101) closed_ = true;
}

std::optional<Json> WsClient::receive(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string message;
    while (!closed_) {
        while (auto frame = takeServerFrame(buffer_, 1 << 20)) {
            if (frame->opcode == 8) {
                closed_ = true;
                connection_->shutdown();
                if (frame->payload.size() >= 2) {
                    closeCode_ = static_cast<std::uint16_t>((static_cast<unsigned char>(frame->payload[0]) << 8) |
                                                            static_cast<unsigned char>(frame->payload[1]));
                    closeReason_ = frame->payload.substr(2);
                }
                return std::nullopt;
            }
            if (frame->opcode == 9) {
                sendFrame(10, frame->payload);
                continue;
            }
            if (frame->opcode != 1 && frame->opcode != 0) throw std::runtime_error("unexpected frame type");
            message += frame->payload;
            if (frame->fin) return parseWire(message, kSignalingMessageLimit);
        }
        if (remainingMs(deadline) == 0) return std::nullopt;
        if (!connection_->readSome(buffer_, std::chrono::milliseconds(remainingMs(deadline)))) {
            // Distinguish a quiet connection from a closed one.
            if (remainingMs(deadline) > 0) closed_ = true;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

bool WsClient::waitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_ && remainingMs(deadline) > 0) {
        receive(std::chrono::milliseconds(remainingMs(deadline)));
    }
    return closed_;
}

}  // namespace murel::test
