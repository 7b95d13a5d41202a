// STUN encoding and decoding, checked against the RFC 5769 sample messages.
#include "ice/StunMessage.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace rtc::impl;

namespace {

std::vector<uint8_t> hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

std::span<const uint8_t> bytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

const std::string kPassword = "VOkJxbRl1RmTxUk/WvJxBt";

// RFC 5769 2.1: request with short-term credentials, SOFTWARE, PRIORITY, ICE-CONTROLLED, FINGERPRINT.
const std::vector<uint8_t> kSampleRequest = hex(
    "0001 0058 2112a442 b7e7a701 bc34d686 fa87dfae"
    "8022 0010 5354554e 20746573 7420636c 69656e74"
    "0024 0004 6e0001ff"
    "8029 0008 932ff9b1 51263b36"
    "0006 0009 6576746a 3a683676 59202020"
    "0008 0014 9aeaa70c bfd8cb56 781ef2b5 b2d3f249 c1b571a2"
    "8028 0004 e57a3bcf");

// RFC 5769 2.2: IPv4 success response.
const std::vector<uint8_t> kSampleIpv4Response = hex(
    "0101 003c 2112a442 b7e7a701 bc34d686 fa87dfae"
    "8022 000b 74657374 20766563 746f7220"
    "0020 0008 0001a147 e112a643"
    "0008 0014 2b91f599 fd9e90c3 8c7489f9 2af9ba53 f06be7d7"
    "8028 0004 c07d4c96");

// RFC 5769 2.3: IPv6 success response.
const std::vector<uint8_t> kSampleIpv6Response = hex(
    "0101 0048 2112a442 b7e7a701 bc34d686 fa87dfae"
    "8022 000b 74657374 20766563 746f7220"
    "0020 0014 0002a147 0113a9fa a5d3f179 bc25f4b5 bed2b9d9"
    "0008 0014 a382954e 4be67bf1 1784c97c 8292c275 bfe3ed41"
    "8028 0004 c8fb0b4c");

// RFC 5769 2.4: request with long-term credentials (no FINGERPRINT).
const std::vector<uint8_t> kSampleLongTermRequest = hex(
    "0001 0060 2112a442 78ad3433 c6ad72c0 29da412e"
    "0006 0012 e3839ee3 8388e383 aae38383 e382afe3 82b90000"
    "0015 001c 662f2f34 39396b39 35346436 4f4c3334 6f4c3946 53547679 36347341"
    "0014 000b 6578616d 706c652e 6f726700"
    "0008 0014 f6702465 6dd64a3e 02b8e071 2e85c9a2 8ca89666");

}  // namespace

TEST(StunVectors, SampleRequestDecodesAndAuthenticates) {
  auto m = StunMessage::parse(kSampleRequest);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->messageClass(), StunClass::Request);
  EXPECT_EQ(m->method(), stun::kBinding);
  EXPECT_EQ(m->getString(stun::kSoftware), "STUN test client");
  EXPECT_EQ(m->getString(stun::kUsername), "evtj:h6vY");
  EXPECT_EQ(m->getUint32(stun::kPriority), 0x6e0001ffu);
  EXPECT_EQ(m->getUint64(stun::kIceControlled), 0x932ff9b151263b36ull);
  EXPECT_TRUE(m->hasFingerprint());
  EXPECT_TRUE(m->verifyIntegrity(kSampleRequest, bytes(kPassword)));
  EXPECT_FALSE(m->verifyIntegrity(kSampleRequest, bytes("VOkJxbRl1RmTxUk/WvJxBT")));
}

TEST(StunVectors, SampleResponsesCarryTheMappedAddress) {
  auto v4 = StunMessage::parse(kSampleIpv4Response);
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->messageClass(), StunClass::SuccessResponse);
  EXPECT_EQ(v4->getString(stun::kSoftware), "test vector");
  EXPECT_EQ(v4->getAddress(stun::kXorMappedAddress)->toString(), "192.0.2.1:32853");
  EXPECT_TRUE(v4->verifyIntegrity(kSampleIpv4Response, bytes(kPassword)));

  auto v6 = StunMessage::parse(kSampleIpv6Response);
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->getAddress(stun::kXorMappedAddress)->toString(), "[2001:db8:1234:5678:11:2233:4455:6677]:32853");
  EXPECT_TRUE(v6->verifyIntegrity(kSampleIpv6Response, bytes(kPassword)));
}

