#include "Fingerprint.hpp"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace rtc::impl {

namespace {

const EVP_MD* digestByName(std::string_view name) {
    if (name == "sha-1")
        return EVP_sha1();
    if (name == "sha-224")
        return EVP_sha224();
    if (name == "sha-256")
        return EVP_sha256();
    if (name == "sha-384")
        return EVP_sha384();
    if (name == "sha-512")
        return EVP_sha512();
    return nullptr;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

} // namespace

Fingerprint::Fingerprint(std::string algorithm, std::vector<std::uint8_t> digest)
    : mAlgorithm(std::move(algorithm)), mDigest(std::move(digest)) {}

Fingerprint Fingerprint::parse(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && (isBlank(text.back()) || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    auto space = std::find_if(text.begin(), text.end(), isBlank);
    if (space == text.end())
        throw std::invalid_argument("Fingerprint has no hash function");
    std::string algorithm(text.begin(), space);
    std::transform(algorithm.begin(), algorithm.end(), algorithm.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const EVP_MD* md = digestByName(algorithm);
    if (!md)
        throw std::invalid_argument("Unsupported fingerprint hash function");
    std::string_view hex(&*space, static_cast<std::size_t>(text.end() - space));
    while (!hex.empty() && isBlank(hex.front()))
        hex.remove_prefix(1);

    const auto expected = static_cast<std::size_t>(EVP_MD_get_size(md));
    // Exactly "XX" followed by ":XX" for every further byte.
    if (hex.size() != expected * 3 - 1)
        throw std::invalid_argument("Fingerprint has the wrong length");
    std::vector<std::uint8_t> digest;
    digest.reserve(expected);
    for (std::size_t i = 0; i < expected; ++i) {
        std::size_t at = i * 3;
        if (i > 0 && hex[at - 1] != ':')
            throw std::invalid_argument("Fingerprint is malformed");
        int high = hexValue(hex[at]);
        int low = hexValue(hex[at + 1]);
        if (high < 0 || low < 0)
            throw std::invalid_argument("Fingerprint is malformed");
        digest.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return Fingerprint(std::move(algorithm), std::move(digest));
}

Fingerprint Fingerprint::of(X509* certificate, std::string_view algorithm) {
    const EVP_MD* md = digestByName(algorithm);
    if (!md || !certificate)
        throw std::invalid_argument("Unsupported fingerprint hash function");
    unsigned char buffer[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, md, buffer, &length) != 1)
        throw std::runtime_error("Certificate fingerprint could not be computed");
    return Fingerprint(std::string(algorithm), std::vector<std::uint8_t>(buffer, buffer + length));
}

std::string Fingerprint::hex() const {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(mDigest.size() * 3);
    for (std::size_t i = 0; i < mDigest.size(); ++i) {
        if (i > 0)
            out.push_back(':');
        out.push_back(digits[mDigest[i] >> 4]);
        out.push_back(digits[mDigest[i] & 0x0F]);
    }
    return out;
}

std::string Fingerprint::toString() const { return mAlgorithm + " " + hex(); }

} // namespace rtc::impl
