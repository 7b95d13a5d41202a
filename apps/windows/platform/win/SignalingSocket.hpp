#pragma once
// The signaling channel's connection over the WinHTTP WebSocket.

#include <string_view>

#include "platform/SignalingSocket.hpp"
#include "protocol/Wire.hpp"

namespace murel::win {

// A murel::SignalingSocket whose transport is WinHttpWebSocketTransport for the given origin.
class SignalingSocket final : public murel::SignalingSocket {
public:
    SignalingSocket(const ServerOrigin& origin, std::string_view deviceToken, MessageHandler onMessage,
                    FailureHandler onFailure);
};

}  // namespace murel::win
