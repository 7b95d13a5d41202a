#include "ice/StunMessage.hpp"

#include "common/ByteOrder.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace rtc::impl {
namespace {

constexpr uint32_t kFingerprintXor = 0x5354554e;
constexpr size_t kMaxAttributes = 128;

uint16_t encodeType(StunClass cls, uint16_t method) {
    uint16_t c = static_cast<uint16_t>(cls);
    return static_cast<uint16_t>((method & 0x000F) | ((method & 0x0070) << 1) |
                                 ((method & 0x0F80) << 2) | ((c & 1) << 4) | ((c & 2) << 7));
}

bool isXorAddress(uint16_t type) {
    return type == stun::kXorMappedAddress || type == stun::kXorPeerAddress ||
           type == stun::kXorRelayedAddress;
}

bool isKnownRequired(uint16_t type) {
    switch (type) {
        case stun::kMappedAddress:
        case stun::kUsername:
        case stun::kMessageIntegrity:
        case stun::kErrorCode:
        case stun::kUnknownAttributes:
        case stun::kChannelNumber:
        case stun::kLifetime:
        case stun::kXorPeerAddress:
        case stun::kData_:
        case stun::kRealm:
        case stun::kNonce:
        case stun::kXorRelayedAddress:
        case stun::kRequestedAddressFamily:
        case 0x0018 /* EVEN-PORT */:
        case stun::kRequestedTransport:
        case 0x001A /* DONT-FRAGMENT */:
        case stun::kMessageIntegritySha256:
        case 0x001D /* PASSWORD-ALGORITHM */:
        case stun::kUserHash:
        case stun::kXorMappedAddress:
        case 0x0022 /* RESERVATION-TOKEN */:
        case stun::kPriority:
        case stun::kUseCandidate:
            return true;
        default:
            return false;
    }
}

size_t maxStringLength(uint16_t type) {
    switch (type) {
        case stun::kUsername:
            return stun::kMaxUsername;
        case stun::kRealm:
            return stun::kMaxRealm;
        case stun::kNonce:
            return stun::kMaxNonce;
        case stun::kSoftware:
            return stun::kMaxSoftware;
        default:
            return stun::kMaxMessageSize;
    }
}

std::vector<uint8_t> hmac(const EVP_MD* md, std::span<const uint8_t> key,
                          std::span<const uint8_t> data) {
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    static const uint8_t empty = 0;
    if (HMAC(md, key.empty() ? &empty : key.data(), static_cast<int>(key.size()), data.data(),
             data.size(), out.data(), &len) == nullptr)
        throw std::runtime_error("HMAC failed");
    out.resize(len);
    return out;
}

// XOR-MAPPED-ADDRESS and kin: the port is XORed with the cookie's high half, the IP with the
// cookie followed by the transaction id.
std::array<uint8_t, 16> xorAddressMask(const TransactionId& transactionId) {
    std::array<uint8_t, 16> mask{};
    writeU32(mask.data(), stun::kMagicCookie);
    std::copy(transactionId.begin(), transactionId.end(), mask.begin() + 4);
    return mask;
}

}  // namespace

namespace stun {
PacketKind classify(std::span<const uint8_t> d) {
    if (d.empty()) return PacketKind::Unknown;
    uint8_t b = d[0];
    if (b <= 3) return PacketKind::Stun;
    if (b >= 20 && b <= 63) return PacketKind::Dtls;
    if (b >= 64 && b <= 79) return PacketKind::ChannelData;
    if (b >= 128 && b <= 191) return PacketKind::Rtp;
    return PacketKind::Unknown;
}
}  // namespace stun

TransactionId randomTransactionId() {
    TransactionId id;
    if (RAND_bytes(id.data(), static_cast<int>(id.size())) != 1)
        throw std::runtime_error("RAND_bytes failed");
    return id;
}

