// Socket behaviour that each platform's implementation has to get right on its own: ICMP errors,
// wake-ups that arrive before the wait, and IPv6 zones.
#include "ice/Socket.hpp"

#include <gtest/gtest.h>

using namespace rtc::impl;
using namespace std::chrono_literals;

namespace {
std::optional<size_t> receiveWithin(SocketPoller& poller, UdpSocket& s, std::vector<uint8_t>& buf, Address& from) {
  for (int i = 0; i < 50; ++i) {
    poller.wait({&s}, 100ms);
    if (auto n = s.receiveFrom(buf, from)) return n;
  }
  return std::nullopt;
}
}  // namespace

// A send to a closed port comes back as an ICMP error that the system reports on a later receive
// (ECONNREFUSED, WSAECONNRESET); the socket must still deliver the datagrams queued behind it.
TEST(UdpSocketPlatform, UnreachablePortDoesNotStopReception) {
  for (auto family : {AddressFamily::V4, AddressFamily::V6}) {
    auto a = UdpSocket::open(Address::loopback(family), 0, 0);
    auto b = UdpSocket::open(Address::loopback(family), 0, 0);
    auto gone = UdpSocket::open(Address::loopback(family), 0, 0);
    ASSERT_TRUE(a && b && gone);
    Address closed = gone->localAddress();
    gone.reset();
    std::vector<uint8_t> probe{0xde, 0xad};
    for (int i = 0; i < 3; ++i) a->sendTo(closed, probe);
    std::vector<uint8_t> payload{7, 8, 9};
    ASSERT_TRUE(b->sendTo(a->localAddress(), payload));
    SocketPoller poller;
    std::vector<uint8_t> buf(1500);
    Address from;
    auto n = receiveWithin(poller, *a, buf, from);
    ASSERT_TRUE(n) << "family " << int(family);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + *n), payload);
    EXPECT_EQ(from, b->localAddress());
    // The socket still sends after the errors.
    EXPECT_TRUE(a->sendTo(b->localAddress(), payload));
    EXPECT_TRUE(receiveWithin(poller, *b, buf, from));
  }
}

// A wake-up given while nobody waits ends the next wait; many wake-ups collapse into one.
TEST(SocketPollerPlatform, WakeBeforeWaitIsKeptAndCollapsed) {
  auto s = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  auto peer = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  ASSERT_TRUE(s && peer);
  SocketPoller poller;
  for (int i = 0; i < 1000; ++i) poller.wake();
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(poller.wait({s.get()}, 20000ms).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  // The wake-ups are used up: the next wait reports the socket that has data, not a stale wake.
  std::vector<uint8_t> payload{1};
  ASSERT_TRUE(peer->sendTo(s->localAddress(), payload));
  std::vector<size_t> ready;
  for (int i = 0; i < 50 && ready.empty(); ++i) ready = poller.wait({peer.get(), s.get()}, 100ms);
  ASSERT_EQ(ready, std::vector<size_t>{1});
}

TEST(AddressPlatform, NumericIpv6ZonesAreInterfaceIndices) {
  auto a = Address::fromString("fe80::1%3", 5000);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->scopeId(), 3u);
  EXPECT_EQ(a->ip(), "fe80::1");
  EXPECT_TRUE(a->isLinkLocal());
  EXPECT_FALSE(Address::fromString("fe80::1%0", 1));
  EXPECT_FALSE(Address::fromString("fe80::1%", 1));
  EXPECT_FALSE(Address::fromString("fe80::1%99999999999", 1));
  EXPECT_FALSE(Address::fromString("fe80::1%-1", 1));
  // Text the parser must refuse whatever the platform's converter accepts.
  EXPECT_FALSE(Address::fromString("127.1", 1));
  EXPECT_FALSE(Address::fromString("0x7f.0.0.1", 1));
  EXPECT_FALSE(Address::fromString("1.2.3.4 ", 1));
  EXPECT_FALSE(Address::fromString("::ffff:1.2.3", 1));
}
