#include "Certificate.hpp"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <stdexcept>
#include <string>

namespace rtc::impl {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("Certificate generation failed: ") + what);
}

} // namespace

std::shared_ptr<Certificate> Certificate::generate(std::string_view commonName) {
    PrivateKeyPtr ownedKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!ownedKey)
        fail("key");
    X509Ptr ownedX509(X509_new());
    if (!ownedX509)
        fail("allocation");
    EVP_PKEY* key = ownedKey.get();
    X509* x509 = ownedX509.get();

    if (X509_set_version(x509, 2) != 1)
        fail("version");
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        fail("serial");
    serial[0] &= 0x7F; // a positive serial number
    const BignumPtr number(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(x509)))
        fail("serial");

    // Start a day early so that a peer with a slightly wrong clock still accepts it.
    if (!X509_gmtime_adj(X509_getm_notBefore(x509), -24L * 3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(x509), 30L * 24 * 3600))
        fail("validity");
    if (X509_set_pubkey(x509, key) != 1)
        fail("public key");

    X509_NAME* name = X509_get_subject_name(x509);
    std::string cn(commonName.empty() ? std::string_view("murel") : commonName);
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                                   0) != 1)
        fail("subject");
    if (X509_set_issuer_name(x509, name) != 1)
        fail("issuer");
    if (X509_sign(x509, key, EVP_sha256()) <= 0)
        fail("signature");

    std::shared_ptr<Certificate> certificate(new Certificate(std::move(ownedX509), std::move(ownedKey)));
    certificate->mFingerprint = Fingerprint::of(x509, "sha-256");
    return certificate;
}

Certificate::Certificate(X509Ptr x509, PrivateKeyPtr key)
    : mX509(std::move(x509)), mKey(std::move(key)) {}

} // namespace rtc::impl
