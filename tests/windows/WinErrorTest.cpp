#include "platform/win/WinError.hpp"

#include <gtest/gtest.h>

#include <string>

#include "protocol/Wire.hpp"

namespace {

std::string messageOf(void (*call)()) {
    try {
        call();
    } catch (const murel::ProtocolError& error) {
        return error.what();
    }
    return "<no exception>";
}

TEST(WinError, HresultIsWrittenAsUnsigned32BitDecimal) {
    EXPECT_EQ(messageOf([] { murel::checkHr(E_ACCESSDENIED, "Create device"); }),
              "Create device failed (HRESULT 2147942405)");
    EXPECT_EQ(messageOf([] { murel::checkHr(static_cast<HRESULT>(0xFFFFFFFF), "Step"); }),
              "Step failed (HRESULT 4294967295)");
    EXPECT_EQ(messageOf([] { murel::checkHr(static_cast<HRESULT>(0x80000000), "Step"); }),
              "Step failed (HRESULT 2147483648)");
}

TEST(WinError, SuccessfulHresultsDoNotThrow) {
    EXPECT_NO_THROW(murel::checkHr(S_OK, "Step"));
    EXPECT_NO_THROW(murel::checkHr(S_FALSE, "Step"));
    EXPECT_NO_THROW(murel::checkHr(0x7FFFFFFF, "Step"));
}

TEST(WinError, Win32FailureReadsTheThreadsLastError) {
    EXPECT_EQ(messageOf([] {
                  SetLastError(12029);
                  murel::checkWin32(false, "Send HTTP request");
              }),
              "Send HTTP request failed (Windows error 12029)");
    EXPECT_EQ(messageOf([] {
                  SetLastError(0xFFFFFFFF);
                  murel::checkWin32(false, "Step");
              }),
              "Step failed (Windows error 4294967295)");
    EXPECT_EQ(messageOf([] {
                  SetLastError(0);
                  murel::checkWin32(false, "Step");
              }),
              "Step failed (Windows error 0)");
}

TEST(WinError, Win32SuccessIgnoresAPendingErrorCode) {
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_NO_THROW(murel::checkWin32(true, "Step"));
}

TEST(WinError, ExplicitCodeFormsTheSameMessage) {
    EXPECT_EQ(messageOf([] { murel::throwWin32(ERROR_NOT_FOUND, "Read credential"); }),
              "Read credential failed (Windows error 1168)");
}

}  // namespace
