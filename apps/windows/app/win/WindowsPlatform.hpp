#pragma once
// The Controller's platform in Murel.exe: WinHTTP for the control service and the signaling
// WebSocket, Credential Manager and CNG for saved sign-ins, CoCreateGuid request ids, the
// worker's COM + Media Foundation apartment, the D3D11 / DXGI / Media Foundation media (with the
// 1 ms timer resolution during a session), the native peer and SendInput for the host's input.

#include "app/Platform.hpp"

namespace murel::win {

app::Platform makeWindowsPlatform();

// Wine (the process runs under it) exports its version from ntdll.
bool runningOnWine();

}  // namespace murel::win
