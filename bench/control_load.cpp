// murel-control-load: holds N signaling connections with heartbeats and runs M session pairs that
// bounce ice messages through the service; reports connections held, relay throughput and latency,
// and the server's resident memory.
//
//   murel-control-load --server build/linux/services/control/murel-control [--connections 1000]
//                      [--pairs 50] [--seconds 10] [--window 4]
//   murel-control-load --target 127.0.0.1:8480 --server-pid PID ...   (a server already running)
//
// Every connection comes from one address, so a server started by hand needs the per-address
// limits raised (--max-connections-per-address, --registrations-per-hour, --unauthenticated-rate);
// the server this tool starts itself gets them.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Crypto.hpp"
#include "WebSocketFrame.hpp"
#include "protocol/Wire.hpp"

namespace {

using murel::Json;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string server;
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    pid_t serverPid = -1;
    int connections = 1000;
    int pairs = 50;
    int seconds = 10;
    int window = 4;
};

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

int connectTo(const Options& o, bool blocking) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(o.port);
    inet_pton(AF_INET, o.host.c_str(), &address.sin_addr);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        close(fd);
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
    return fd;
}

// One blocking request; returns {status, body}.
std::pair<int, Json> api(const Options& o, const std::string& method, const std::string& path, const std::string& bearer,
                         const Json& body) {
    const int fd = connectTo(o, true);
    timeval timeout{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string payload = body.is_null() ? "" : murel::toCompactJson(body);
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: " + o.host + "\r\nConnection: close\r\n";
    if (!bearer.empty()) request += "Authorization: Bearer " + bearer + "\r\n";
    if (!payload.empty()) request += "Content-Type: application/json\r\n";
    request += "Content-Length: " + std::to_string(payload.size()) + "\r\n\r\n" + payload;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string response;
    char chunk[8192];
    for (;;) {
        const auto n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        response.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    const auto headEnd = response.find("\r\n\r\n");
    if (response.size() < 12 || headEnd == std::string::npos) throw std::runtime_error("no HTTP response");
    const int status = std::stoi(response.substr(9, 3));
    const std::string text = response.substr(headEnd + 4);
    return {status, text.empty() ? Json() : Json::parse(text)};
}

struct Endpoint {
    int fd = -1;
    enum State { Connecting, Upgrading, Open, Closed } state = Connecting;
    std::string deviceId;
    std::string token;
    std::string in;
    std::string out;
    bool helloSeen = false;
    int pair = -1;
    Clock::time_point nextHeartbeat;
};

struct Pair {
    int host = -1;
    int client = -1;
    std::string sessionId;
};

class Load {
public:
    explicit Load(Options o) : o_(std::move(o)), epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

    void run() {
        register_();
        openAll();
        startPairs();
        measure();
    }

private:
    void register_() {
        const auto started = Clock::now();
        const int accounts = (o_.connections + 31) / 32;
        const std::string tag = murel::randomIdentifier("", 4);
        for (int a = 0; a < accounts; ++a) {
            const auto [status, body] = api(o_, "POST", "/v1/auth/register", "",
                                            {{"email", "load" + std::to_string(a) + "-" + tag + "@example.org"},
                                             {"password", "load test password"}});
            if (status != 201) throw std::runtime_error("register failed with HTTP " + std::to_string(status));
            const std::string accountToken = body["token"];
            const int count = std::min(32, o_.connections - a * 32);
            for (int d = 0; d < count; ++d) {
                const auto [s, dev] = api(o_, "POST", "/v1/devices", accountToken,
                                          {{"name", "load " + std::to_string(d)}, {"platform", "linux"}, {"can_host", d % 2 == 0}});
                if (s != 201) throw std::runtime_error("device registration failed with HTTP " + std::to_string(s));
                Endpoint e;
                e.deviceId = dev["id"];
                e.token = dev["token"];
                endpoints_.push_back(std::move(e));
            }
        }
        std::printf("registered %d accounts and %zu devices in %.1f s\n", accounts, endpoints_.size(),
                    std::chrono::duration<double>(Clock::now() - started).count());
    }

    void openAll() {
        const auto started = Clock::now();
        std::mt19937 random(42);
        for (std::size_t i = 0; i < endpoints_.size(); ++i) {
            auto& e = endpoints_[i];
            e.fd = connectTo(o_, false);
            e.nextHeartbeat = Clock::now() + std::chrono::milliseconds(random() % 15000);
            epoll_event event{};
            event.events = EPOLLIN | EPOLLOUT;
            event.data.u64 = i;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, e.fd, &event);
            if (i % 100 == 99) pump(std::chrono::milliseconds(0));  // keep the accept backlog short
        }
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline && helloCount() + closedCount() < endpoints_.size()) {
            pump(std::chrono::milliseconds(50));
        }
        std::printf("opened %zu of %zu signaling connections in %.1f s\n", helloCount(), endpoints_.size(),
                    std::chrono::duration<double>(Clock::now() - started).count());
    }

    void startPairs() {
        const int maxPairs = static_cast<int>(endpoints_.size() / 2);
        const int count = std::min(o_.pairs, maxPairs);
        for (int p = 0; p < count; ++p) {
            Pair pair{2 * p, 2 * p + 1, {}};  // devices 2p (can host) and 2p+1 share an account
            endpoints_[pair.host].pair = p;
            endpoints_[pair.client].pair = p;
            sendJson(pair.host, {{"type", "host.status"}, {"payload", {{"ready", true}, {"reason", "Ready"}}}});
            pairs_.push_back(pair);
        }
        pump(std::chrono::milliseconds(200));
        for (auto& pair : pairs_) {
            for (int attempt = 0; attempt < 20 && pair.sessionId.empty(); ++attempt) {
                const auto [status, body] = api(o_, "POST", "/v1/sessions", endpoints_[pair.client].token,
                                                {{"host_id", endpoints_[pair.host].deviceId}});
                if (status == 201) {
                    pair.sessionId = body["id"];
                } else {
                    pump(std::chrono::milliseconds(100));
                }
            }
            if (pair.sessionId.empty()) throw std::runtime_error("session reservation failed");
            pump(std::chrono::milliseconds(0));
        }
        pump(std::chrono::milliseconds(200));
        std::printf("reserved %zu sessions\n", pairs_.size());
    }

    void measure() {
        measuring_ = true;
        for (std::size_t p = 0; p < pairs_.size(); ++p) {
            for (int w = 0; w < o_.window; ++w) sendIce(pairs_[p].client, pairs_[p]);
        }
        const auto started = Clock::now();
        const auto end = started + std::chrono::seconds(o_.seconds);
        while (Clock::now() < end) pump(std::chrono::milliseconds(20));
        measuring_ = false;
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        std::sort(latencies_.begin(), latencies_.end());
        auto percentile = [&](double q) {
            if (latencies_.empty()) return 0.0;
            const auto index = static_cast<std::size_t>(q * static_cast<double>(latencies_.size() - 1));
            return static_cast<double>(latencies_[index]) / 1e6;
        };
        std::printf("\nconnections held:     %zu of %zu\n", openCount(), endpoints_.size());
        std::printf("session pairs:        %zu (window %d per pair)\n", pairs_.size(), o_.window);
        std::printf("relayed ice messages: %zu in %.1f s = %.0f msg/s\n", latencies_.size(), elapsed,
                    static_cast<double>(latencies_.size()) / elapsed);
        std::printf("relay latency:        p50 %.3f ms, p99 %.3f ms\n", percentile(0.50), percentile(0.99));
        std::printf("heartbeats sent:      %zu\n", heartbeats_);
        std::printf("errors received:      %zu\n", errors_);
        if (o_.serverPid > 0) {
            std::ifstream status("/proc/" + std::to_string(o_.serverPid) + "/status");
            std::string line;
            while (std::getline(status, line)) {
                if (line.starts_with("VmRSS:") || line.starts_with("VmHWM:")) std::printf("server %s\n", line.c_str());
            }
        }
    }

    std::size_t helloCount() const {
        return static_cast<std::size_t>(std::count_if(endpoints_.begin(), endpoints_.end(), [](const Endpoint& e) { return e.helloSeen; }));
    }
    std::size_t openCount() const {
        return static_cast<std::size_t>(std::count_if(endpoints_.begin(), endpoints_.end(), [](const Endpoint& e) { return e.state == Endpoint::Open; }));
    }
    std::size_t closedCount() const {
        return static_cast<std::size_t>(std::count_if(endpoints_.begin(), endpoints_.end(), [](const Endpoint& e) { return e.state == Endpoint::Closed; }));
    }

    void sendIce(int from, const Pair& pair) {
        sendJson(from, {{"type", "ice"}, {"session_id", pair.sessionId},
                        {"payload", {{"candidate", "candidate:" + std::to_string(nowNs())}, {"mid", "0"}, {"line", 0}}}});
    }

    void sendJson(int index, const Json& message) { sendRaw(index, murel::encodeClientFrame(1, murel::toCompactJson(message))); }

    void sendRaw(int index, const std::string& bytes) {
        auto& e = endpoints_[index];
        if (e.state == Endpoint::Closed) return;
        e.out += bytes;
        flush(index);
    }

    void flush(int index) {
        auto& e = endpoints_[index];
        if (e.state != Endpoint::Open && e.state != Endpoint::Upgrading) return;
        while (!e.out.empty()) {
            const auto n = send(e.fd, e.out.data(), e.out.size(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN) return;
                fail(index);
                return;
            }
            e.out.erase(0, static_cast<std::size_t>(n));
        }
    }

    void fail(int index) {
        auto& e = endpoints_[index];
        if (e.state == Endpoint::Closed) return;
        e.state = Endpoint::Closed;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, e.fd, nullptr);
        close(e.fd);
    }

    void pump(std::chrono::milliseconds wait) {
        epoll_event events[256];
        const int n = epoll_wait(epoll_, events, 256, static_cast<int>(wait.count()));
        for (int i = 0; i < n; ++i) {
            const int index = static_cast<int>(events[i].data.u64);
            auto& e = endpoints_[index];
            if (e.state == Endpoint::Closed) continue;
            if (e.state == Endpoint::Connecting && (events[i].events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                int error = 0;
                socklen_t size = sizeof error;
                getsockopt(e.fd, SOL_SOCKET, SO_ERROR, &error, &size);
                if (error != 0) {
                    fail(index);
                    continue;
                }
                e.state = Endpoint::Upgrading;
                epoll_event event{};
                event.events = EPOLLIN;
                event.data.u64 = static_cast<std::uint64_t>(index);
                epoll_ctl(epoll_, EPOLL_CTL_MOD, e.fd, &event);
                e.out = murel::upgradeRequest(o_.host, "/v1/signaling", e.token) + e.out;
                flush(index);
            }
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(index);
        }
        const auto now = Clock::now();
        if (now >= nextHeartbeatScan_) {
            nextHeartbeatScan_ = now + std::chrono::milliseconds(100);
            static const std::string heartbeat = R"({"type":"heartbeat"})";
            for (std::size_t i = 0; i < endpoints_.size(); ++i) {
                auto& e = endpoints_[i];
                if (e.state == Endpoint::Open && now >= e.nextHeartbeat) {
                    e.nextHeartbeat = now + std::chrono::seconds(15);
                    sendRaw(static_cast<int>(i), murel::encodeClientFrame(1, heartbeat));
                    ++heartbeats_;
                }
            }
        }
    }

    void readFrom(int index) {
        auto& e = endpoints_[index];
        char chunk[65536];
        for (;;) {
            const auto n = recv(e.fd, chunk, sizeof chunk, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN)) {
                fail(index);
                return;
            }
            if (n < 0) break;
            e.in.append(chunk, static_cast<std::size_t>(n));
        }
        if (e.state == Endpoint::Upgrading) {
            const auto headEnd = e.in.find("\r\n\r\n");
            if (headEnd == std::string::npos) return;
            if (e.in.compare(9, 3, "101") != 0) {
                fail(index);
                return;
            }
            e.in.erase(0, headEnd + 4);
            e.state = Endpoint::Open;
        }
        try {
            while (auto frame = murel::takeServerFrame(e.in)) {
                if (frame->opcode == 8) {
                    fail(index);
                    return;
                }
                if (frame->opcode == 1) onMessage(index, frame->payload);
            }
        } catch (const std::exception&) {
            fail(index);
        }
    }

    void onMessage(int index, const std::string& text) {
        auto& e = endpoints_[index];
        const Json message = Json::parse(text, nullptr, false);
        if (!message.is_object()) return;
        const std::string type = message.value("type", "");
        if (type == "hello") {
            e.helloSeen = true;
        } else if (type == "error") {
            ++errors_;
        } else if (type == "ice" && e.pair >= 0) {
            const std::string candidate = message["payload"]["candidate"];
            const auto sent = std::stoll(candidate.substr(candidate.find(':') + 1));
            if (measuring_) {
                latencies_.push_back(nowNs() - sent);
                const auto& pair = pairs_[e.pair];
                sendIce(index, pair);
            }
        }
    }

    Options o_;
    int epoll_;
    std::vector<Endpoint> endpoints_;
    std::vector<Pair> pairs_;
    std::vector<std::int64_t> latencies_;
    std::size_t heartbeats_ = 0;
    std::size_t errors_ = 0;
    bool measuring_ = false;
    Clock::time_point nextHeartbeatScan_{};
};

