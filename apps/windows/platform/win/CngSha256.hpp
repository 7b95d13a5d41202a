#pragma once
// SHA-256 through CNG's one-shot hash with the built-in algorithm pseudo-handle.

#include <string_view>

#include "platform/CredentialVault.hpp"

namespace murel::win {

// BCryptHash(BCRYPT_SHA256_ALG_HANDLE), no secret, 32-byte output. A failure status throws
// ProtocolError "SHA-256 hashing failed". Fits Sha256Function.
Sha256Digest cngSha256(std::string_view data);

}  // namespace murel::win
