#include "platform/win/CredentialManagerVault.hpp"

#include <windows.h>
#include <wincred.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/CredentialStore.hpp"
#include "platform/win/CngSha256.hpp"
#include "protocol/Wire.hpp"

namespace {

using murel::win::CredentialManagerVault;

// Each test uses its own target so that a leftover entry of one cannot satisfy another.
std::string target(const char* name) {
    return "MurelTest/" + std::to_string(GetCurrentProcessId()) + "/" + name;
}

TEST(CredentialManagerVault, WriteReadReplaceDelete) {
    CredentialManagerVault vault;
    const auto name = target("round-trip");
    const std::string first = R"({"host":false})";
    vault.write(name, "user-1", first);
    EXPECT_EQ(vault.read(name, 2560), first);

    // Binary content and a second write to the same target replace the entry whole.
    const std::string second("\x01\x00\xFF{\"x\":1}", 10);
    vault.write(name, "user-2", second);
    EXPECT_EQ(vault.read(name, 2560), second);

    vault.remove(name);
    EXPECT_EQ(vault.read(name, 2560), std::nullopt);
}

TEST(CredentialManagerVault, EntryIsAGenericLocalMachineCredentialNamedByTheTarget) {
    CredentialManagerVault vault;
    const auto name = target("layout");
    vault.write(name, "user-\xEC\x97\xB0", "blob");
    PCREDENTIALW entry = nullptr;
    const std::wstring wideName(name.begin(), name.end());
    ASSERT_TRUE(CredReadW(wideName.c_str(), CRED_TYPE_GENERIC, 0, &entry));
    EXPECT_EQ(entry->Type, static_cast<DWORD>(CRED_TYPE_GENERIC));
    EXPECT_EQ(entry->Persist, static_cast<DWORD>(CRED_PERSIST_LOCAL_MACHINE));
    EXPECT_EQ(std::wstring(entry->TargetName), wideName);
    ASSERT_NE(entry->UserName, nullptr);
    EXPECT_EQ(std::wstring(entry->UserName), L"user-\uC5F0");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry->CredentialBlob), entry->CredentialBlobSize), "blob");
    CredFree(entry);
    vault.remove(name);
}

TEST(CredentialManagerVault, AbsentEntryReadsAsNothingAndRemovesWithoutError) {
    CredentialManagerVault vault;
    const auto name = target("never-written");
    EXPECT_EQ(vault.read(name, 2560), std::nullopt);
    EXPECT_NO_THROW(vault.remove(name));
    EXPECT_NO_THROW(vault.remove(name));
}

TEST(CredentialManagerVault, TargetsAreSeparateEntries) {
    CredentialManagerVault vault;
    const auto host = target("role/host");
    const auto client = target("role/client");
    vault.write(host, "u", "host-blob");
    vault.write(client, "u", "client-blob");
    EXPECT_EQ(vault.read(host, 2560), "host-blob");
    vault.remove(host);
    EXPECT_EQ(vault.read(host, 2560), std::nullopt);
    EXPECT_EQ(vault.read(client, 2560), "client-blob");
    vault.remove(client);
}

TEST(CredentialManagerVault, TheLargestRecordFitsAndALongerOneIsCutOnePastTheLimit) {
    CredentialManagerVault vault;
    const auto name = target("large");
    const std::string record(murel::kCredentialRecordLimit, 'r');
    vault.write(name, "u", record);
    EXPECT_EQ(vault.read(name, murel::kCredentialRecordLimit), record);

    vault.write(name, "u", record + "xyz");
    EXPECT_EQ(vault.read(name, murel::kCredentialRecordLimit), record + "x");
    vault.remove(name);
}

TEST(CredentialManagerVault, WriteFailureNamesTheStepAndLeavesNoEntry) {
    CredentialManagerVault vault;
    // A target far beyond the 32767-character limit is refused by Credential Manager itself.
    const std::string name(40000, 't');
    try {
        vault.write(name, "u", "x");
        FAIL() << "an oversized target was accepted";
    } catch (const murel::ProtocolError& error) {
        const std::string text = error.what();
        EXPECT_EQ(text.rfind("Save credential failed (Windows error ", 0), 0u) << text;
        EXPECT_EQ(text.find("(Windows error 0)"), std::string::npos) << text;
    }
    EXPECT_EQ(vault.read(name, 2560), std::nullopt);
}

// The portable store over the real vault and CNG: the record written through Credential Manager
// comes back whole, and a corrupt entry written behind the store's back is refused.
TEST(CredentialManagerVault, CredentialStoreRoundTripThroughCredentialManager) {
    CredentialManagerVault vault;
    murel::CredentialStore store(vault, murel::win::cngSha256);
    const std::string name = store.credentialTarget("https://control.example", "Me@Example.com", true);
    ASSERT_EQ(name.size(), 9u + 64u);
    EXPECT_EQ(name.rfind("Murel/v1/", 0), 0u);

    murel::SavedCredential saved;
    saved.account.token = "account-token";
    saved.account.userId = "user_1";
    saved.account.expiresAt = "2030-01-01T00:00:00Z";
    saved.device.id = "device-1";
    saved.device.token = "device-token";
    saved.device.expiresAt = "2030-01-02T00:00:00Z";
    saved.host = true;
    store.saveCredential(name, saved);
    EXPECT_EQ(store.readCredential(name), saved);

    vault.write(name, "user_1", R"({"account":{},"device":{},"host":"yes"})");
    try {
        store.readCredential(name);
        FAIL() << "a corrupt record was accepted";
    } catch (const murel::ProtocolError& error) {
        EXPECT_STREQ(error.what(), "Invalid saved credential; sign in again");
    }
    store.removeCredential(name);
    EXPECT_EQ(store.readCredential(name), std::nullopt);
}

}  // namespace