uint32_t crc32(std::span<const uint8_t> data) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> longTermKey(std::string_view username, std::string_view realm,
                                 std::string_view password) {
    std::string input;
    input.reserve(username.size() + realm.size() + password.size() + 2);
    input.append(username).append(":").append(realm).append(":").append(password);
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    int ok = EVP_Digest(input.data(), input.size(), out.data(), &len, EVP_md5(), nullptr);
    secureWipe(input);
    if (ok != 1) throw std::runtime_error("MD5 unavailable");
    out.resize(len);
    return out;
}

void secureWipe(std::string& s) {
    if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
    s.clear();
}

void secureWipe(std::vector<uint8_t>& v) {
    if (!v.empty()) OPENSSL_cleanse(v.data(), v.size());
    v.clear();
}

StunMessage::StunMessage(StunClass cls, uint16_t method)
    : StunMessage(cls, method, randomTransactionId()) {}

StunMessage::StunMessage(StunClass cls, uint16_t method, const TransactionId& id)
    : class_(cls), method_(static_cast<uint16_t>(method & 0x0FFF)), transactionId_(id) {}

bool StunMessage::looksLikeStun(std::span<const uint8_t> d) {
    if (d.size() < stun::kHeaderSize || (d[0] & 0xC0) != 0) return false;
    size_t length = readU16(d.data() + 2);
    return length % 4 == 0 && length + stun::kHeaderSize == d.size() &&
           readU32(d.data() + 4) == stun::kMagicCookie;
}

std::optional<StunMessage> StunMessage::parse(std::span<const uint8_t> d) {
    if (!looksLikeStun(d)) return std::nullopt;
    StunMessage m;
    uint16_t type = readU16(d.data());
    m.method_ =
        static_cast<uint16_t>((type & 0x000F) | ((type >> 1) & 0x0070) | ((type >> 2) & 0x0F80));
    m.class_ = static_cast<StunClass>(((type >> 4) & 1) | ((type >> 7) & 2));
    std::copy(d.begin() + 8, d.begin() + 20, m.transactionId_.begin());

    size_t pos = stun::kHeaderSize;
    size_t count = 0;
    bool afterIntegrity = false;
    while (pos < d.size()) {
        if (m.fingerprintPresent_) return std::nullopt;  // FINGERPRINT must be last
        if (d.size() - pos < 4 || ++count > kMaxAttributes) return std::nullopt;
        uint16_t atype = readU16(d.data() + pos);
        size_t alen = readU16(d.data() + pos + 2);
        size_t padded = (alen + 3) & ~size_t(3);
        if (padded > d.size() - pos - 4) return std::nullopt;
        const uint8_t* value = d.data() + pos + 4;

        if (atype == stun::kFingerprint) {
            if (alen != 4) return std::nullopt;
            uint32_t expected = crc32(d.first(pos)) ^ kFingerprintXor;
            if (readU32(value) != expected) return std::nullopt;
            m.fingerprintPresent_ = true;
        } else if (atype == stun::kMessageIntegrity) {
            if (alen != 20) return std::nullopt;
            if (!afterIntegrity) m.integrityOffset_ = pos;
            afterIntegrity = true;
        } else if (atype == stun::kMessageIntegritySha256) {
            if (alen < 16 || alen > 32 || alen % 4 != 0) return std::nullopt;
            if (m.integrity256Offset_ == 0) {
                m.integrity256Offset_ = pos;
                m.integrity256Length_ = alen;
            }
            afterIntegrity = true;
        } else if (!afterIntegrity) {
            if (atype < 0x8000 && !isKnownRequired(atype)) m.unknownRequired_.push_back(atype);
            m.attributes_.push_back({atype, std::vector<uint8_t>(value, value + alen)});
        }
        pos += 4 + padded;
    }
    return m;
}

const StunAttribute* StunMessage::find(uint16_t type) const {
    for (auto& a : attributes_)
        if (a.type == type) return &a;
    return nullptr;
}

void StunMessage::add(uint16_t type, std::span<const uint8_t> value) {
    if (value.size() > 0xFFFF) throw std::invalid_argument("STUN attribute too long");
    attributes_.push_back({type, std::vector<uint8_t>(value.begin(), value.end())});
}

