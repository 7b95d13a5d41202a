#pragma once
// coturn on an ephemeral loopback UDP port with time-limited shared-secret credentials (the TURN REST
// scheme the control service hands out), started and stopped by a test.

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace murel::interop {

inline const char* kTurnServer = "/usr/bin/turnserver";

class Coturn {
public:
    static constexpr const char* kSecret = "murel-interop-secret";
    static constexpr const char* kRealm = "murel.test";

    Coturn() {
        static std::atomic<int> counter{0};
        dir_ = std::filesystem::temp_directory_path() /
               ("murel-interop-coturn-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(dir_);
        relayAddress_ = hostAddress();
        for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
            port_ = freeUdpPort();
            if (port_ == 0) continue;
            uint16_t relayBase = static_cast<uint16_t>(30000 + (port_ % 20000));
            std::vector<std::string> args = {kTurnServer,
                                             "-n",
                                             "--no-cli",
                                             "--no-tls",
                                             "--no-dtls",
                                             "--no-tcp",
                                             "--no-tcp-relay",
                                             "--listening-ip=127.0.0.1",
                                             "--relay-ip=" + relayAddress_,
                                             "--listening-port=" + std::to_string(port_),
                                             "--allow-loopback-peers",
                                             "--use-auth-secret",
                                             std::string("--static-auth-secret=") + kSecret,
                                             std::string("--realm=") + kRealm,
                                             "--min-port=" + std::to_string(relayBase),
                                             "--max-port=" + std::to_string(relayBase + 200),
                                             "--no-stdout-log",
                                             "--simple-log",
                                             "--verbose",
                                             "--log-file=" + (dir_ / "turn.log").string(),
                                             "--pidfile=" + (dir_ / "turn.pid").string(),
                                             "--no-rfc5780",
                                             "--no-software-attribute"};
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            pid_t parent = ::getpid();
            pid_t pid = ::fork();
            if (pid == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (::getppid() != parent) ::_exit(127);
                ::execv(kTurnServer, argv.data());
                ::_exit(127);
            }
            if (pid < 0) continue;
            pid_ = pid;
            if (!waitReady()) stop();
        }
    }

    ~Coturn() {
        stop();
        std::error_code ec;
        if (!std::getenv("MUREL_INTEROP_KEEP_LOGS")) std::filesystem::remove_all(dir_, ec);
    }

    Coturn(const Coturn&) = delete;
    Coturn& operator=(const Coturn&) = delete;

    static bool installed() { return ::access(kTurnServer, X_OK) == 0; }
    bool running() const { return pid_ > 0; }
    uint16_t port() const { return port_; }
    // Where relayed candidates point. Chromium will not send from a host address to a loopback one,
    // so the relay sits on the machine's own address when it has one; 127.0.0.1 otherwise.
    const std::string& relayAddress() const { return relayAddress_; }
    bool relayIsLoopback() const { return relayAddress_ == "127.0.0.1"; }
    // The server's log (--verbose): allocations, permissions and per-session usage.
    std::filesystem::path logFile() const { return dir_ / "turn.log"; }

    // A user name valid for an hour and its password: base64(HMAC-SHA1(secret, user)).
    static std::pair<std::string, std::string> credentials(const std::string& secret = kSecret) {
        std::string user = std::to_string(std::time(nullptr) + 3600) + ":interop";
        unsigned char mac[EVP_MAX_MD_SIZE];
        unsigned len = 0;
        HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
             reinterpret_cast<const unsigned char*>(user.data()), user.size(), mac, &len);
        std::string b64(4 * ((len + 2) / 3) + 1, '\0');
        int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), mac, static_cast<int>(len));
        b64.resize(static_cast<size_t>(n));
        return {user, b64};
    }

private:
    static std::string hostAddress() {
        ifaddrs* list = nullptr;
        std::string found = "127.0.0.1";
        if (::getifaddrs(&list) != 0) return found;
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
            if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
            char text[INET_ADDRSTRLEN];
            auto* a = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
            if (::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text)) {
                found = text;
                break;
            }
        }
        ::freeifaddrs(list);
        return found;
    }

    static uint16_t freeUdpPort() {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return 0;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        uint16_t port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            port = ntohs(addr.sin_port);
        ::close(fd);
        return port;
    }

    // Ready once it answers a STUN binding request; false when it exits first or never answers.
    bool waitReady() {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(port_);
        std::array<unsigned char, 20> request{0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
        RAND_bytes(request.data() + 8, 12);
        bool ready = false;
        for (int i = 0; i < 150 && !ready; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                unsigned char reply[1500];
                ssize_t n = ::recv(fd, reply, sizeof reply, 0);
                // A binding success response carrying our transaction id.
                ready = n >= 20 && reply[0] == 0x01 && reply[1] == 0x01 &&
                        std::memcmp(reply + 8, request.data() + 8, 12) == 0;
            }
        }
        ::close(fd);
        return ready;
    }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    std::filesystem::path dir_;
    std::string relayAddress_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

}  // namespace murel::interop
