#pragma once
// SHA-256 through OpenSSL's EVP interface.

#include <string_view>

#include "platform/CredentialVault.hpp"

namespace murel {

// Throws ProtocolError("Credential scope hashing failed") when OpenSSL fails.
Sha256Digest opensslSha256(std::string_view data);

}  // namespace murel
