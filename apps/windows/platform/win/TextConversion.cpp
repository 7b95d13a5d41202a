#include "platform/win/TextConversion.hpp"

#include <climits>

#include "platform/win/WinError.hpp"

namespace murel::win {

namespace {

// The conversion calls count in int; longer input cannot be converted in one call.
template <typename Text>
int checkedLength(const Text& text, const char* step) {
    if (text.size() > static_cast<std::size_t>(INT_MAX)) throwWin32(ERROR_INVALID_PARAMETER, step);
    return static_cast<int>(text.size());
}

}  // namespace

std::wstring utf8ToUtf16(std::string_view text) {
    constexpr const char* step = "Decode UTF-8";
    if (text.empty()) return {};
    const int length = checkedLength(text, step);
    const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    checkWin32(needed > 0, step);
    std::wstring result(static_cast<std::size_t>(needed), L'\0');
    const int written =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, result.data(), needed);
    checkWin32(written > 0, step);
    result.resize(static_cast<std::size_t>(written));
    return result;
}

std::string utf16ToUtf8(std::wstring_view text) {
    constexpr const char* step = "Encode UTF-8";
    if (text.empty()) return {};
    const int length = checkedLength(text, step);
    const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr, 0,
                                           nullptr, nullptr);
    checkWin32(needed > 0, step);
    std::string result(static_cast<std::size_t>(needed), '\0');
    const int written = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, result.data(),
                                            needed, nullptr, nullptr);
    checkWin32(written > 0, step);
    result.resize(static_cast<std::size_t>(written));
    return result;
}

}  // namespace murel::win
