#pragma once
// Strict UTF-8 <-> UTF-16 conversion: invalid input fails instead of being replaced.

#include <string>
#include <string_view>

namespace murel::win {

// MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS); failure is step "Decode UTF-8".
std::wstring utf8ToUtf16(std::string_view text);

// WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS); failure is step "Encode UTF-8".
std::string utf16ToUtf8(std::wstring_view text);

}  // namespace murel::win
