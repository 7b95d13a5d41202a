// Feeds arbitrary datagrams to the STUN decoder and its attribute readers.
#include "ice/StunMessage.hpp"
#include "ice/TurnClient.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

using namespace rtc::impl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> input(data, size);
  stun::classify(input);
  if (auto m = StunMessage::parse(input)) {
    m->getString(stun::kUsername);
    m->getString(stun::kRealm);
    m->getString(stun::kNonce);
    m->getString(stun::kSoftware);
    m->getUint32(stun::kPriority);
    m->getUint32(stun::kLifetime);
    m->getUint64(stun::kIceControlling);
    m->getUint64(stun::kIceControlled);
    for (uint16_t type : {stun::kMappedAddress, stun::kXorMappedAddress, stun::kXorPeerAddress, stun::kXorRelayedAddress})
      if (auto a = m->getAddress(type)) a->toString();
    m->getError();
    m->getUnknownAttributes();
    m->getChannelNumber();
    static const uint8_t key[] = {'k', 'e', 'y'};
    m->verifyIntegrity(input, key);
    // What decodes must encode again and decode to the same attributes.
    try {
      auto again = StunMessage::parse(m->encode());
      if (!again || again->attributes().size() != m->attributes().size()) __builtin_trap();
    } catch (const std::length_error&) {
      // the added FINGERPRINT can push a maximal message over the limit
    }
  }
  // The TURN client's view of a datagram from its server.
  TurnClient::Config config;
  config.server = Address::loopback(AddressFamily::V4, 3478);
  TurnClient client(config, [](std::span<const uint8_t>) {});
  TurnClient::PeerData out;
  client.handle(input, TurnClient::Clock::now(), out);
  return 0;
}
