#pragma once
// The Windows backend of the shared behaviour suites: WinHTTP transports, Credential Manager and
// CNG SHA-256.

#include <winsock2.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/win/CngSha256.hpp"
#include "platform/win/CredentialManagerVault.hpp"
#include "platform/win/WinHttpTransport.hpp"
#include "platform/win/WinHttpWebSocketTransport.hpp"

namespace murel::test {

struct WindowsBackend {
    static std::unique_ptr<HttpTransport> makeHttpTransport(const ServerOrigin& origin,
                                                            std::chrono::milliseconds receiveTimeout) {
        return std::make_unique<win::WinHttpTransport>(origin, static_cast<int>(receiveTimeout.count()));
    }
    // Wine's WinHTTP does not know the WebSocket close-timeout option; everything else is the
    // production transport.
    static std::unique_ptr<WebSocketTransport> makeWebSocketTransport(const ServerOrigin& origin) {
        return std::make_unique<win::WinHttpWebSocketTransport>(
            origin, win::WinHttpWebSocketTransport::CloseTimeout::IfSupported);
    }
    // Credential Manager is the store itself; the suite gives each test its own account name.
    static std::unique_ptr<CredentialVault> makeVault(const std::string&) {
        return std::make_unique<win::CredentialManagerVault>();
    }
    static Sha256Function sha256() { return win::cngSha256; }
};

// The loopback test server uses Winsock, which must be started once per process.
struct WinsockStarted {
    WinsockStarted() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockStarted() { WSACleanup(); }
};

}  // namespace murel::test
