#include "app/win/WindowsPlatform.hpp"

#include <windows.h>

#include <memory>

#include "app/win/WorkerApartment.hpp"
#include "platform/win/CngSha256.hpp"
#include "platform/win/CredentialManagerVault.hpp"
#include "platform/win/WinGuidSource.hpp"
#include "platform/win/WinHttpClient.hpp"
#include "platform/win/WinHttpWebSocketTransport.hpp"

namespace murel::win {

bool runningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

app::Platform makeWindowsPlatform() {
    app::Platform platform;
    platform.clock = app::steadyClockNanoseconds;
    platform.makeHttp = [](const ServerOrigin& origin) -> std::unique_ptr<Http> {
        return std::make_unique<WinHttpClient>(origin);
    };
    // Wine's WinHTTP does not know the WebSocket close time-out; everywhere else it is required.
    const auto closeTimeout = runningOnWine() ? WinHttpWebSocketTransport::CloseTimeout::IfSupported
                                              : WinHttpWebSocketTransport::CloseTimeout::Required;
    platform.openSignaling = app::signalingOverTransport([closeTimeout](const ServerOrigin& origin) {
        return std::make_unique<WinHttpWebSocketTransport>(origin, closeTimeout);
    });
    platform.credentialVault = std::make_shared<CredentialManagerVault>();
    platform.sha256 = cngSha256;
    platform.requestIds = coCreateGuidSource();
    platform.apartment = comMediaFoundationApartment();
    platform.deviceKind = "windows";
    return platform;
}

}  // namespace murel::win
