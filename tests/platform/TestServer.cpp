#include "TestServer.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace murel::test {

namespace {

// SHA-1 for the WebSocket accept key only.
std::array<std::uint8_t, 20> sha1(std::string_view data) {
    std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string message(data);
    const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
    message.push_back(static_cast<char>(0x80));
    while (message.size() % 64 != 56) message.push_back('\0');
    for (int i = 7; i >= 0; --i) message.push_back(static_cast<char>((bits >> (i * 8)) & 0xFF));
    auto rotl = [](std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
    for (std::size_t block = 0; block < message.size(); block += 64) {
        std::uint32_t w[80];
        for (int i = 0; i < 16; ++i) {
            w[i] = 0;
            for (int j = 0; j < 4; ++j) {
                w[i] = (w[i] << 8) | static_cast<std::uint8_t>(message[block + i * 4 + j]);
            }
        }
        for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            std::uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            const std::uint32_t t = rotl(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = rotl(b, 30);
            b = a;
            a = t;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
    std::array<std::uint8_t, 20> out{};
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 4; ++j) out[i * 4 + j] = static_cast<std::uint8_t>(h[i] >> (24 - j * 8));
    }
    return out;
}

std::string base64(const std::uint8_t* data, std::size_t size) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        std::uint32_t v = static_cast<std::uint32_t>(data[i]) << 16;
        if (i + 1 < size) v |= static_cast<std::uint32_t>(data[i + 1]) << 8;
        if (i + 2 < size) v |= data[i + 2];
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back(i + 2 < size ? kAlphabet[v & 63] : '=');
    }
    return out;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

const char* reasonFor(unsigned status) {
    switch (status) {
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 302: return "Found";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 409: return "Conflict";
    default: return "Status";
    }
}

}  // namespace

std::string jsonObjectOfSize(std::size_t size) {
    const std::string head = "{\"p\":\"";
    const std::string tail = "\"}";
    if (size < head.size() + tail.size()) throw std::invalid_argument("too small");
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

bool waitFor(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= until) return ready();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// ------------------------------------------------------------------------------------------------

TestConnection::TestConnection(TestServer& server, int fd) : server_(server), fd_(fd) {}

TestConnection::~TestConnection() {
    drop();
}

void TestConnection::drop() {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        fd_ = -1;
    }
}

