// STUN messages (RFC 8489) with the ICE and TURN attributes: encoding, strict decoding,
// message integrity and fingerprint.
#pragma once

#include "ice/Socket.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rtc::impl {

enum class StunClass : uint8_t {
    Request = 0,
    Indication = 1,
    SuccessResponse = 2,
    ErrorResponse = 3
};

namespace stun {
constexpr uint32_t kMagicCookie = 0x2112A442;
constexpr size_t kHeaderSize = 20;
constexpr size_t kMaxMessageSize = 65535;

// Methods.
constexpr uint16_t kBinding = 0x001;
constexpr uint16_t kAllocate = 0x003;
constexpr uint16_t kRefresh = 0x004;
constexpr uint16_t kSend = 0x006;
constexpr uint16_t kData = 0x007;
constexpr uint16_t kCreatePermission = 0x008;
constexpr uint16_t kChannelBind = 0x009;

// Attributes.
constexpr uint16_t kMappedAddress = 0x0001;
constexpr uint16_t kUsername = 0x0006;
constexpr uint16_t kMessageIntegrity = 0x0008;
constexpr uint16_t kErrorCode = 0x0009;
constexpr uint16_t kUnknownAttributes = 0x000A;
constexpr uint16_t kChannelNumber = 0x000C;
constexpr uint16_t kLifetime = 0x000D;
constexpr uint16_t kXorPeerAddress = 0x0012;
constexpr uint16_t kData_ = 0x0013;
constexpr uint16_t kRealm = 0x0014;
constexpr uint16_t kNonce = 0x0015;
constexpr uint16_t kXorRelayedAddress = 0x0016;
constexpr uint16_t kRequestedAddressFamily = 0x0017;
constexpr uint16_t kRequestedTransport = 0x0019;
constexpr uint16_t kMessageIntegritySha256 = 0x001C;
constexpr uint16_t kUserHash = 0x001E;
constexpr uint16_t kXorMappedAddress = 0x0020;
constexpr uint16_t kPriority = 0x0024;
constexpr uint16_t kUseCandidate = 0x0025;
constexpr uint16_t kPasswordAlgorithms = 0x8002;
constexpr uint16_t kAlternateDomain = 0x8003;
constexpr uint16_t kSoftware = 0x8022;
constexpr uint16_t kAlternateServer = 0x8023;
constexpr uint16_t kFingerprint = 0x8028;
constexpr uint16_t kIceControlled = 0x8029;
constexpr uint16_t kIceControlling = 0x802A;

// Lengths the protocol bounds.
constexpr size_t kMaxUsername = 513;
constexpr size_t kMaxRealm = 763;
constexpr size_t kMaxNonce = 763;
constexpr size_t kMaxSoftware = 763;
constexpr size_t kMaxReason = 763;

// Which first bytes belong to which protocol on a shared socket (RFC 7983).
enum class PacketKind { Stun, ChannelData, Dtls, Rtp, Unknown };
PacketKind classify(std::span<const uint8_t> datagram);
}  // namespace stun

using TransactionId = std::array<uint8_t, 12>;

struct StunAttribute {
    uint16_t type = 0;
    std::vector<uint8_t> value;
};

struct StunError {
    int code = 0;
    std::string reason;
};

class StunMessage {
public:
    StunMessage() = default;
    StunMessage(StunClass cls, uint16_t method);  // random transaction id
    StunMessage(StunClass cls, uint16_t method, const TransactionId& id);

    // Strict decode: every length is checked, attributes after MESSAGE-INTEGRITY other than
    // MESSAGE-INTEGRITY-SHA256 and FINGERPRINT are ignored, nothing may follow FINGERPRINT, and a
    // FINGERPRINT that is present must be correct.
    static std::optional<StunMessage> parse(std::span<const uint8_t> data);
    // Cheap header check: two zero top bits, magic cookie, length matching and a multiple of four.
    static bool looksLikeStun(std::span<const uint8_t> data);

    StunClass messageClass() const { return class_; }
    uint16_t method() const { return method_; }
    const TransactionId& transactionId() const { return transactionId_; }
    bool isRequest() const { return class_ == StunClass::Request; }
    bool isResponse() const {
        return class_ == StunClass::SuccessResponse || class_ == StunClass::ErrorResponse;
    }

    // Attributes in message order, without MESSAGE-INTEGRITY(-SHA256) and FINGERPRINT, which
    // encode() computes.
    const std::vector<StunAttribute>& attributes() const { return attributes_; }
    const StunAttribute* find(uint16_t type) const;
    bool has(uint16_t type) const { return find(type) != nullptr; }
    // Comprehension-required attribute types this decoder does not know.
    const std::vector<uint16_t>& unknownRequired() const { return unknownRequired_; }

    void add(uint16_t type, std::span<const uint8_t> value);
    void addString(uint16_t type, std::string_view value);
    void addUint32(uint16_t type, uint32_t value);
    void addUint64(uint16_t type, uint64_t value);
    void addFlag(uint16_t type) { add(type, {}); }
    // XOR-encoded for the XOR-* types, plain otherwise.
    void addAddress(uint16_t type, const Address& address);
    void addError(int code, std::string_view reason);
    void addUnknownAttributes(std::span<const uint16_t> types);
    void addChannelNumber(uint16_t channel);
    void addRequestedTransportUdp();

    std::optional<std::string> getString(uint16_t type) const;
    std::optional<uint32_t> getUint32(uint16_t type) const;
    std::optional<uint64_t> getUint64(uint16_t type) const;
    std::optional<Address> getAddress(uint16_t type) const;
    std::optional<StunError> getError() const;
    std::vector<uint16_t> getUnknownAttributes() const;
    std::optional<uint16_t> getChannelNumber() const;

    enum class Integrity { None, Sha1, Sha256 };
    struct EncodeOptions {
        Integrity integrity = Integrity::None;
        std::span<const uint8_t> key;  // short-term: the password; long-term: longTermKey()
        bool fingerprint = true;
    };
    std::vector<uint8_t> encode(const EncodeOptions& options) const;
    std::vector<uint8_t> encode() const { return encode(EncodeOptions{}); }

    // Integrity of a parsed message, checked against its raw bytes.
    bool hasIntegrity() const { return integrityOffset_ != 0 || integrity256Offset_ != 0; }
    bool verifyIntegrity(std::span<const uint8_t> raw, std::span<const uint8_t> key) const;
    bool hasFingerprint() const { return fingerprintPresent_; }

private:
    StunClass class_ = StunClass::Request;
    uint16_t method_ = 0;
    TransactionId transactionId_{};
    std::vector<StunAttribute> attributes_;
    std::vector<uint16_t> unknownRequired_;
    size_t integrityOffset_ = 0;     // offset of the MESSAGE-INTEGRITY attribute header, 0 if none
    size_t integrity256Offset_ = 0;  // same for MESSAGE-INTEGRITY-SHA256
    size_t integrity256Length_ = 0;
    bool fingerprintPresent_ = false;
};

TransactionId randomTransactionId();
// MD5(username ":" realm ":" password), the long-term credential key.
std::vector<uint8_t> longTermKey(std::string_view username, std::string_view realm,
                                 std::string_view password);
uint32_t crc32(std::span<const uint8_t> data);
void secureWipe(std::string& s);
void secureWipe(std::vector<uint8_t>& v);

}  // namespace rtc::impl
