#include "platform/win/WinHttpClient.hpp"

#include <string>

#include "platform/win/TextConversion.hpp"
#include "platform/win/WinError.hpp"
#include "platform/win/WinHttpTransport.hpp"
#include "protocol/Wipe.hpp"

namespace murel::win {

namespace {

void wipeWide(std::wstring& text) noexcept {
    wipe(text.data(), text.size() * sizeof(wchar_t));
    text.clear();
}

void setDwordOption(HINTERNET handle, DWORD option, DWORD value, const char* step) {
    checkWin32(WinHttpSetOption(handle, option, &value, sizeof(value)), step);
}

}  // namespace

WinHttpClient::WinHttpClient(ServerOrigin origin) : WinHttpClient(std::move(origin), kReceiveTimeoutMs) {}

WinHttpClient::WinHttpClient(ServerOrigin origin, int receiveTimeoutMs)
    : client_(std::make_unique<WinHttpTransport>(std::move(origin), receiveTimeoutMs)) {}

Json WinHttpClient::request(const HttpRequest& request) { return client_.request(request); }

WinHttpHandle WinHttpClient::openSession(int receiveTimeoutMs) {
    WinHttpHandle session(
        WinHttpOpen(kHttpAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    checkWin32(static_cast<bool>(session), "Open HTTP session");
    checkWin32(WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                                  receiveTimeoutMs),
               "Set HTTP timeouts");
    return session;
}

WinHttpHandle WinHttpClient::connect(HINTERNET session, const ServerOrigin& origin) {
    const std::wstring host = utf8ToUtf16(origin.host);
    WinHttpHandle connection(WinHttpConnect(session, host.c_str(), origin.port, 0));
    checkWin32(static_cast<bool>(connection), "Connect HTTP");
    return connection;
}

WinHttpHandle WinHttpClient::openRequest(HINTERNET connection, const ServerOrigin& origin, std::string_view method,
                                         std::string_view path, std::string_view headers, std::string_view body,
                                         bool webSocketUpgrade) {
    const std::wstring verb = utf8ToUtf16(method);
    const std::wstring object = utf8ToUtf16(path);
    WinHttpHandle request(WinHttpOpenRequest(connection, verb.c_str(), object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             origin.secure ? WINHTTP_FLAG_SECURE : 0));
    checkWin32(static_cast<bool>(request), "Open HTTP request");
    setDwordOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER,
                   "Disable redirects");
    setDwordOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE,
                   WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION, "Disable ambient authentication");
    if (webSocketUpgrade) {
        checkWin32(WinHttpSetOption(request.get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0),
                   "Request WebSocket upgrade");
    }

    if (body.size() > MAXDWORD) throwWin32(ERROR_INVALID_PARAMETER, "Send HTTP request");
    // The header block may carry the bearer token: its UTF-16 copy is wiped on every path.
    std::wstring headerBlock;
    BOOL sent = FALSE;
    DWORD sendError = ERROR_SUCCESS;
    try {
        headerBlock = utf8ToUtf16(headers);
        if (headerBlock.size() > MAXDWORD) throwWin32(ERROR_INVALID_PARAMETER, "Send HTTP request");
        // WinHTTP only reads the optional data; the cast satisfies its signature.
        void* bodyBytes = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
        const DWORD bodyLength = static_cast<DWORD>(body.size());
        sent = WinHttpSendRequest(request.get(),
                                  headerBlock.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headerBlock.c_str(),
                                  static_cast<DWORD>(headerBlock.size()), bodyBytes, bodyLength, bodyLength, 0);
        sendError = GetLastError();
    } catch (...) {
        wipeWide(headerBlock);
        throw;
    }
    wipeWide(headerBlock);
    if (!sent) {
        // Restore the send's own code: the wipe must not change what is reported.
        SetLastError(sendError);
        checkWin32(false, "Send HTTP request");
    }
    checkWin32(WinHttpReceiveResponse(request.get(), nullptr), "Receive HTTP response");
    return request;
}

unsigned WinHttpClient::readStatus(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    checkWin32(WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX),
               "Read HTTP status");
    return status;
}

}  // namespace murel::win