TEST(StunVectors, LongTermCredentialKey) {
  auto m = StunMessage::parse(kSampleLongTermRequest);
  ASSERT_TRUE(m);
  EXPECT_FALSE(m->hasFingerprint());
  EXPECT_EQ(m->getString(stun::kNonce), "f//499k954d6OL34oL9FSTvy64sA");
  EXPECT_EQ(m->getString(stun::kRealm), "example.org");
  std::string user = "\xe3\x83\x9e\xe3\x83\x88\xe3\x83\xaa\xe3\x83\x83\xe3\x82\xaf\xe3\x82\xb9";
  EXPECT_EQ(m->getString(stun::kUsername), user);
  // The password after SASLprep of "The M<U+00AA>tr<U+2168>".
  auto key = longTermKey(user, "example.org", "TheMatrIX");
  EXPECT_TRUE(m->verifyIntegrity(kSampleLongTermRequest, key));
  EXPECT_FALSE(m->verifyIntegrity(kSampleLongTermRequest, longTermKey(user, "example.org", "TheMatrix")));
}

TEST(StunVectors, EncoderReproducesTheXorAddressesAndAuthenticatesItsOwnOutput) {
  TransactionId id{0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};
  for (auto* sample : {&kSampleIpv4Response, &kSampleIpv6Response}) {
    auto parsed = StunMessage::parse(*sample);
    ASSERT_TRUE(parsed);
    StunMessage m(StunClass::SuccessResponse, stun::kBinding, id);
    m.addString(stun::kSoftware, "test vector");
    m.addAddress(stun::kXorMappedAddress, *parsed->getAddress(stun::kXorMappedAddress));
    StunMessage::EncodeOptions options;
    options.integrity = StunMessage::Integrity::Sha1;
    options.key = bytes(kPassword);
    auto out = m.encode(options);
    // Same header and length; the samples pad SOFTWARE with spaces where we pad with zeros.
    ASSERT_EQ(out.size(), sample->size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 20, sample->begin()));
    EXPECT_TRUE(std::equal(out.begin() + 36, out.end() - 32, sample->begin() + 36));  // XOR-MAPPED-ADDRESS
    auto back = StunMessage::parse(out);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->verifyIntegrity(out, bytes(kPassword)));
    EXPECT_EQ(back->getAddress(stun::kXorMappedAddress), parsed->getAddress(stun::kXorMappedAddress));
  }
}

TEST(StunParse, AnySingleByteChangeIsRejectedOrFailsAuthentication) {
  for (size_t i = 0; i < kSampleRequest.size(); ++i) {
    for (uint8_t flip : {0x01, 0x80}) {
      auto copy = kSampleRequest;
      copy[i] ^= flip;
      auto m = StunMessage::parse(copy);
      if (m) {
        EXPECT_FALSE(m->verifyIntegrity(copy, bytes(kPassword)) && m->hasFingerprint()) << "byte " << i;
      }
    }
  }
}

