// POSIX implementation of the socket layer.
#include "ice/Socket.hpp"

#include "ice/AddressText.hpp"

#include "common/Log.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace rtc::impl {
namespace {

socklen_t toSockaddr(const Address& a, sockaddr_storage& ss) {
    std::memset(&ss, 0, sizeof ss);
    auto b = a.bytes();
    if (a.family() == AddressFamily::V4) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(a.port());
        std::memcpy(&sin->sin_addr, b.data(), 4);
        return sizeof(sockaddr_in);
    }
    if (a.family() == AddressFamily::V6) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(a.port());
        sin6->sin6_scope_id = a.scopeId();
        std::memcpy(&sin6->sin6_addr, b.data(), 16);
        return sizeof(sockaddr_in6);
    }
    return 0;
}

std::optional<Address> fromSockaddr(const sockaddr* sa) {
    if (sa == nullptr) return std::nullopt;
    if (sa->sa_family == AF_INET) {
        auto* sin = reinterpret_cast<const sockaddr_in*>(sa);
        return Address::fromBytes({reinterpret_cast<const uint8_t*>(&sin->sin_addr), 4},
                                  ntohs(sin->sin_port));
    }
    if (sa->sa_family == AF_INET6) {
        auto* sin6 = reinterpret_cast<const sockaddr_in6*>(sa);
        auto a = Address::fromBytes({reinterpret_cast<const uint8_t*>(&sin6->sin6_addr), 16},
                                    ntohs(sin6->sin6_port));
        if (a && sin6->sin6_scope_id != 0) {
            // Keep the zone of link-local addresses so replies can be routed.
            std::string ip = a->ip();
            char name[IF_NAMESIZE] = {};
            if (if_indextoname(sin6->sin6_scope_id, name) != nullptr)
                return Address::fromString(ip + "%" + name, a->port());
        }
        return a;
    }
    return std::nullopt;
}

bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// The socket works without these options (only worse), so a failure is logged, not fatal.
void setOption(int fd, int level, int name, const char* optionName, int value) {
    if (setsockopt(fd, level, name, &value, sizeof value) != 0) {
        const int code = errno;
        log(LogLevel::Warning, "setsockopt ", optionName, " failed: ", errnoText(code), " (errno ",
            code, ")");
    }
}

}  // namespace

namespace addresstext {

bool parse(AddressFamily family, const std::string& text, uint8_t* out) {
    return inet_pton(family == AddressFamily::V4 ? AF_INET : AF_INET6, text.c_str(), out) == 1;
}

std::string format(AddressFamily family, const uint8_t* bytes) {
    char buf[INET6_ADDRSTRLEN] = {};
    inet_ntop(family == AddressFamily::V4 ? AF_INET : AF_INET6, bytes, buf, sizeof buf);
    return buf;
}

uint32_t zoneIndexByName(const std::string& zone) {
    return if_nametoindex(zone.c_str());
}

}  // namespace addresstext

std::vector<Address> Address::resolve(const std::string& host, uint16_t port,
                                      AddressFamily family) {
    std::vector<Address> out;
    if (auto numeric = fromString(host, port)) {
        if (family == AddressFamily::None || numeric->family() == family) out.push_back(*numeric);
        return out;
    }
    addrinfo hints{};
    hints.ai_family = family == AddressFamily::V4   ? AF_INET
                      : family == AddressFamily::V6 ? AF_INET6
                                                    : AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &result) != 0) return out;
    for (addrinfo* ai = result; ai != nullptr && out.size() < 16; ai = ai->ai_next) {
        if (auto a = fromSockaddr(ai->ai_addr)) {
            bool dup = false;
            for (auto& o : out) dup = dup || o == *a;
            if (!dup) out.push_back(*a);
        }
    }
    freeaddrinfo(result);
    return out;
}

std::vector<Address> enumerateInterfaces(const InterfaceFilter& filter) {
    std::vector<Address> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || (ifa->ifa_flags & IFF_UP) == 0) continue;
        auto a = fromSockaddr(ifa->ifa_addr);
        if (!a) continue;
        if (a->family() == AddressFamily::V4 && !filter.ipv4) continue;
        if (a->family() == AddressFamily::V6 && !filter.ipv6) continue;
        if (a->isLinkLocal()) continue;
        bool loop = a->isLoopback() || (ifa->ifa_flags & IFF_LOOPBACK) != 0;
        if (filter.loopbackOnly ? !loop : (loop && !filter.includeLoopback)) continue;
        a->setPort(0);
        bool dup = false;
        for (auto& o : out) dup = dup || o == *a;
        if (!dup) out.push_back(*a);
    }
    freeifaddrs(list);
    return out;
}

