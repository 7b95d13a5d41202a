#pragma once
// The control-service HTTP client over WinHTTP, and the request-opening steps it shares with the
// signaling WebSocket.

#include <string_view>

#include "platform/HttpClient.hpp"
#include "platform/win/WinHttpHandle.hpp"
#include "protocol/Http.hpp"
#include "protocol/Wire.hpp"

namespace murel::win {

inline constexpr const wchar_t* kHttpAgent = L"MurelWindows/0.1";
inline constexpr int kResolveTimeoutMs = 5000;
inline constexpr int kConnectTimeoutMs = 5000;
inline constexpr int kSendTimeoutMs = 5000;
inline constexpr int kReceiveTimeoutMs = 15000;

// One synchronous request per call on a fresh WinHTTP session and connection; holds no handles
// between calls. The request rules (path, headers, limits, status, parsing, wiping) are
// HttpClient's.
class WinHttpClient final : public Http {
public:
    explicit WinHttpClient(ServerOrigin origin);
    // `receiveTimeoutMs` other than 15000 is for tests that wait for a stalled server.
    WinHttpClient(ServerOrigin origin, int receiveTimeoutMs);

    Json request(const HttpRequest& request) override;

    // WinHttpOpen (synchronous, automatic proxy) and the four timeouts.
    static WinHttpHandle openSession(int receiveTimeoutMs = kReceiveTimeoutMs);
    // WinHttpConnect to the origin's host and port.
    static WinHttpHandle connect(HINTERNET session, const ServerOrigin& origin);
    // Opens `method` `path` on the connection, refuses redirects, cookies and ambient
    // authentication (and asks for the WebSocket upgrade when `webSocketUpgrade`), sends the
    // header lines and body, and waits for the response headers. Every copy of the headers made
    // here is wiped before it returns or throws.
    static WinHttpHandle openRequest(HINTERNET connection, const ServerOrigin& origin, std::string_view method,
                                     std::string_view path, std::string_view headers, std::string_view body,
                                     bool webSocketUpgrade);
    // WINHTTP_QUERY_STATUS_CODE as a number ("Read HTTP status").
    static unsigned readStatus(HINTERNET request);

private:
    HttpClient client_;
};

}  // namespace murel::win
