#pragma once
// Secrets of the control service: random tokens and identifiers, token digests, password hashes
// (argon2id) and time-limited relay credentials in coturn's shared-secret scheme. Secrets are wiped
// with the program's own wipe (protocol/Wipe.hpp).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Wipe.hpp"

namespace murel {

// `bytes` random bytes as unpadded base64url: printable ASCII, valid for validateCredential.
std::string randomToken(std::size_t bytes = 32);
// A random identifier: `prefix` followed by `bytes` random bytes in lower-case hex.
std::string randomIdentifier(std::string_view prefix, std::size_t bytes = 16);

// Lower-case hex SHA-256 of the text; tokens are stored only in this form.
std::string sha256Hex(std::string_view text);

// Constant-time equality (the length is not secret).
bool constantTimeEquals(std::string_view a, std::string_view b) noexcept;

// Standard base64 (with padding) of HMAC-SHA1(secret, message): the TURN REST credential.
std::string turnCredential(std::string_view secret, std::string_view username);

// UTC ISO 8601 with a 'Z' suffix, e.g. 2026-01-31T12:00:00Z.
std::string isoUtc(std::int64_t unixSeconds);

// argon2id password hashes. The default limits are libsodium's interactive ones; lower limits exist
// only so tests can run without spending a second per sign-in.
class PasswordHasher {
public:
    PasswordHasher();
    PasswordHasher(unsigned long long opsLimit, std::size_t memLimit);

    // Encoded hash string (algorithm, parameters and salt included). Throws std::runtime_error when
    // memory runs out.
    std::string hash(std::string_view password) const;
    bool verify(std::string_view encodedHash, std::string_view password) const;
    // Spends about the time of a real verification, for accounts that do not exist.
    void spendVerifyTime(std::string_view password) const;

private:
    unsigned long long opsLimit_;
    std::size_t memLimit_;
    std::string dummyHash_;
};

}  // namespace murel
