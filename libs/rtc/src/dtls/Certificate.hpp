#pragma once

#include "Fingerprint.hpp"
#include "common/OpenSsl.hpp"

#include <openssl/types.h>

#include <memory>
#include <string>
#include <string_view>

namespace rtc::impl {

// A self-signed ECDSA P-256 certificate with its private key, used as the DTLS identity of one
// peer connection. Immutable after generation and shareable between threads.
class Certificate {
public:
    // Generates a fresh key pair and a certificate valid from one day ago for 30 days.
    // Throws std::runtime_error when OpenSSL fails.
    static std::shared_ptr<Certificate> generate(std::string_view commonName = "murel");

    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    X509* x509() const { return mX509.get(); }
    EVP_PKEY* privateKey() const { return mKey.get(); }

    // SHA-256 fingerprint of the DER certificate.
    const Fingerprint& fingerprint() const { return mFingerprint; }
    // The a=fingerprint value: "sha-256 AB:CD:...".
    std::string fingerprintSdp() const { return mFingerprint.toString(); }

private:
    Certificate(X509Ptr x509, PrivateKeyPtr key);

    X509Ptr mX509;
    PrivateKeyPtr mKey;
    Fingerprint mFingerprint;
};

} // namespace rtc::impl