bool TestConnection::fill(std::size_t wanted, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (input_.size() < wanted) {
        if (fd_ < 0 || server_.stopping()) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        char buffer[16384];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        input_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

bool TestConnection::readRequest(TestRequest& request) {
    std::size_t end;
    while ((end = input_.find("\r\n\r\n")) == std::string::npos) {
        if (!fill(input_.size() + 1, std::chrono::seconds(10))) return false;
    }
    const std::string head = input_.substr(0, end);
    input_.erase(0, end + 4);
    request = {};
    std::size_t lineEnd = head.find("\r\n");
    const std::string first = head.substr(0, lineEnd);
    const auto space1 = first.find(' ');
    const auto space2 = first.find(' ', space1 + 1);
    request.method = first.substr(0, space1);
    request.target = first.substr(space1 + 1, space2 - space1 - 1);
    while (lineEnd != std::string::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos
                                                                                  : lineEnd - start);
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        request.headers[lower(line.substr(0, colon))] = value;
    }
    const std::size_t length =
        request.has("content-length") ? std::stoul(request.header("content-length")) : 0;
    if (!fill(length, std::chrono::seconds(10))) return false;
    request.body = input_.substr(0, length);
    input_.erase(0, length);
    server_.record(request);
    return true;
}

void TestConnection::writeAll(std::string_view bytes) {
    while (!bytes.empty() && fd_ >= 0) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void TestConnection::respond(unsigned status, std::string_view body, std::string_view extraHeaders) {
    std::string response = "HTTP/1.1 " + std::to_string(status) + " " + reasonFor(status) + "\r\n";
    if (status != 204 && status != 101) {
        response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    response += extraHeaders;
    response += "\r\n";
    response += body;
    writeAll(response);
}

void TestConnection::acceptUpgrade(const TestRequest& request) {
    const std::string key =
        request.header("sec-websocket-key") + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    const auto digest = sha1(key);
    respond(101, {},
            "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
                base64(digest.data(), digest.size()) + "\r\n");
}

void TestConnection::sendFrame(std::uint8_t opcode, bool fin, std::string_view payload) {
    std::string frame;
    frame.push_back(static_cast<char>((fin ? 0x80 : 0x00) | opcode));
    if (payload.size() < 126) {
        frame.push_back(static_cast<char>(payload.size()));
    } else if (payload.size() <= 0xFFFF) {
        frame.push_back(static_cast<char>(126));
        frame.push_back(static_cast<char>(payload.size() >> 8));
        frame.push_back(static_cast<char>(payload.size() & 0xFF));
    } else {
        frame.push_back(static_cast<char>(127));
        for (int i = 7; i >= 0; --i) frame.push_back(static_cast<char>((payload.size() >> (i * 8)) & 0xFF));
    }
    frame.append(payload);
    writeAll(frame);
}

bool TestConnection::readFrame(WsFrame& frame, std::chrono::milliseconds timeout) {
    if (!fill(2, timeout)) return false;
    const auto b0 = static_cast<std::uint8_t>(input_[0]);
    const auto b1 = static_cast<std::uint8_t>(input_[1]);
    std::size_t header = 2;
    std::uint64_t length = b1 & 0x7F;
    if (length == 126) {
        if (!fill(4, timeout)) return false;
        length = (static_cast<std::uint8_t>(input_[2]) << 8) | static_cast<std::uint8_t>(input_[3]);
        header = 4;
    } else if (length == 127) {
        if (!fill(10, timeout)) return false;
        length = 0;
        for (int i = 0; i < 8; ++i) length = (length << 8) | static_cast<std::uint8_t>(input_[2 + i]);
        header = 10;
    }
    const bool masked = (b1 & 0x80) != 0;
    const std::size_t maskAt = header;
    if (masked) header += 4;
    if (!fill(header + length, timeout)) return false;
    frame.fin = (b0 & 0x80) != 0;
    frame.opcode = b0 & 0x0F;
    frame.payload = input_.substr(header, length);
    if (masked) {
        for (std::size_t i = 0; i < frame.payload.size(); ++i) frame.payload[i] ^= input_[maskAt + i % 4];
    }
    input_.erase(0, header + length);
    return true;
}

void TestConnection::waitForStop() {
    server_.waitForStop();
}

// ------------------------------------------------------------------------------------------------

TestServer::TestServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
        ::close(listener_);
        throw std::runtime_error("bind/listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TestServer::~TestServer() {
    stop();
}

void TestServer::stop() {
    if (stopping_.exchange(true)) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopped_.notify_all();
        for (const int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    ::shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    ::close(listener_);
    for (auto& thread : handlers_) thread.join();
}

ServerOrigin TestServer::origin() const {
    return parseServerOrigin("http://127.0.0.1:" + std::to_string(port_));
}

std::vector<TestRequest> TestServer::requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

void TestServer::record(const TestRequest& request) {
    std::lock_guard<std::mutex> guard(lock_);
    requests_.push_back(request);
}

void TestServer::waitForStop() {
    std::unique_lock<std::mutex> guard(lock_);
    stopped_.wait(guard, [this] { return stopping_.load(); });
}

void TestServer::acceptLoop() {
    while (!stopping_.load()) {
        pollfd p{listener_, POLLIN, 0};
        const int ready = ::poll(&p, 1, 50);
        if (ready <= 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        accepted_.fetch_add(1);
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_.load()) {
            ::close(fd);
            break;
        }
        open_.push_back(fd);
        handlers_.emplace_back([this, fd] {
            TestConnection connection(*this, fd);
            try {
                handler_(connection);
            } catch (...) {
                // A handler's failure shows up as the client's failure.
            }
            // Forget the descriptor before closing it, so stop() never shuts down a reused number.
            std::lock_guard<std::mutex> inner(lock_);
            open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
            connection.drop();
        });
    }
}

}  // namespace murel::test