UdpSocket::~UdpSocket() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::unique_ptr<UdpSocket> UdpSocket::open(const Address& local, uint16_t portMin, uint16_t portMax,
                                           std::string* error) {
    auto fail = [&](const std::string& what) -> std::unique_ptr<UdpSocket> {
        if (error) *error = what + ": " + std::strerror(errno);
        return nullptr;
    };
    if (!local.isValid()) {
        errno = EINVAL;
        return fail("invalid local address");
    }
    int fd =
        ::socket(local.family() == AddressFamily::V4 ? AF_INET : AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) return fail("socket");
    std::unique_ptr<UdpSocket> sock(new UdpSocket(fd, local));
    if (!setNonBlocking(fd)) return fail("fcntl");
    if (local.family() == AddressFamily::V6) {
        int on = 1;
        setOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, "IPV6_V6ONLY", on);
    }
    int bufSize = 1 << 20;
    setOption(fd, SOL_SOCKET, SO_RCVBUF, "SO_RCVBUF", bufSize);
    setOption(fd, SOL_SOCKET, SO_SNDBUF, "SO_SNDBUF", bufSize);

    sockaddr_storage ss;
    bool bound = false;
    if (local.port() == 0 && portMin != 0 && portMax >= portMin) {
        uint32_t count = uint32_t(portMax) - portMin + 1;
        std::random_device rd;
        uint32_t start = rd() % count;
        for (uint32_t i = 0; i < count && !bound; ++i) {
            Address a = local;
            a.setPort(static_cast<uint16_t>(portMin + (start + i) % count));
            socklen_t len = toSockaddr(a, ss);
            bound = ::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0;
        }
    } else {
        socklen_t len = toSockaddr(local, ss);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0;
    }
    if (!bound) return fail("bind " + local.toString());
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return fail("getsockname");
    auto actual = fromSockaddr(reinterpret_cast<sockaddr*>(&ss));
    if (!actual) return fail("getsockname");
    sock->local_ = *actual;
    return sock;
}

bool UdpSocket::sendTo(const Address& to, std::span<const uint8_t> data) {
    if (to.family() != local_.family()) return false;
    sockaddr_storage ss;
    socklen_t len = toSockaddr(to, ss);
    ssize_t n;
    do {
        n = ::sendto(static_cast<int>(handle_), data.data(), data.size(), MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&ss), len);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(data.size());
}

std::optional<size_t> UdpSocket::receiveFrom(std::span<uint8_t> buffer, Address& from) {
    for (;;) {
        sockaddr_storage ss;
        socklen_t len = sizeof ss;
        msghdr msg{};
        iovec iov{buffer.data(), buffer.size()};
        msg.msg_name = &ss;
        msg.msg_namelen = len;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t n = ::recvmsg(static_cast<int>(handle_), &msg, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            // ECONNREFUSED and friends report an earlier send; keep reading.
            if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
            if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) continue;
            return std::nullopt;
        }
        if (msg.msg_flags & MSG_TRUNC) continue;
        auto a = fromSockaddr(reinterpret_cast<sockaddr*>(&ss));
        if (!a) continue;
        // IPv4-mapped sources cannot reach a V6ONLY socket; anything else is taken as it is.
        from = *a;
        return static_cast<size_t>(n);
    }
}

SocketPoller::SocketPoller() {
    int fds[2];
    if (::pipe(fds) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
        setNonBlocking(fds[0]);
        setNonBlocking(fds[1]);
    }
}

SocketPoller::~SocketPoller() {
    if (wakeRead_ >= 0) ::close(static_cast<int>(wakeRead_));
    if (wakeWrite_ >= 0) ::close(static_cast<int>(wakeWrite_));
}

void SocketPoller::wake() {
    if (wakeWrite_ < 0) return;
    uint8_t b = 1;
    // A full pipe already guarantees a wake-up.
    [[maybe_unused]] ssize_t n = ::write(static_cast<int>(wakeWrite_), &b, 1);
}

std::vector<size_t> SocketPoller::wait(const std::vector<UdpSocket*>& sockets,
                                       std::chrono::milliseconds timeout) {
    std::vector<pollfd> fds;
    fds.reserve(sockets.size() + 1);
    for (auto* s : sockets) fds.push_back({static_cast<int>(s->handle()), POLLIN, 0});
    fds.push_back({static_cast<int>(wakeRead_), POLLIN, 0});
    int ms = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(timeout.count(), 60000)));
    std::vector<size_t> ready;
    int n = ::poll(fds.data(), fds.size(), ms);
    if (n <= 0) return ready;
    if (fds.back().revents != 0) {
        uint8_t drain[64];
        while (::read(static_cast<int>(wakeRead_), drain, sizeof drain) > 0) {
        }
    }
    for (size_t i = 0; i < sockets.size(); ++i)
        if (fds[i].revents & (POLLIN | POLLERR)) ready.push_back(i);
    return ready;
}

}  // namespace rtc::impl
