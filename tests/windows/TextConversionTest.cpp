#include "platform/win/TextConversion.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "protocol/Wire.hpp"

namespace {

using murel::win::utf16ToUtf8;
using murel::win::utf8ToUtf16;

template <typename Call>
std::string failureOf(Call call) {
    try {
        call();
    } catch (const murel::ProtocolError& error) {
        return error.what();
    }
    return "<no exception>";
}

TEST(TextConversion, RoundTripsAcrossEveryEncodedLength) {
    // One-, two-, three- and four-byte sequences (the last is a surrogate pair in UTF-16).
    const std::string utf8 = "A\xC3\xA9\xEC\x97\xB0\xEA\xB2\xB0 \xF0\x9F\x98\x80!";
    const std::wstring utf16 = L"A\u00E9\uC5F0\uACB0 \U0001F600!";
    ASSERT_EQ(utf16.size(), 8u);
    EXPECT_EQ(utf8ToUtf16(utf8), utf16);
    EXPECT_EQ(utf16ToUtf8(utf16), utf8);
}

TEST(TextConversion, EmbeddedNulCharactersAreKept) {
    const std::string utf8("a\0b", 3);
    const std::wstring utf16(L"a\0b", 3);
    EXPECT_EQ(utf8ToUtf16(utf8), utf16);
    EXPECT_EQ(utf16ToUtf8(utf16), utf8);
}

TEST(TextConversion, EmptyInputGivesEmptyOutputWithoutTouchingTheLastError) {
    SetLastError(1234);
    EXPECT_TRUE(utf8ToUtf16("").empty());
    EXPECT_TRUE(utf16ToUtf8(L"").empty());
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(TextConversion, LongTextConvertsWhole) {
    std::string utf8;
    std::wstring utf16;
    for (int i = 0; i < 20000; ++i) {
        utf8 += "x\xEC\x97\xB0";
        utf16 += L"x\uC5F0";
    }
    EXPECT_EQ(utf8ToUtf16(utf8), utf16);
    EXPECT_EQ(utf16ToUtf8(utf16), utf8);
}

TEST(TextConversion, InvalidUtf8IsRefused) {
    const std::string expected = "Decode UTF-8 failed (Windows error 1113)";
    EXPECT_EQ(failureOf([] { utf8ToUtf16("abc\xFF"); }), expected);
    EXPECT_EQ(failureOf([] { utf8ToUtf16("\xC3"); }), expected);              // truncated sequence
    EXPECT_EQ(failureOf([] { utf8ToUtf16("\xC0\xAF"); }), expected);          // overlong '/'
    EXPECT_EQ(failureOf([] { utf8ToUtf16("\xED\xA0\x80"); }), expected);      // encoded surrogate
    EXPECT_EQ(failureOf([] { utf8ToUtf16("a\x80" "b"); }), expected);         // stray continuation
}

TEST(TextConversion, LoneSurrogatesAreRefused) {
    const std::string expected = "Encode UTF-8 failed (Windows error 1113)";
    EXPECT_EQ(failureOf([] { utf16ToUtf8(std::wstring(1, wchar_t(0xD83D))); }), expected);
    EXPECT_EQ(failureOf([] { utf16ToUtf8(std::wstring{L'a', wchar_t(0xDE00), L'b'}); }), expected);
    EXPECT_EQ(failureOf([] { utf16ToUtf8(std::wstring{wchar_t(0xDE00), wchar_t(0xD83D)}); }), expected);
}

}  // namespace
