// Winsock implementation of the socket layer.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <mswsock.h>
#include <windows.h>

#include "ice/Socket.hpp"

#include "ice/AddressText.hpp"

#include "common/Log.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>

namespace rtc::impl {
namespace {

// Winsock is started once for the life of the process and never cleaned up: sockets may be closed
// by destructors of static objects after any point where a cleanup could run.
bool winsockReady() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

std::string errorText(int code) {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out;
    if (n != 0 && text != nullptr) {
        out.assign(text, n);
        while (!out.empty() &&
               (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.'))
            out.pop_back();
    }
    if (text != nullptr) LocalFree(text);
    if (out.empty()) out = "Winsock error";
    return out + " (" + std::to_string(code) + ")";
}

SOCKET native(intptr_t handle) {
    return static_cast<SOCKET>(handle);
}

int toSockaddr(const Address& a, sockaddr_storage& ss) {
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
        // Windows names zones by interface index ("fe80::1%12"); keep it so replies can be routed.
        if (a && sin6->sin6_scope_id != 0)
            return Address::fromString(a->ip() + "%" + std::to_string(sin6->sin6_scope_id),
                                       a->port());
        return a;
    }
    return std::nullopt;
}

// Non-blocking, not inherited by child processes, and without the WSAECONNRESET reports that
// Windows otherwise raises on a UDP socket after an ICMP port-unreachable.
bool prepare(SOCKET s) {
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0) return false;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    BOOL report = FALSE;
    DWORD bytes = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &bytes, nullptr, nullptr);
    return true;
}

// The socket works without these options (only worse), so a failure is logged, not fatal.
void setOption(SOCKET s, int level, int name, const char* optionName, int value) {
    if (setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) != 0) {
        const int code = WSAGetLastError();
        log(LogLevel::Warning, "setsockopt ", optionName, " failed: ", errorText(code), " (error ",
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

// Windows names zones by interface index only ("fe80::1%12").
uint32_t zoneIndexByName(const std::string&) {
    return 0;
}

}  // namespace addresstext

std::vector<Address> Address::resolve(const std::string& host, uint16_t port,
                                      AddressFamily family) {
    std::vector<Address> out;
    if (auto numeric = fromString(host, port)) {
        if (family == AddressFamily::None || numeric->family() == family) out.push_back(*numeric);
        return out;
    }
    if (!winsockReady()) return out;
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
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                        GAA_FLAG_SKIP_FRIENDLY_NAME;
    // The list can grow between the size query and the call; retry a few times.
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        rc = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc != NO_ERROR) return out;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) continue;
        bool loopbackAdapter = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        for (auto* u = adapter->FirstUnicastAddress; u != nullptr; u = u->Next) {
            // Addresses still being checked for duplicates, found duplicate or deprecated are not
            // offered.
            if (u->DadState == IpDadStateTentative || u->DadState == IpDadStateDuplicate ||
                u->DadState == IpDadStateDeprecated)
                continue;
            auto a = fromSockaddr(u->Address.lpSockaddr);
            if (!a) continue;
            if (a->family() == AddressFamily::V4 && !filter.ipv4) continue;
            if (a->family() == AddressFamily::V6 && !filter.ipv6) continue;
            if (a->isLinkLocal()) continue;
            bool loop = a->isLoopback() || loopbackAdapter;
            if (filter.loopbackOnly ? !loop : (loop && !filter.includeLoopback)) continue;
            a->setPort(0);
            bool dup = false;
            for (auto& o : out) dup = dup || o == *a;
            if (!dup) out.push_back(*a);
        }
    }
    return out;
}

UdpSocket::~UdpSocket() {
    if (native(handle_) != INVALID_SOCKET) closesocket(native(handle_));
}

std::unique_ptr<UdpSocket> UdpSocket::open(const Address& local, uint16_t portMin, uint16_t portMax,
                                           std::string* error) {
    auto fail = [&](const std::string& what, int code) -> std::unique_ptr<UdpSocket> {
        if (error) *error = what + ": " + errorText(code);
        return nullptr;
    };
    if (!local.isValid()) return fail("invalid local address", WSAEINVAL);
    if (!winsockReady()) return fail("WSAStartup", WSASYSNOTREADY);
    SOCKET s =
        ::socket(local.family() == AddressFamily::V4 ? AF_INET : AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return fail("socket", WSAGetLastError());
    std::unique_ptr<UdpSocket> sock(new UdpSocket(static_cast<intptr_t>(s), local));
    if (!prepare(s)) return fail("ioctlsocket", WSAGetLastError());
    // Without this another process could bind the same port with SO_REUSEADDR and take our traffic.
    setOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, "SO_EXCLUSIVEADDRUSE", TRUE);
    if (local.family() == AddressFamily::V6)
        setOption(s, IPPROTO_IPV6, IPV6_V6ONLY, "IPV6_V6ONLY", 1);
    int bufSize = 1 << 20;
    setOption(s, SOL_SOCKET, SO_RCVBUF, "SO_RCVBUF", bufSize);
    setOption(s, SOL_SOCKET, SO_SNDBUF, "SO_SNDBUF", bufSize);

    sockaddr_storage ss;
    bool bound = false;
    if (local.port() == 0 && portMin != 0 && portMax >= portMin) {
        uint32_t count = uint32_t(portMax) - portMin + 1;
        std::random_device rd;
        uint32_t start = rd() % count;
        for (uint32_t i = 0; i < count && !bound; ++i) {
            Address a = local;
            a.setPort(static_cast<uint16_t>(portMin + (start + i) % count));
            int len = toSockaddr(a, ss);
            bound = ::bind(s, reinterpret_cast<sockaddr*>(&ss), len) == 0;
        }
    } else {
        int len = toSockaddr(local, ss);
        bound = ::bind(s, reinterpret_cast<sockaddr*>(&ss), len) == 0;
    }
    if (!bound) return fail("bind " + local.toString(), WSAGetLastError());
    int len = sizeof ss;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return fail("getsockname", WSAGetLastError());
    auto actual = fromSockaddr(reinterpret_cast<sockaddr*>(&ss));
    if (!actual) return fail("getsockname", WSAEAFNOSUPPORT);
    sock->local_ = *actual;
    return sock;
}

