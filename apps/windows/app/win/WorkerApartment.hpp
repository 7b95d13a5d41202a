#pragma once
// The Controller worker's apartment on Windows: COM (multithreaded) and Media Foundation.

#include "app/Platform.hpp"

namespace murel::win {

// enter: CoInitializeEx(nullptr, COINIT_MULTITHREADED), false on failure; startMedia:
// MFStartup(MF_VERSION, MFSTARTUP_FULL), failing as "Start Media Foundation failed (HRESULT n)";
// stopMedia: MFShutdown; leave: CoUninitialize.
app::WorkerApartment comMediaFoundationApartment();

}  // namespace murel::win
