// The UDP socket layer on loopback.
#include "ice/Socket.hpp"

#include <gtest/gtest.h>

#include <thread>

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

TEST(UdpSocketTest, ExchangesDatagramsOnBothFamilies) {
  for (auto family : {AddressFamily::V4, AddressFamily::V6}) {
    auto a = UdpSocket::open(Address::loopback(family), 0, 0);
    auto b = UdpSocket::open(Address::loopback(family), 0, 0);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->localAddress().port(), 0);
    std::vector<uint8_t> payload{1, 2, 3, 4, 5};
    ASSERT_TRUE(a->sendTo(b->localAddress(), payload));
    SocketPoller poller;
    std::vector<uint8_t> buf(2048);
    Address from;
    auto n = receiveWithin(poller, *b, buf, from);
    ASSERT_TRUE(n);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + *n), payload);
    EXPECT_EQ(from, a->localAddress());
    // Nothing more waiting: non-blocking read returns at once.
    EXPECT_FALSE(b->receiveFrom(buf, from));
    // A datagram for the other family is refused rather than mangled.
    EXPECT_FALSE(a->sendTo(Address::loopback(family == AddressFamily::V4 ? AddressFamily::V6 : AddressFamily::V4, 9), payload));
  }
}

TEST(UdpSocketTest, BindsInsideThePortRange) {
  auto first = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  ASSERT_TRUE(first);
  uint16_t base = first->localAddress().port();
  first.reset();
  auto a = UdpSocket::open(Address::loopback(AddressFamily::V4), base, base);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->localAddress().port(), base);
  std::string error;
  auto b = UdpSocket::open(Address::loopback(AddressFamily::V4), base, base, &error);
  EXPECT_FALSE(b);  // the only port of the range is taken
  EXPECT_FALSE(error.empty());
}

TEST(UdpSocketTest, TruncatedDatagramsAreDropped) {
  auto a = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  auto b = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  ASSERT_TRUE(a && b);
  std::vector<uint8_t> big(100, 7), small{9};
  ASSERT_TRUE(a->sendTo(b->localAddress(), big));
  ASSERT_TRUE(a->sendTo(b->localAddress(), small));
  SocketPoller poller;
  std::vector<uint8_t> buf(10);
  Address from;
  auto n = receiveWithin(poller, *b, buf, from);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 1u);
  EXPECT_EQ(buf[0], 9);
}

TEST(SocketPollerTest, WakeInterruptsAWait) {
  auto s = UdpSocket::open(Address::loopback(AddressFamily::V4), 0, 0);
  ASSERT_TRUE(s);
  SocketPoller poller;
  auto start = std::chrono::steady_clock::now();
  std::thread waker([&] {
    std::this_thread::sleep_for(50ms);
    poller.wake();
  });
  auto ready = poller.wait({s.get()}, 20000ms);
  waker.join();
  EXPECT_TRUE(ready.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(InterfacesTest, LoopbackOnlyFilter) {
  InterfaceFilter filter;
  filter.loopbackOnly = true;
  auto list = enumerateInterfaces(filter);
  ASSERT_FALSE(list.empty());
  for (auto& a : list) EXPECT_TRUE(a.isLoopback()) << a.toString();
  InterfaceFilter v4;
  v4.loopbackOnly = true;
  v4.ipv6 = false;
  for (auto& a : enumerateInterfaces(v4)) EXPECT_EQ(a.family(), AddressFamily::V4);
  for (auto& a : enumerateInterfaces(InterfaceFilter{})) {
    EXPECT_FALSE(a.isLoopback());
    EXPECT_FALSE(a.isLinkLocal());
  }
}
