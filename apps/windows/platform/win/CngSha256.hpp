#pragma once
// SHA-256 through CNG's one-shot hash with the built-in algorithm pseudo-handle.

#include <array>
#include <cstdint>
#include <string_view>

namespace murel::win {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Hashes data with BCryptHash(BCRYPT_SHA256_ALG_HANDLE). Throws ProtocolError with failureMessage
// when CNG reports a failure status.
Sha256Digest cngSha256(std::string_view data, const char* failureMessage);

}  // namespace murel::win
