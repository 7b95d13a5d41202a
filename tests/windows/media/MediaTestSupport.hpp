#pragma once
// Shared set-up of the Windows media tests: one multithreaded COM apartment with Media Foundation
// started, one Direct3D 11 device for the whole process (Wine creates it on its GL-backed adapter).

#include <objbase.h>
#include <mfapi.h>

#include <exception>
#include <memory>
#include <string>

#include "media/win/D3D11GraphicsDevice.hpp"

namespace murel::test {

inline void enterMediaApartment() {
    static const bool started = [] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        return SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_FULL));
    }();
    (void)started;
}

inline win::D3D11GraphicsDevice& sharedGraphicsDevice() {
    enterMediaApartment();
    static win::D3D11GraphicsDevice device(0);
    return device;
}

// The message of what the call throws, or a marker when it returns.
template <class Call>
std::string messageOf(Call&& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no exception>";
}

}  // namespace murel::test
