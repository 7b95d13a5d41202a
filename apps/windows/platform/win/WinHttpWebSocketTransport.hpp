#pragma once
// WebSocketTransport over the WinHTTP WebSocket API (synchronous).

#include <atomic>

#include "platform/WebSocketTransport.hpp"
#include "platform/win/WinHttpClient.hpp"
#include "protocol/Wire.hpp"

namespace murel::win {

inline constexpr DWORD kWebSocketCloseTimeoutMs = 1000;

class WinHttpWebSocketTransport final : public WebSocketTransport {
public:
    // Whether a WinHTTP that does not know WINHTTP_OPTION_WEB_SOCKET_CLOSE_TIMEOUT
    // (ERROR_WINHTTP_INVALID_OPTION) fails the connection. Windows always knows it; only the tests
    // that run on Wine, which does not, relax it.
    enum class CloseTimeout { Required, IfSupported };

    explicit WinHttpWebSocketTransport(ServerOrigin origin, CloseTimeout closeTimeout = CloseTimeout::Required);
    ~WinHttpWebSocketTransport() override;

    unsigned upgrade(std::string_view path, std::string_view headers) override;
    void completeUpgrade() override;
    WebSocketReceived receive(std::span<char> buffer) override;
    void sendText(std::string_view message) override;
    void close() noexcept override;

private:
    ServerOrigin origin_;
    CloseTimeout closeTimeout_;
    WinHttpHandle session_;
    WinHttpHandle connection_;
    WinHttpHandle request_;
    WinHttpHandle socket_;
    std::atomic<bool> closed_{false};
};

}  // namespace murel::win
