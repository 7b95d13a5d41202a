// UDP sockets, addresses and interface enumeration. This header is platform-neutral; the
// operating-system part lives in posix/Socket.cpp (Linux) or win/Socket.cpp (Winsock), and the
// build compiles exactly one of them.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rtc::impl {

enum class AddressFamily : uint8_t { None, V4, V6 };

// An IP address and UDP port, held in a platform-neutral form.
class Address {
public:
    Address() = default;

    // Numeric addresses only ("192.0.2.1", "2001:db8::1", "fe80::1%eth0"); no name lookup.
    static std::optional<Address> fromString(std::string_view ip, uint16_t port);
    // "ip:port" or "[ipv6]:port".
    static std::optional<Address> fromEndpoint(std::string_view endpoint);
    // Name lookup (blocking); numeric hosts resolve without the network.
    static std::vector<Address> resolve(const std::string& host, uint16_t port,
                                        AddressFamily family = AddressFamily::None);
    // From raw network-order address bytes (4 or 16 of them).
    static std::optional<Address> fromBytes(std::span<const uint8_t> bytes, uint16_t port);
    static Address any(AddressFamily family, uint16_t port = 0);
    static Address loopback(AddressFamily family, uint16_t port = 0);

    AddressFamily family() const { return family_; }
    bool isValid() const { return family_ != AddressFamily::None; }
    uint16_t port() const { return port_; }
    void setPort(uint16_t port) { port_ = port; }
    uint32_t scopeId() const { return scopeId_; }
    // 4 bytes for IPv4, 16 for IPv6, network order.
    std::span<const uint8_t> bytes() const;

    std::string ip() const;        // "192.0.2.1" / "2001:db8::1"
    std::string toString() const;  // "192.0.2.1:80" / "[2001:db8::1]:80"

    bool isLoopback() const;
    bool isAny() const;
    bool isLinkLocal() const;
    bool sameIp(const Address& other) const;

    bool operator==(const Address& other) const;
    bool operator!=(const Address& other) const { return !(*this == other); }

private:
    AddressFamily family_ = AddressFamily::None;
    std::array<uint8_t, 16> bytes_{};
    uint16_t port_ = 0;
    uint32_t scopeId_ = 0;
};

struct InterfaceFilter {
    bool loopbackOnly = false;  // only 127.0.0.1 / ::1 style addresses (tests)
    bool includeLoopback = false;
    bool ipv4 = true;
    bool ipv6 = true;
};

// Addresses of the interfaces that are up, without IPv6 link-local ones; port 0.
std::vector<Address> enumerateInterfaces(const InterfaceFilter& filter);

// A non-blocking UDP socket.
class UdpSocket {
public:
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Binds to `local`; when local.port() is 0 and [portMin, portMax] is a real range, tries the
    // ports of that range, otherwise lets the system choose. Returns null with `error` filled on
    // failure.
    static std::unique_ptr<UdpSocket> open(const Address& local, uint16_t portMin, uint16_t portMax,
                                           std::string* error = nullptr);

    Address localAddress() const { return local_; }
    AddressFamily family() const { return local_.family(); }

    // False when the datagram could not be handed to the system (full buffer, unreachable, ...).
    bool sendTo(const Address& to, std::span<const uint8_t> data);
    // Bytes received, or nothing when no datagram is waiting. Truncated datagrams are dropped.
    std::optional<size_t> receiveFrom(std::span<uint8_t> buffer, Address& from);

    // The native socket (a file descriptor or a SOCKET), for the poller.
    intptr_t handle() const { return handle_; }

private:
    UdpSocket(intptr_t handle, Address local) : handle_(handle), local_(local) {}
    intptr_t handle_;
    Address local_;
};

// Waits for readable sockets; wake() interrupts a wait from any thread. A socket with a pending
// error counts as readable so that receiveFrom() can consume the error.
class SocketPoller {
public:
    SocketPoller();
    ~SocketPoller();
    SocketPoller(const SocketPoller&) = delete;
    SocketPoller& operator=(const SocketPoller&) = delete;

    // Indices into `sockets` that are readable; empty on time-out or wake.
    std::vector<size_t> wait(const std::vector<UdpSocket*>& sockets,
                             std::chrono::milliseconds timeout);
    void wake();

private:
    // The wake-up channel: read and write ends (a pipe; on Windows one loopback UDP socket that
    // sends to itself, held in wakeRead_).
    intptr_t wakeRead_ = -1;
    intptr_t wakeWrite_ = -1;
};

}  // namespace rtc::impl
