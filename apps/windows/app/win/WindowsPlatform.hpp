#pragma once
// The Controller's platform in Murel.exe: WinHTTP for the control service and the signaling
// WebSocket, Credential Manager and CNG for saved sign-ins, CoCreateGuid request ids, and the
// worker's COM + Media Foundation apartment.
//
// Media, the input injector and the media timer resolution join when the session and hosting
// flows need them.

#include "app/Platform.hpp"

namespace murel::win {

app::Platform makeWindowsPlatform();

// Wine (the process runs under it) exports its version from ntdll.
bool runningOnWine();

}  // namespace murel::win