TEST(StunParse, LengthsAreCheckedStrictly) {
  // Every truncation fails.
  for (size_t n = 0; n < kSampleRequest.size(); ++n)
    EXPECT_FALSE(StunMessage::parse(std::span(kSampleRequest.data(), n))) << n;
  // An attribute whose length runs past the message.
  auto overrun = hex("0001 0008 2112a442 000000000000000000000000 0006 0005 61626364");
  EXPECT_FALSE(StunMessage::parse(overrun));
  // Header length not a multiple of four, or not matching the datagram.
  auto odd = hex("0001 0003 2112a442 000000000000000000000000 000000");
  EXPECT_FALSE(StunMessage::parse(odd));
  auto extra = hex("0001 0000 2112a442 000000000000000000000000 00000000");
  EXPECT_FALSE(StunMessage::parse(extra));
  // Wrong magic cookie, top bits set.
  auto cookie = hex("0001 0000 2112a443 000000000000000000000000");
  EXPECT_FALSE(StunMessage::parse(cookie));
  auto top = hex("4001 0000 2112a442 000000000000000000000000");
  EXPECT_FALSE(StunMessage::parse(top));
  // Malformed fixed-size attributes parse, but their getters refuse them.
  auto shortPriority = hex("0001 0008 2112a442 000000000000000000000000 0024 0002 00010000");
  auto m = StunMessage::parse(shortPriority);
  ASSERT_TRUE(m);
  EXPECT_FALSE(m->getUint32(stun::kPriority));
  auto badFamily = hex("0101 000c 2112a442 000000000000000000000000 0020 0008 0003a147 e112a643");
  m = StunMessage::parse(badFamily);
  ASSERT_TRUE(m);
  EXPECT_FALSE(m->getAddress(stun::kXorMappedAddress));
  auto v6Short = hex("0101 000c 2112a442 000000000000000000000000 0020 0008 0002a147 e112a643");
  m = StunMessage::parse(v6Short);
  ASSERT_TRUE(m);
  EXPECT_FALSE(m->getAddress(stun::kXorMappedAddress));
}

TEST(StunParse, FingerprintMustBeLastAndCorrect) {
  StunMessage m(StunClass::Request, stun::kBinding);
  m.addString(stun::kSoftware, "x");
  auto out = m.encode();
  ASSERT_TRUE(StunMessage::parse(out));
  auto wrong = out;
  wrong.back() ^= 1;
  EXPECT_FALSE(StunMessage::parse(wrong));
  // An attribute after FINGERPRINT.
  auto after = out;
  for (uint8_t b : {0x80, 0x22, 0x00, 0x00}) after.push_back(b);
  after[3] = uint8_t(after[3] + 4);
  EXPECT_FALSE(StunMessage::parse(after));
}

TEST(StunParse, AttributesAfterIntegrityAreIgnored) {
  StunMessage m(StunClass::Request, stun::kBinding);
  m.addString(stun::kUsername, "a:b");
  StunMessage::EncodeOptions options;
  options.integrity = StunMessage::Integrity::Sha1;
  options.key = bytes("secret");
  options.fingerprint = false;
  auto out = m.encode(options);
  // Append a PRIORITY after MESSAGE-INTEGRITY: it must not be visible, and integrity still holds.
  for (uint8_t b : {0x00, 0x24, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04}) out.push_back(b);
  out[3] = uint8_t(out[3] + 8);
  auto parsed = StunMessage::parse(out);
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(parsed->has(stun::kPriority));
  EXPECT_TRUE(parsed->verifyIntegrity(out, bytes("secret")));
}

TEST(StunEncode, Sha256IntegrityRoundTrips) {
  StunMessage m(StunClass::Request, stun::kBinding);
  m.addString(stun::kUsername, "user:frag");
  StunMessage::EncodeOptions options;
  options.integrity = StunMessage::Integrity::Sha256;
  options.key = bytes("pw");
  auto out = m.encode(options);
  auto parsed = StunMessage::parse(out);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->verifyIntegrity(out, bytes("pw")));
  EXPECT_FALSE(parsed->verifyIntegrity(out, bytes("pW")));
}

