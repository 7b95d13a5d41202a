#include "platform/win/WinError.hpp"

#include <cstdint>
#include <string>

#include "protocol/Wire.hpp"

namespace murel {

void throwWin32(DWORD error, const char* step) {
    throw ProtocolError(std::string(step) + " failed (Windows error " +
                        std::to_string(static_cast<std::uint32_t>(error)) + ")");
}

void checkWin32(bool ok, const char* step) {
    if (ok) return;
    throwWin32(GetLastError(), step);
}

void checkHr(HRESULT hr, const char* step) {
    if (!FAILED(hr)) return;
    throw ProtocolError(std::string(step) + " failed (HRESULT " +
                        std::to_string(static_cast<std::uint32_t>(hr)) + ")");
}

}  // namespace murel
