#pragma once
// The Controller's platform in Murel.exe: WinHTTP for the control service and the signaling
// WebSocket, Credential Manager and CNG for saved sign-ins, CoCreateGuid request ids, and the
// worker's COM + Media Foundation apartment.
//
// The media makers stay empty until the Windows media factory exists (the platform then can
// neither view nor host); the input injector joins with the session flows.

#include "app/Platform.hpp"

namespace murel::win {

app::Platform makeWindowsPlatform();

// Wine (the process runs under it) exports its version from ntdll.
bool runningOnWine();

}  // namespace murel::win
