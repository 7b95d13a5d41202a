#pragma once
// Owning handles for the OpenSSL objects the layer creates. Each frees its object exactly once and
// can be moved but not copied, so no error path needs a hand-written free.

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace rtc::impl {

template <auto Free> struct OpenSslFree {
    template <typename T> void operator()(T* object) const noexcept { Free(object); }
};

using SslContextPtr = std::unique_ptr<SSL_CTX, OpenSslFree<&SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree<&SSL_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree<&BIO_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<&X509_free>>;
using PrivateKeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<&EVP_PKEY_free>>; // frees clear the key
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslFree<&BN_free>>;
using CipherContextPtr = std::unique_ptr<EVP_CIPHER_CTX, OpenSslFree<&EVP_CIPHER_CTX_free>>;

// A fresh cipher context; throws std::bad_alloc when OpenSSL cannot allocate one.
CipherContextPtr newCipherContext();

} // namespace rtc::impl
