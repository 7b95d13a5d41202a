#include "dtls/Certificate.hpp"
#include "dtls/Fingerprint.hpp"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <regex>
#include <stdexcept>

using rtc::impl::Certificate;
using rtc::impl::Fingerprint;

TEST(DtlsCertificate, IsSelfSignedEcdsaP256WithSdpFingerprint) {
    auto certificate = Certificate::generate("murel-test");
    ASSERT_NE(certificate->x509(), nullptr);

    EVP_PKEY* key = X509_get0_pubkey(certificate->x509());
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(EVP_PKEY_get_base_id(key), EVP_PKEY_EC);
    char group[64] = {};
    size_t length = 0;
    ASSERT_EQ(EVP_PKEY_get_group_name(key, group, sizeof group, &length), 1);
    EXPECT_STREQ(group, "prime256v1");
    // Self-signed: the certificate verifies with its own key.
    EXPECT_EQ(X509_verify(certificate->x509(), key), 1);
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(certificate->x509()),
                            X509_get_issuer_name(certificate->x509())),
              0);
    // Valid now.
    EXPECT_LT(X509_cmp_current_time(X509_get0_notBefore(certificate->x509())), 0);
    EXPECT_GT(X509_cmp_current_time(X509_get0_notAfter(certificate->x509())), 0);

    std::string sdp = certificate->fingerprintSdp();
    EXPECT_TRUE(std::regex_match(sdp, std::regex("sha-256 ([0-9A-F]{2}:){31}[0-9A-F]{2}"))) << sdp;

    // The fingerprint is the SHA-256 of the DER encoding.
    unsigned char* der = nullptr;
    int derLength = i2d_X509(certificate->x509(), &der);
    ASSERT_GT(derLength, 0);
    unsigned char digest[32];
    unsigned int digestLength = 0;
    ASSERT_EQ(EVP_Digest(der, derLength, digest, &digestLength, EVP_sha256(), nullptr), 1);
    OPENSSL_free(der);
    EXPECT_EQ(certificate->fingerprint().digest(), std::vector<std::uint8_t>(digest, digest + 32));
}

TEST(DtlsCertificate, EveryGenerationIsANewIdentity) {
    auto a = Certificate::generate();
    auto b = Certificate::generate();
    EXPECT_NE(a->fingerprint(), b->fingerprint());
    EXPECT_NE(ASN1_INTEGER_cmp(X509_get0_serialNumber(a->x509()), X509_get0_serialNumber(b->x509())), 0);
}

TEST(DtlsFingerprint, ParsesWhatItPrintsAndIgnoresCase) {
    auto certificate = Certificate::generate();
    std::string text = certificate->fingerprintSdp();
    EXPECT_EQ(Fingerprint::parse(text), certificate->fingerprint());

    std::string lower = text;
    for (auto& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string upperName = "SHA-256" + text.substr(7);
    EXPECT_EQ(Fingerprint::parse(lower), certificate->fingerprint());
    EXPECT_EQ(Fingerprint::parse(upperName), certificate->fingerprint());
    EXPECT_EQ(Fingerprint::parse("  " + text + "\r\n"), certificate->fingerprint());
    EXPECT_EQ(Fingerprint::parse(text).toString(), text);
}

TEST(DtlsFingerprint, OtherHashesHaveTheirOwnLength) {
    auto certificate = Certificate::generate();
    auto sha1 = Fingerprint::of(certificate->x509(), "sha-1");
    EXPECT_EQ(sha1.digest().size(), 20u);
    EXPECT_EQ(Fingerprint::parse(sha1.toString()), sha1);
    auto sha512 = Fingerprint::of(certificate->x509(), "sha-512");
    EXPECT_EQ(Fingerprint::parse(sha512.toString()), sha512);
    // A sha-1 sized digest under a sha-256 name is refused.
    EXPECT_THROW(Fingerprint::parse("sha-256 " + sha1.hex()), std::invalid_argument);
}

TEST(DtlsFingerprint, RefusesMalformedText) {
    const std::string good = Certificate::generate()->fingerprint().hex();
    for (const std::string& bad : {
             std::string(""),
             std::string("sha-256"),
             "md5 " + good,
             "sha-257 " + good,
             "sha-256 " + good.substr(0, good.size() - 3),  // one byte short
             "sha-256 " + good + ":00",                     // one byte long
             "sha-256 " + good.substr(0, good.size() - 1) + "G", // not hex
             "sha-256 " + std::string(good).replace(2, 1, "-"),  // wrong separator
             "sha-256 " + std::string(good).erase(2, 1) + "0",   // missing separator
             "sha-256" + good,                              // no space
         }) {
        EXPECT_THROW(Fingerprint::parse(bad), std::invalid_argument) << bad;
    }
}
