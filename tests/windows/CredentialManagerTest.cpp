#include "platform/win/CredentialManager.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "protocol/Wire.hpp"

namespace {

using murel::win::deleteGenericCredential;
using murel::win::readGenericCredential;
using murel::win::writeGenericCredential;

// Each test uses its own target so that a leftover entry of one cannot satisfy another.
std::wstring target(const wchar_t* name) {
    return L"MurelTest/" + std::to_wstring(GetCurrentProcessId()) + L"/" + name;
}

TEST(CredentialManager, WriteReadReplaceDelete) {
    const auto name = target(L"round-trip");
    const std::string first = R"({"host":false})";
    writeGenericCredential(name, first, L"user-1");

    std::string blob = "stale";
    ASSERT_TRUE(readGenericCredential(name, blob));
    EXPECT_EQ(blob, first);

    // Binary content and a second write to the same target replace the entry whole.
    const std::string second("\x01\x00\xFF{\"x\":1}", 10);
    writeGenericCredential(name, second, L"user-2");
    ASSERT_TRUE(readGenericCredential(name, blob));
    EXPECT_EQ(blob, second);

    deleteGenericCredential(name);
    EXPECT_FALSE(readGenericCredential(name, blob));
}

TEST(CredentialManager, AbsentEntryReadsAsNothingAndDeletesWithoutError) {
    const auto name = target(L"never-written");
    std::string blob;
    EXPECT_FALSE(readGenericCredential(name, blob));
    EXPECT_NO_THROW(deleteGenericCredential(name));
    EXPECT_NO_THROW(deleteGenericCredential(name));
}

TEST(CredentialManager, TargetsAreSeparateEntries) {
    const auto host = target(L"role/host");
    const auto client = target(L"role/client");
    writeGenericCredential(host, "host-blob", L"u");
    writeGenericCredential(client, "client-blob", L"u");

    std::string blob;
    ASSERT_TRUE(readGenericCredential(host, blob));
    EXPECT_EQ(blob, "host-blob");
    deleteGenericCredential(host);
    EXPECT_FALSE(readGenericCredential(host, blob));
    ASSERT_TRUE(readGenericCredential(client, blob));
    EXPECT_EQ(blob, "client-blob");
    deleteGenericCredential(client);
}

TEST(CredentialManager, TheLargestRecordFits) {
    const auto name = target(L"large");
    const std::string record(murel::kCredentialRecordLimit, 'r');
    writeGenericCredential(name, record, L"u");
    std::string blob;
    ASSERT_TRUE(readGenericCredential(name, blob));
    EXPECT_EQ(blob, record);
    deleteGenericCredential(name);
}

TEST(CredentialManager, WriteFailureNamesTheStep) {
    // A target far beyond the 32767-character limit is refused by Credential Manager itself.
    const std::wstring name(40000, L't');
    try {
        writeGenericCredential(name, "x", L"u");
        FAIL() << "an empty target was accepted";
    } catch (const murel::ProtocolError& error) {
        const std::string text = error.what();
        EXPECT_EQ(text.rfind("Save credential failed (Windows error ", 0), 0u) << text;
        EXPECT_EQ(text.find("(Windows error 0)"), std::string::npos) << text;
    }
    std::string blob;
    EXPECT_FALSE(readGenericCredential(name, blob));
}

}  // namespace