TEST(StunEncode, MessageTypesOfTurnMethods) {
  TransactionId id{};
  auto type = [&](StunClass c, uint16_t method) {
    auto out = StunMessage(c, method, id).encode(StunMessage::EncodeOptions{{}, {}, false});
    return (out[0] << 8) | out[1];
  };
  EXPECT_EQ(type(StunClass::Request, stun::kAllocate), 0x0003);
  EXPECT_EQ(type(StunClass::ErrorResponse, stun::kAllocate), 0x0113);
  EXPECT_EQ(type(StunClass::SuccessResponse, stun::kChannelBind), 0x0109);
  EXPECT_EQ(type(StunClass::Indication, stun::kSend), 0x0016);
  EXPECT_EQ(type(StunClass::Indication, stun::kData), 0x0017);
  EXPECT_EQ(type(StunClass::SuccessResponse, stun::kCreatePermission), 0x0108);
  for (auto c : {StunClass::Request, StunClass::Indication, StunClass::SuccessResponse, StunClass::ErrorResponse}) {
    for (uint16_t method : {stun::kBinding, stun::kRefresh, stun::kChannelBind, uint16_t(0x0FFF)}) {
      auto parsed = StunMessage::parse(StunMessage(c, method, id).encode());
      ASSERT_TRUE(parsed);
      EXPECT_EQ(parsed->messageClass(), c);
      EXPECT_EQ(parsed->method(), method);
    }
  }
}

TEST(StunAttributes, ErrorCodesUnknownAttributesAndTurnFields) {
  StunMessage m(StunClass::ErrorResponse, stun::kBinding);
  m.addError(487, "Role Conflict");
  std::vector<uint16_t> unknown{0x7777, 0x0042};
  m.addUnknownAttributes(unknown);
  m.addChannelNumber(0x4001);
  m.addUint32(stun::kLifetime, 600);
  auto peer = Address::fromString("2001:db8::7", 5000);
  m.addAddress(stun::kXorPeerAddress, *peer);
  m.addRequestedTransportUdp();
  auto parsed = StunMessage::parse(m.encode());
  ASSERT_TRUE(parsed);
  auto error = parsed->getError();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 487);
  EXPECT_EQ(error->reason, "Role Conflict");
  EXPECT_EQ(parsed->getUnknownAttributes(), unknown);
  EXPECT_EQ(parsed->getChannelNumber(), 0x4001);
  EXPECT_EQ(parsed->getUint32(stun::kLifetime), 600u);
  EXPECT_EQ(parsed->getAddress(stun::kXorPeerAddress), peer);
  EXPECT_EQ(parsed->find(stun::kRequestedTransport)->value[0], 17);

  auto badClass = hex("0111 0008 2112a442 000000000000000000000000 0009 0004 00000201");
  auto bad = StunMessage::parse(badClass);
  ASSERT_TRUE(bad);
  EXPECT_FALSE(bad->getError());  // class 2 is not an error class
}

TEST(StunAttributes, UnknownComprehensionRequiredAttributesAreReported) {
  auto raw = hex("0001 0010 2112a442 000000000000000000000000 7777 0000 c001 0000 0025 0000 0024 0000");
  auto m = StunMessage::parse(raw);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->unknownRequired(), std::vector<uint16_t>{0x7777});
}

TEST(StunAttributes, OverlongStringsAreRefused) {
  StunMessage m(StunClass::Request, stun::kBinding);
  m.addString(stun::kUsername, std::string(514, 'u'));
  m.addString(stun::kRealm, std::string(763, 'r'));
  auto parsed = StunMessage::parse(m.encode());
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(parsed->getString(stun::kUsername));
  EXPECT_TRUE(parsed->getString(stun::kRealm));
}

TEST(StunDemux, FirstByteRanges) {
  auto kind = [](uint8_t b) {
    uint8_t d[1] = {b};
    return stun::classify(d);
  };
  EXPECT_EQ(kind(0), stun::PacketKind::Stun);
  EXPECT_EQ(kind(3), stun::PacketKind::Stun);
  EXPECT_EQ(kind(4), stun::PacketKind::Unknown);
  EXPECT_EQ(kind(20), stun::PacketKind::Dtls);
  EXPECT_EQ(kind(63), stun::PacketKind::Dtls);
  EXPECT_EQ(kind(64), stun::PacketKind::ChannelData);
  EXPECT_EQ(kind(79), stun::PacketKind::ChannelData);
  EXPECT_EQ(kind(128), stun::PacketKind::Rtp);
  EXPECT_EQ(kind(191), stun::PacketKind::Rtp);
  EXPECT_EQ(kind(192), stun::PacketKind::Unknown);
  EXPECT_EQ(stun::classify({}), stun::PacketKind::Unknown);
}