void StunMessage::addString(uint16_t type, std::string_view value) {
    add(type, {reinterpret_cast<const uint8_t*>(value.data()), value.size()});
}

void StunMessage::addUint32(uint16_t type, uint32_t value) {
    std::vector<uint8_t> v;
    appendU32(v, value);
    add(type, v);
}

void StunMessage::addUint64(uint16_t type, uint64_t value) {
    std::vector<uint8_t> v;
    appendU64(v, value);
    add(type, v);
}

void StunMessage::addAddress(uint16_t type, const Address& address) {
    if (!address.isValid())
        throw std::invalid_argument("STUN address attribute without an address");
    std::vector<uint8_t> v;
    v.push_back(0);
    v.push_back(address.family() == AddressFamily::V4 ? 0x01 : 0x02);
    uint16_t port = address.port();
    auto bytes = address.bytes();
    std::vector<uint8_t> ip(bytes.begin(), bytes.end());
    if (isXorAddress(type)) {
        port ^= uint16_t(stun::kMagicCookie >> 16);
        const auto mask = xorAddressMask(transactionId_);
        for (size_t i = 0; i < ip.size(); ++i) ip[i] ^= mask[i];
    }
    appendU16(v, port);
    v.insert(v.end(), ip.begin(), ip.end());
    add(type, v);
}

void StunMessage::addError(int code, std::string_view reason) {
    if (code < 300 || code > 699) throw std::invalid_argument("STUN error code out of range");
    std::vector<uint8_t> v{0, 0, uint8_t(code / 100), uint8_t(code % 100)};
    v.insert(v.end(), reason.begin(), reason.begin() + std::min(reason.size(), stun::kMaxReason));
    add(stun::kErrorCode, v);
}

void StunMessage::addUnknownAttributes(std::span<const uint16_t> types) {
    std::vector<uint8_t> v;
    for (uint16_t t : types) appendU16(v, t);
    add(stun::kUnknownAttributes, v);
}

void StunMessage::addChannelNumber(uint16_t channel) {
    std::vector<uint8_t> v;
    appendU16(v, channel);
    appendU16(v, 0);
    add(stun::kChannelNumber, v);
}

void StunMessage::addRequestedTransportUdp() {
    std::vector<uint8_t> v{17, 0, 0, 0};
    add(stun::kRequestedTransport, v);
}

std::optional<std::string> StunMessage::getString(uint16_t type) const {
    auto* a = find(type);
    if (a == nullptr || a->value.size() > maxStringLength(type)) return std::nullopt;
    return std::string(a->value.begin(), a->value.end());
}

std::optional<uint32_t> StunMessage::getUint32(uint16_t type) const {
    auto* a = find(type);
    if (a == nullptr || a->value.size() != 4) return std::nullopt;
    return readU32(a->value.data());
}

std::optional<uint64_t> StunMessage::getUint64(uint16_t type) const {
    auto* a = find(type);
    if (a == nullptr || a->value.size() != 8) return std::nullopt;
    return readU64(a->value.data());
}

std::optional<Address> StunMessage::getAddress(uint16_t type) const {
    auto* a = find(type);
    if (a == nullptr || a->value.size() < 4) return std::nullopt;
    const auto& v = a->value;
    uint8_t family = v[1];
    size_t ipLen = family == 0x01 ? 4 : family == 0x02 ? 16 : 0;
    if (ipLen == 0 || v.size() != 4 + ipLen) return std::nullopt;
    uint16_t port = readU16(v.data() + 2);
    uint8_t ip[16];
    std::copy(v.begin() + 4, v.end(), ip);
    if (isXorAddress(type)) {
        port ^= uint16_t(stun::kMagicCookie >> 16);
        const auto mask = xorAddressMask(transactionId_);
        for (size_t i = 0; i < ipLen; ++i) ip[i] ^= mask[i];
    }
    return Address::fromBytes({ip, ipLen}, port);
}

