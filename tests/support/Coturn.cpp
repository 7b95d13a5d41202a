#include "Coturn.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace murel::test {
namespace {

std::string hostAddress() {
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

std::uint16_t freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

}  // namespace

Coturn::Coturn(CoturnOptions options) {
    static std::atomic<int> counter{0};
    dir_ = std::filesystem::temp_directory_path() /
           ("murel-test-coturn-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(dir_);
    if (options.relayOnHostAddress) relayAddress_ = hostAddress();
    // The port is free when picked but may be taken before coturn binds it: a few tries.
    for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
        port_ = freeUdpPort();
        if (port_ == 0) continue;
        const auto relayBase = static_cast<std::uint16_t>(30000 + (port_ % 20000));
        std::vector<std::string> args = {kProgram,
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
                                         "--log-file=" + logFile().string(),
                                         "--pidfile=" + (dir_ / "turn.pid").string(),
                                         "--no-rfc5780",
                                         "--no-software-attribute"};
        args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
        try {
            process_ = std::make_unique<ChildProcess>(std::move(args));
        } catch (const std::exception&) {
            continue;
        }
        if (!waitReady()) process_.reset();
    }
}

Coturn::~Coturn() {
    if (process_) process_->stop(std::chrono::seconds(3));
    process_.reset();
    std::error_code ec;
    if (!std::getenv("MUREL_INTEROP_KEEP_LOGS")) std::filesystem::remove_all(dir_, ec);
}

bool Coturn::installed() { return ::access(kProgram, X_OK) == 0; }

std::pair<std::string, std::string> Coturn::credentials(const std::string& secret) {
    std::string user = std::to_string(std::time(nullptr) + 3600) + ":murel";
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(user.data()), user.size(), mac, &len);
    std::string b64(4 * ((len + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), mac, static_cast<int>(len));
    b64.resize(static_cast<std::size_t>(n));
    return {user, b64};
}

// Ready once it answers a STUN binding request; false when it exits first or never answers.
bool Coturn::waitReady() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port_);
    std::array<unsigned char, 20> request{0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
    RAND_bytes(request.data() + 8, 12);
    bool ready = false;
    for (int i = 0; i < 150 && !ready && process_->running(); ++i) {
        ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            unsigned char reply[1500];
            const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
            // A binding success response carrying our transaction id.
            ready = n >= 20 && reply[0] == 0x01 && reply[1] == 0x01 &&
                    std::memcmp(reply + 8, request.data() + 8, 12) == 0;
        }
    }
    ::close(fd);
    return ready;
}

}  // namespace murel::test
