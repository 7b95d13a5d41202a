#include "app/win/WorkerApartment.hpp"

#include <objbase.h>
#include <mfapi.h>

#include "platform/win/WinError.hpp"

namespace murel::win {

app::WorkerApartment comMediaFoundationApartment() {
    app::WorkerApartment apartment;
    apartment.enter = [] { return SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); };
    apartment.startMedia = [] { checkHr(MFStartup(MF_VERSION, MFSTARTUP_FULL), "Start Media Foundation"); };
    apartment.stopMedia = [] { MFShutdown(); };
    apartment.leave = [] { CoUninitialize(); };
    return apartment;
}

}  // namespace murel::win