int number(const char* text, const char* option) {
    try {
        const int value = std::stoi(text);
        if (value < 0) throw std::out_of_range(option);
        return value;
    } catch (const std::exception&) {
        throw std::invalid_argument(std::string(option) + " needs a non-negative number");
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    Options o;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            auto value = [&]() -> const char* {
                if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
                return argv[++i];
            };
            if (arg == "--server") {
                o.server = value();
            } else if (arg == "--target") {
                const std::string t = value();
                const auto colon = t.rfind(':');
                if (colon == std::string::npos) throw std::invalid_argument("--target needs HOST:PORT");
                o.host = t.substr(0, colon);
                o.port = static_cast<std::uint16_t>(number(t.c_str() + colon + 1, "--target"));
            } else if (arg == "--server-pid") {
                o.serverPid = number(value(), "--server-pid");
            } else if (arg == "--connections") {
                o.connections = std::max(2, number(value(), "--connections"));
            } else if (arg == "--pairs") {
                o.pairs = number(value(), "--pairs");
            } else if (arg == "--seconds") {
                o.seconds = std::max(1, number(value(), "--seconds"));
            } else if (arg == "--window") {
                o.window = std::max(1, number(value(), "--window"));
            } else if (arg == "--help" || arg == "-h") {
                std::puts("murel-control-load (--server PATH | --target HOST:PORT [--server-pid PID])\n"
                          "                   [--connections 1000] [--pairs 50] [--seconds 10] [--window 4]");
                return 0;
            } else {
                throw std::invalid_argument("unknown option " + arg);
            }
        }
        if (o.server.empty() && o.port == 0) throw std::invalid_argument("give --server PATH or --target HOST:PORT");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "murel-control-load: %s\n", e.what());
        return 2;
    }

    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    std::filesystem::path dataDir;
    pid_t child = -1;
    int status = 0;
    try {
        if (!o.server.empty()) {
            std::string pattern = (std::filesystem::temp_directory_path() / "murel-control-load-XXXXXX").string();
            if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
            dataDir = pattern;
            int out[2];
            if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
            child = fork();
            if (child == 0) {
                dup2(out[1], STDOUT_FILENO);
                const int devnull = open("/dev/null", O_WRONLY);
                dup2(devnull, STDERR_FILENO);  // one log line per event would dominate the run
                const std::string data = (dataDir / "data").string();
                execl(o.server.c_str(), o.server.c_str(), "--listen", "127.0.0.1:0", "--data", data.c_str(),
                      "--test-fast-hashes", "--max-connections-per-address", "16000", "--registrations-per-hour",
                      "100000", "--unauthenticated-rate", "100000", static_cast<char*>(nullptr));
                _exit(127);
            }
            close(out[1]);
            std::string text;
            const auto deadline = Clock::now() + std::chrono::seconds(20);
            while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
                pollfd p{out[0], POLLIN, 0};
                if (poll(&p, 1, 1000) <= 0) continue;
                char chunk[256];
                const auto n = read(out[0], chunk, sizeof chunk);
                if (n <= 0) break;
                text.append(chunk, static_cast<std::size_t>(n));
            }
            close(out[0]);
            const auto at = text.find("listening on 127.0.0.1:");
            if (at == std::string::npos) throw std::runtime_error("server did not start");
            o.port = static_cast<std::uint16_t>(std::stoi(text.substr(at + 23)));
            o.serverPid = child;
            std::printf("server pid %d on 127.0.0.1:%u\n", child, o.port);
        }
        Load(o).run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "murel-control-load: %s\n", e.what());
        status = 1;
    }
    if (child > 0) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    if (!dataDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dataDir, ec);
    }
    return status;
}
