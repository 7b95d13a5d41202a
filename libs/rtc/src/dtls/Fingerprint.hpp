#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rtc::impl {

// A certificate fingerprint as carried in SDP: "sha-256 AB:CD:...".
class Fingerprint {
public:
    Fingerprint() = default;
    Fingerprint(std::string algorithm, std::vector<std::uint8_t> digest);

    // Parses "<hash-func> <hex pairs separated by colons>" (the value of a=fingerprint). The hash
    // name is case-insensitive and must be one of sha-1, sha-224, sha-256, sha-384, sha-512; the
    // digest must have that hash's length. Throws std::invalid_argument otherwise.
    static Fingerprint parse(std::string_view text);

    // The fingerprint of a DER-encoded certificate with the given hash (lower-case SDP name).
    static Fingerprint of(X509* certificate, std::string_view algorithm = "sha-256");

    const std::string& algorithm() const { return mAlgorithm; }
    const std::vector<std::uint8_t>& digest() const { return mDigest; }
    bool empty() const { return mDigest.empty(); }

    // "AB:CD:..." in upper case.
    std::string hex() const;
    // "sha-256 AB:CD:...".
    std::string toString() const;

    bool operator==(const Fingerprint& other) const = default;

private:
    std::string mAlgorithm;
    std::vector<std::uint8_t> mDigest;
};

} // namespace rtc::impl
