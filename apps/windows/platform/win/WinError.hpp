#pragma once
// Turns a failed Windows call into a ProtocolError naming the step that failed.

#ifndef NOMINMAX
#define NOMINMAX  // keep std::min / std::max usable wherever this header goes
#endif
#include <windows.h>

namespace murel {

// When ok is false, reads GetLastError and throws "<step> failed (Windows error <code>)".
void checkWin32(bool ok, const char* step);

// When hr is a failure, throws "<step> failed (HRESULT <hr as unsigned 32-bit>)".
void checkHr(HRESULT hr, const char* step);

// Throws the checkWin32 message for an error code already in hand (calls that return their error
// instead of setting the thread's last error).
[[noreturn]] void throwWin32(DWORD error, const char* step);

}  // namespace murel