bool UdpSocket::sendTo(const Address& to, std::span<const uint8_t> data) {
    if (to.family() != local_.family() || data.size() > static_cast<size_t>(INT_MAX)) return false;
    sockaddr_storage ss;
    int len = toSockaddr(to, ss);
    int n = ::sendto(native(handle_), reinterpret_cast<const char*>(data.data()),
                     static_cast<int>(data.size()), 0, reinterpret_cast<sockaddr*>(&ss), len);
    return n != SOCKET_ERROR && static_cast<size_t>(n) == data.size();
}

std::optional<size_t> UdpSocket::receiveFrom(std::span<uint8_t> buffer, Address& from) {
    int capacity = static_cast<int>(std::min<size_t>(buffer.size(), INT_MAX));
    for (;;) {
        sockaddr_storage ss;
        int len = sizeof ss;
        int n = ::recvfrom(native(handle_), reinterpret_cast<char*>(buffer.data()), capacity, 0,
                           reinterpret_cast<sockaddr*>(&ss), &len);
        if (n == SOCKET_ERROR) {
            int e = WSAGetLastError();
            // A datagram larger than the buffer has been consumed in part and discarded: drop it.
            if (e == WSAEMSGSIZE) continue;
            // Reports about earlier sends; each consumes one report, so keep reading.
            if (e == WSAECONNRESET || e == WSAENETRESET || e == WSAEHOSTUNREACH ||
                e == WSAENETUNREACH)
                continue;
            return std::nullopt;  // WSAEWOULDBLOCK or a failure the next wait will show again
        }
        auto a = fromSockaddr(reinterpret_cast<sockaddr*>(&ss));
        if (!a) continue;
        from = *a;
        return static_cast<size_t>(n);
    }
}

SocketPoller::SocketPoller() {
    // Winsock has no pipe that WSAPoll can watch: a loopback UDP socket connected to itself serves
    // as the wake-up channel.
    if (!winsockReady()) return;
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return;
    sockaddr_storage ss;
    int len = toSockaddr(Address::loopback(AddressFamily::V4), ss);
    int nameLen = sizeof ss;
    if (!prepare(s) || ::bind(s, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&ss), &nameLen) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&ss), nameLen) != 0) {
        closesocket(s);
        return;
    }
    wakeRead_ = static_cast<intptr_t>(s);
}

SocketPoller::~SocketPoller() {
    if (native(wakeRead_) != INVALID_SOCKET) closesocket(native(wakeRead_));
}

void SocketPoller::wake() {
    if (native(wakeRead_) == INVALID_SOCKET) return;
    char b = 1;
    // A full socket buffer already guarantees a wake-up.
    ::send(native(wakeRead_), &b, 1, 0);
}

std::vector<size_t> SocketPoller::wait(const std::vector<UdpSocket*>& sockets,
                                       std::chrono::milliseconds timeout) {
    std::vector<WSAPOLLFD> fds;
    fds.reserve(sockets.size() + 1);
    for (auto* s : sockets) fds.push_back({native(s->handle()), POLLRDNORM, 0});
    bool wakeable = native(wakeRead_) != INVALID_SOCKET;
    if (wakeable) fds.push_back({native(wakeRead_), POLLRDNORM, 0});
    int ms = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(timeout.count(), 60000)));
    std::vector<size_t> ready;
    if (fds.empty()) {
        // WSAPoll refuses an empty set; still honour the time-out so callers do not spin.
        Sleep(static_cast<DWORD>(ms));
        return ready;
    }
    int n = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), ms);
    if (n <= 0) return ready;
    if (wakeable && fds.back().revents != 0) {
        char drain[64];
        while (::recv(native(wakeRead_), drain, sizeof drain, 0) > 0) {
        }
    }
    for (size_t i = 0; i < sockets.size(); ++i)
        if (fds[i].revents & (POLLRDNORM | POLLERR | POLLHUP)) ready.push_back(i);
    return ready;
}

}  // namespace rtc::impl
