#include "platform/win/WinHttpWebSocketTransport.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "platform/win/WinError.hpp"

namespace murel::win {

WinHttpWebSocketTransport::WinHttpWebSocketTransport(ServerOrigin origin, CloseTimeout closeTimeout)
    : origin_(std::move(origin)), closeTimeout_(closeTimeout) {}

WinHttpWebSocketTransport::~WinHttpWebSocketTransport() {
    socket_.reset();
    request_.reset();
    connection_.reset();
    session_.reset();
}

unsigned WinHttpWebSocketTransport::upgrade(std::string_view path, std::string_view headers) {
    session_ = WinHttpClient::openSession();
    connection_ = WinHttpClient::connect(session_.get(), origin_);
    request_ = WinHttpClient::openRequest(connection_.get(), origin_, "GET", path, headers, {}, true);
    return WinHttpClient::readStatus(request_.get());
}

void WinHttpWebSocketTransport::completeUpgrade() {
    socket_ = WinHttpHandle(WinHttpWebSocketCompleteUpgrade(request_.get(), 0));
    checkWin32(static_cast<bool>(socket_), "Complete WebSocket upgrade");
    DWORD timeout = kWebSocketCloseTimeoutMs;
    if (!WinHttpSetOption(socket_.get(), WINHTTP_OPTION_WEB_SOCKET_CLOSE_TIMEOUT, &timeout, sizeof(timeout))) {
        const DWORD error = GetLastError();
        if (!(closeTimeout_ == CloseTimeout::IfSupported && error == ERROR_WINHTTP_INVALID_OPTION)) {
            throwWin32(error, "Set WebSocket close timeout");
        }
    }
    // The WebSocket handle lives on its own; the request has served its purpose.
    request_.reset();
}

WebSocketReceived WinHttpWebSocketTransport::receive(std::span<char> buffer) {
    if (!socket_ || closed_.load()) throw std::runtime_error("WebSocket closed");
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    DWORD got = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;
    const DWORD error = WinHttpWebSocketReceive(socket_.get(), buffer.data(), wanted, &got, &type);
    if (error != NO_ERROR) throwWin32(error, "Receive WebSocket message");
    if (got > wanted) throwWin32(ERROR_INVALID_DATA, "Receive WebSocket message");
    switch (type) {
    case WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE:
        return {WebSocketFrame::Utf8Message, got};
    case WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE:
        return {WebSocketFrame::Utf8Fragment, got};
    case WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE:
        return {WebSocketFrame::BinaryMessage, got};
    case WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE:
        return {WebSocketFrame::BinaryFragment, got};
    case WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE:
        return {WebSocketFrame::Close, 0};
    }
    throwWin32(ERROR_INVALID_DATA, "Receive WebSocket message");
}

void WinHttpWebSocketTransport::sendText(std::string_view message) {
    if (!socket_ || closed_.load()) throw std::runtime_error("WebSocket closed");
    if (message.size() > MAXDWORD) throwWin32(ERROR_INVALID_PARAMETER, "Send WebSocket message");
    const DWORD error = WinHttpWebSocketSend(socket_.get(), WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                             const_cast<char*>(message.data()), static_cast<DWORD>(message.size()));
    if (error != NO_ERROR) throwWin32(error, "Send WebSocket message");
}

void WinHttpWebSocketTransport::close() noexcept {
    if (closed_.exchange(true) || !socket_) return;
    WinHttpWebSocketClose(socket_.get(), WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
}

}  // namespace murel::win
