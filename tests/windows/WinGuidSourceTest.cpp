#include "platform/win/WinGuidSource.hpp"

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// What StringFromGUID2 writes for the GUID, braces removed.
std::string windowsText(const murel::Guid& guid) {
    GUID native{};
    native.Data1 = guid.data1;
    native.Data2 = guid.data2;
    native.Data3 = guid.data3;
    for (int i = 0; i < 8; ++i) native.Data4[i] = guid.data4[i];
    wchar_t text[39] = {};
    EXPECT_EQ(StringFromGUID2(native, text, 39), 39);
    std::string narrow;
    for (int i = 1; i < 37; ++i) narrow += static_cast<char>(text[i]);
    return narrow;
}

TEST(WinGuidSource, RequestIdsAreFreshAndFormattedAsWindowsFormatsThem) {
    const murel::GuidSource source = murel::win::coCreateGuidSource();
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const auto guid = source();
        ASSERT_TRUE(guid.has_value());
        const std::string id = murel::formatRequestId(*guid);
        EXPECT_EQ(id, windowsText(*guid));
        EXPECT_EQ(murel::parseRequestId(murel::Json(id)), id);
        seen.insert(murel::newRequestId(source));
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(WinGuidSource, FieldOrderMatchesTheWindowsLayout) {
    murel::Guid guid;
    guid.data1 = 0x01234567;
    guid.data2 = 0x89AB;
    guid.data3 = 0xCDEF;
    const std::uint8_t tail[8] = {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    for (int i = 0; i < 8; ++i) guid.data4[i] = tail[i];
    EXPECT_EQ(windowsText(guid), "01234567-89AB-CDEF-FEDC-BA9876543210");
    EXPECT_EQ(murel::formatRequestId(guid), windowsText(guid));
}

}  // namespace
