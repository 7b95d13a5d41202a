#pragma once
// The SRTP keys a DTLS handshake exports (RFC 5764 section 4.2) and an SRTP session uses: the
// handover between the DTLS and the RTP parts, which depend on this header rather than on each other.

#include <cstdint>
#include <vector>

namespace rtc::impl {

enum class SrtpProfile { AeadAes128Gcm, Aes128CmSha1_80 };

// SRTP master keys and salts of both directions. The bytes are wiped when the object is destroyed.
struct SrtpKeyMaterial {
    SrtpProfile profile = SrtpProfile::Aes128CmSha1_80;
    std::vector<std::uint8_t> clientKey, clientSalt, serverKey, serverSalt;
    bool localIsClient = true;

    SrtpKeyMaterial() = default;
    SrtpKeyMaterial(const SrtpKeyMaterial&) = default;
    SrtpKeyMaterial& operator=(const SrtpKeyMaterial&) = default;
    ~SrtpKeyMaterial();

    // Keys this end protects with (its write keys) and unprotects with (the peer's write keys).
    const std::vector<std::uint8_t>& localKey() const { return localIsClient ? clientKey : serverKey; }
    const std::vector<std::uint8_t>& localSalt() const { return localIsClient ? clientSalt : serverSalt; }
    const std::vector<std::uint8_t>& remoteKey() const { return localIsClient ? serverKey : clientKey; }
    const std::vector<std::uint8_t>& remoteSalt() const { return localIsClient ? serverSalt : clientSalt; }
};

} // namespace rtc::impl
