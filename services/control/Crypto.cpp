#include "Crypto.hpp"

#include <array>
#include <ctime>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sodium.h>

namespace murel {
namespace {

void ensureSodium() {
    static const bool ready = sodium_init() >= 0;
    if (!ready) throw std::runtime_error("libsodium initialisation failed");
}

constexpr char kHex[] = "0123456789abcdef";

std::string toHex(const unsigned char* data, std::size_t size) {
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kHex[data[i] >> 4]);
        out.push_back(kHex[data[i] & 0x0F]);
    }
    return out;
}

}  // namespace

std::string randomToken(std::size_t bytes) {
    ensureSodium();
    std::string raw(bytes, '\0');
    randombytes_buf(raw.data(), raw.size());
    std::string out(sodium_base64_ENCODED_LEN(bytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(raw.data()),
                      raw.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    wipe(raw);
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}

std::string randomIdentifier(std::string_view prefix, std::size_t bytes) {
    ensureSodium();
    std::string raw(bytes, '\0');
    randombytes_buf(raw.data(), raw.size());
    return std::string(prefix) + toHex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

std::string sha256Hex(std::string_view text) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return toHex(digest.data(), size);
}

bool constantTimeEquals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string turnCredential(std::string_view secret, std::string_view username) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
    unsigned int size = 0;
    if (HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
             reinterpret_cast<const unsigned char*>(username.data()), username.size(), mac.data(),
             &size) == nullptr) {
        throw std::runtime_error("HMAC-SHA1 failed");
    }
    ensureSodium();
    std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), mac.data(), size, sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::char_traits<char>::length(out.c_str()));
    wipe(mac.data(), mac.size());
    return out;
}

std::string isoUtc(std::int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[32];
    const auto n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return std::string(buffer, n);
}

PasswordHasher::PasswordHasher()
    : PasswordHasher(crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE) {}

PasswordHasher::PasswordHasher(unsigned long long opsLimit, std::size_t memLimit)
    : opsLimit_(opsLimit), memLimit_(memLimit) {
    ensureSodium();
    if (opsLimit_ < crypto_pwhash_OPSLIMIT_MIN || memLimit_ < crypto_pwhash_MEMLIMIT_MIN) {
        throw std::invalid_argument("password hash limits below the algorithm minimum");
    }
    dummyHash_ = hash("murel-control dummy password");
}

std::string PasswordHasher::hash(std::string_view password) const {
    std::array<char, crypto_pwhash_STRBYTES> out{};
    if (crypto_pwhash_str_alg(out.data(), password.data(), password.size(), opsLimit_, memLimit_,
                              crypto_pwhash_ALG_ARGON2ID13) != 0) {
        throw std::runtime_error("password hashing ran out of memory");
    }
    return std::string(out.data());
}

bool PasswordHasher::verify(std::string_view encodedHash, std::string_view password) const {
    const std::string terminated(encodedHash);
    return crypto_pwhash_str_verify(terminated.c_str(), password.data(), password.size()) == 0;
}

void PasswordHasher::spendVerifyTime(std::string_view password) const {
    (void)verify(dummyHash_, password);
}

}  // namespace murel