std::optional<StunError> StunMessage::getError() const {
    auto* a = find(stun::kErrorCode);
    if (a == nullptr || a->value.size() < 4 || a->value.size() > 4 + stun::kMaxReason)
        return std::nullopt;
    int cls = a->value[2] & 0x07;
    int number = a->value[3];
    if (cls < 3 || cls > 6 || number > 99) return std::nullopt;
    return StunError{cls * 100 + number, std::string(a->value.begin() + 4, a->value.end())};
}

std::vector<uint16_t> StunMessage::getUnknownAttributes() const {
    std::vector<uint16_t> out;
    auto* a = find(stun::kUnknownAttributes);
    if (a == nullptr || a->value.size() % 2 != 0) return out;
    for (size_t i = 0; i + 1 < a->value.size(); i += 2) out.push_back(readU16(a->value.data() + i));
    return out;
}

std::optional<uint16_t> StunMessage::getChannelNumber() const {
    auto* a = find(stun::kChannelNumber);
    if (a == nullptr || a->value.size() != 4) return std::nullopt;
    return readU16(a->value.data());
}

std::vector<uint8_t> StunMessage::encode(const EncodeOptions& options) const {
    std::vector<uint8_t> out;
    out.reserve(stun::kHeaderSize + 64);
    appendU16(out, encodeType(class_, method_));
    appendU16(out, 0);
    appendU32(out, stun::kMagicCookie);
    out.insert(out.end(), transactionId_.begin(), transactionId_.end());
    for (auto& a : attributes_) {
        appendU16(out, a.type);
        appendU16(out, static_cast<uint16_t>(a.value.size()));
        out.insert(out.end(), a.value.begin(), a.value.end());
        out.resize((out.size() + 3) & ~size_t(3), 0);
    }
    if (options.integrity != Integrity::None) {
        bool sha256 = options.integrity == Integrity::Sha256;
        size_t macLen = sha256 ? 32 : 20;
        if (out.size() + 4 + macLen - stun::kHeaderSize > stun::kMaxMessageSize)
            throw std::length_error("STUN message too long");
        writeU16(out.data() + 2, static_cast<uint16_t>(out.size() + 4 + macLen - stun::kHeaderSize));
        auto mac = hmac(sha256 ? EVP_sha256() : EVP_sha1(), options.key, out);
        appendU16(out, sha256 ? stun::kMessageIntegritySha256 : stun::kMessageIntegrity);
        appendU16(out, static_cast<uint16_t>(macLen));
        out.insert(out.end(), mac.begin(), mac.begin() + macLen);
    }
    if (options.fingerprint) {
        if (out.size() + 8 - stun::kHeaderSize > stun::kMaxMessageSize)
            throw std::length_error("STUN message too long");
        writeU16(out.data() + 2, static_cast<uint16_t>(out.size() + 8 - stun::kHeaderSize));
        uint32_t fp = crc32(out) ^ kFingerprintXor;
        appendU16(out, stun::kFingerprint);
        appendU16(out, 4);
        appendU32(out, fp);
    }
    if (out.size() - stun::kHeaderSize > stun::kMaxMessageSize)
        throw std::length_error("STUN message too long");
    writeU16(out.data() + 2, static_cast<uint16_t>(out.size() - stun::kHeaderSize));
    return out;
}

bool StunMessage::verifyIntegrity(std::span<const uint8_t> raw,
                                  std::span<const uint8_t> key) const {
    size_t offset = integrityOffset_ != 0 ? integrityOffset_ : integrity256Offset_;
    size_t macLen = integrityOffset_ != 0 ? 20 : integrity256Length_;
    if (offset == 0 || offset + 4 + macLen > raw.size()) return false;
    std::vector<uint8_t> covered(raw.begin(), raw.begin() + offset);
    writeU16(covered.data() + 2, static_cast<uint16_t>(offset + 4 + macLen - stun::kHeaderSize));
    auto mac = hmac(integrityOffset_ != 0 ? EVP_sha1() : EVP_sha256(), key, covered);
    if (mac.size() < macLen) return false;
    return CRYPTO_memcmp(mac.data(), raw.data() + offset + 4, macLen) == 0;
}

}  // namespace rtc::impl
