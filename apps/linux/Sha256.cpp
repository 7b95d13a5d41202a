#include "Sha256.hpp"

#include <openssl/evp.h>

#include "protocol/Wire.hpp"

namespace murel {

Sha256Digest opensslSha256(std::string_view data) {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        throw ProtocolError("Credential scope hashing failed");
    }
    return digest;
}

}  // namespace murel
