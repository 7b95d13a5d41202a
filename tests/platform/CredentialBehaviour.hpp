#pragma once
// Credential store behaviour over a backend's real vault and SHA-256.

#include <gtest/gtest.h>

#include <string>

#include "Backend.hpp"
#include "platform/CredentialStore.hpp"

namespace murel::test {

inline SavedCredential sampleCredential(bool host = true) {
    SavedCredential credential;
    credential.account = {"account-token_1", "user-42", "2030-01-01T00:00:00Z"};
    credential.device = {"device-7", "device-token_2", "2031-02-03T04:05:06Z"};
    credential.host = host;
    return credential;
}

template <class B>
class CredentialBehaviour : public ::testing::Test {
protected:
    void SetUp() override {
        vault = B::makeVault(::testing::TempDir() + "murel-vault-" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        store = std::make_unique<CredentialStore>(*vault, B::sha256());
        // Each test uses its own account name so entries of the real platform store never clash.
        account = std::string("vault-test-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        target = store->credentialTarget("https://example.com", account, true);
        store->removeCredential(target);
    }
    void TearDown() override {
        if (store) store->removeCredential(target);
    }

    std::string readFailure() {
        try {
            store->readCredential(target);
        } catch (const ProtocolError& e) {
            return e.what();
        }
        return {};
    }

    std::unique_ptr<CredentialVault> vault;
    std::unique_ptr<CredentialStore> store;
    std::string account;
    std::string target;
};

TYPED_TEST_SUITE_P(CredentialBehaviour);

TYPED_TEST_P(CredentialBehaviour, TargetNamesHashTheScope) {
    auto& store = *this->store;
    EXPECT_EQ(store.credentialTarget("https://example.com", "Alice@Example.com", true),
              "Murel/v1/c4c9ae539ffbb2b71b0160c219286549aa0c5c3c857c1c0b6ac2cc0dca3bf321");
    EXPECT_EQ(store.credentialTarget("https://example.com", "Alice@Example.com", false),
              "Murel/v1/0f01abc3ef7492095fa7115f73bffef8123de139235ac3adb1916425faa4d468");
    // The account name is hashed as typed.
    EXPECT_NE(store.credentialTarget("https://example.com", "alice@example.com", true),
              store.credentialTarget("https://example.com", "Alice@Example.com", true));
    // The origin is normalised before hashing.
    const std::string plain = store.credentialTarget(parseServerOrigin("https://Example.com").origin, "a", true);
    EXPECT_EQ(store.credentialTarget(parseServerOrigin("https://example.com/").origin, "a", true), plain);
    EXPECT_EQ(store.credentialTarget(parseServerOrigin("https://example.com:443").origin, "a", true), plain);
    EXPECT_NE(store.credentialTarget(parseServerOrigin("https://example.com:8443").origin, "a", true), plain);
}

TYPED_TEST_P(CredentialBehaviour, RoundTripReplaceAndRemove) {
    auto& store = *this->store;
    EXPECT_EQ(store.readCredential(this->target), std::nullopt);
    store.removeCredential(this->target);  // absent: still fine

    store.saveCredential(this->target, sampleCredential());
    EXPECT_EQ(store.readCredential(this->target), sampleCredential());

    SavedCredential replaced = sampleCredential();
    replaced.device.token = "other-token";
    store.saveCredential(this->target, replaced);
    EXPECT_EQ(store.readCredential(this->target), replaced);

    store.removeCredential(this->target);
    EXPECT_EQ(store.readCredential(this->target), std::nullopt);
}

TYPED_TEST_P(CredentialBehaviour, RolesAreSeparateEntries) {
    auto& store = *this->store;
    const std::string client = store.credentialTarget("https://example.com", this->account, false);
    ASSERT_NE(client, this->target);
    store.saveCredential(this->target, sampleCredential(true));
    EXPECT_EQ(store.readCredential(client), std::nullopt);
    SavedCredential viewer = sampleCredential(false);
    viewer.device.id = "device-8";
    store.saveCredential(client, viewer);
    EXPECT_EQ(store.readCredential(this->target), sampleCredential(true));
    EXPECT_EQ(store.readCredential(client), viewer);
    store.removeCredential(client);
    EXPECT_EQ(store.readCredential(this->target), sampleCredential(true));
}

TYPED_TEST_P(CredentialBehaviour, SizeLimitIsCheckedBeforeWriting) {
    auto& store = *this->store;
    SavedCredential credential = sampleCredential();
    const std::size_t base = serializeSavedCredential(credential).size();
    credential.account.expiresAt += std::string(2560 - base, 'z');
    ASSERT_EQ(serializeSavedCredential(credential).size(), 2560u);
    store.saveCredential(this->target, credential);
    EXPECT_EQ(store.readCredential(this->target), credential);

    // One byte more is refused and the earlier entry stays as it was.
    SavedCredential tooLarge = credential;
    tooLarge.account.expiresAt += "z";
    try {
        store.saveCredential(this->target, tooLarge);
        ADD_FAILURE() << "a 2561-byte record was saved";
    } catch (const ProtocolError& e) {
        EXPECT_STREQ(e.what(), "Credential is too large for Windows Credential Manager");
    }
    EXPECT_EQ(store.readCredential(this->target), credential);

    SavedCredential badToken = sampleCredential();
    badToken.device.token = "has space";
    EXPECT_THROW(store.saveCredential(this->target, badToken), ProtocolError);
    EXPECT_EQ(store.readCredential(this->target), credential);
}

TYPED_TEST_P(CredentialBehaviour, CorruptRecordsAreRefused) {
    const std::string good =
        R"({"account":{"expires_at":"x","token":"tok","user_id":"user-1"},"device":{"expires_at":"y","id":"dev-1","token":"dtok"},"host":true})";
    struct Case {
        std::string blob;
        const char* failure;
    };
    const Case cases[] = {
        {R"({"account":{"expires_at":"x","token":"tok","user_id":"user-1"},"device":{"expires_at":"y","id":"dev-1","token":"dtok"},"host":"true"})",
         "Invalid saved credential; sign in again"},
        {R"({"account":{"expires_at":"x","token":"tok","user_id":"user-1"},"device":{"expires_at":"y","id":"dev-1","token":"dtok"}})",
         "Invalid saved credential; sign in again"},
        {R"({"account":"tok","device":{"expires_at":"y","id":"dev-1","token":"dtok"},"host":true})",
         "Invalid saved credential; sign in again"},
        {R"({"account":{"expires_at":1,"token":"tok","user_id":"user-1"},"device":{"expires_at":"y","id":"dev-1","token":"dtok"},"host":true})",
         "Invalid saved credential; sign in again"},
        {R"({"account":{"expires_at":"x","token":"tok","user_id":"user-1"},"device":{"expires_at":"y","token":"dtok"},"host":false})",
         "Invalid saved credential; sign in again"},
        {R"({"account":{"expires_at":"x","token":"tok","user_id":"user-1"},"device":{"expires_at":"y","id":"dev-1","token":"d tok"},"host":true})",
         "Invalid credential"},
        {R"({"account":{"expires_at":"x","token":"tok","user_id":"user 1"},"device":{"expires_at":"y","id":"dev-1","token":"dtok"},"host":true})",
         "Invalid identifier"},
        {"not json", "Invalid JSON message"},
        {"[1]", "Invalid protocol message"},
        {"", "Message size exceeds protocol limit"},
        {"{\"p\":\"" + std::string(2560, 'x') + "\"}", "Message size exceeds protocol limit"},
    };
    this->vault->write(this->target, "user-1", good);
    ASSERT_TRUE(this->store->readCredential(this->target).has_value());
    for (const Case& c : cases) {
        this->vault->write(this->target, "user-1", c.blob);
        EXPECT_EQ(this->readFailure(), c.failure) << c.blob;
    }
}

REGISTER_TYPED_TEST_SUITE_P(CredentialBehaviour, TargetNamesHashTheScope, RoundTripReplaceAndRemove,
                            RolesAreSeparateEntries, SizeLimitIsCheckedBeforeWriting,
                            CorruptRecordsAreRefused);

}  // namespace murel::test
