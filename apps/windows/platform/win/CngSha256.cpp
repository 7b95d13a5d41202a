#include "platform/win/CngSha256.hpp"

#include <windows.h>
#include <bcrypt.h>

#include <climits>

#include "protocol/Wire.hpp"

// Older mingw-w64 headers predate the algorithm pseudo-handles (Windows 10); the value is fixed
// by the Windows ABI.
#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif

namespace murel::win {

Sha256Digest cngSha256(std::string_view data) {
    constexpr const char* failureMessage = "SHA-256 hashing failed";
    if (data.size() > ULONG_MAX) throw ProtocolError(failureMessage);
    Sha256Digest digest{};
    // BCryptHash does not write through pbInput; the cast only satisfies its signature.
    auto* input = reinterpret_cast<PUCHAR>(const_cast<char*>(data.data()));
    const NTSTATUS status = BCryptHash(BCRYPT_SHA256_ALG_HANDLE, nullptr, 0, input,
                                       static_cast<ULONG>(data.size()), digest.data(),
                                       static_cast<ULONG>(digest.size()));
    if (status < 0) throw ProtocolError(failureMessage);
    return digest;
}

}  // namespace murel::win
