#include "platform/win/CngSha256.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const murel::Sha256Digest& digest) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (auto byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::string sha256Hex(std::string_view data) { return hex(murel::win::cngSha256(data)); }

TEST(CngSha256, KnownAnswerVectors) {
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256Hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(CngSha256, EmbeddedNulBytesAreHashed) {
    // Would equal the digest of "" or "a" if the input were treated as a C string.
    EXPECT_EQ(sha256Hex(std::string("\0", 1)), "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d");
    EXPECT_NE(sha256Hex(std::string("a\0b", 3)), sha256Hex("a"));
}

}  // namespace
