#include "platform/win/SignalingSocket.hpp"

#include <utility>

#include "platform/win/WinHttpWebSocketTransport.hpp"

namespace murel::win {

SignalingSocket::SignalingSocket(const ServerOrigin& origin, std::string_view deviceToken, MessageHandler onMessage,
                                 FailureHandler onFailure)
    : murel::SignalingSocket(std::make_unique<WinHttpWebSocketTransport>(origin), deviceToken,
                             std::move(onMessage), std::move(onFailure)) {}

}  // namespace murel::win
