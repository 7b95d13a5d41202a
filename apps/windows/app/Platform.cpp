#include "app/Platform.hpp"

#include <chrono>
#include <utility>

#include "platform/HttpClient.hpp"

namespace murel::app {

std::int64_t steadyClockNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t systemClockSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

HttpFactory httpOverTransport(HttpTransportFactory transports) {
    return [transports = std::move(transports)](const ServerOrigin& origin) -> std::unique_ptr<Http> {
        return std::make_unique<HttpClient>(transports(origin));
    };
}

SignalingFactory signalingOverTransport(WebSocketTransportFactory transports) {
    return [transports = std::move(transports)](
               const ServerOrigin& origin, std::string_view deviceToken,
               SignalingSocket::MessageHandler onMessage,
               SignalingSocket::FailureHandler onFailure) -> std::unique_ptr<SignalingSocket> {
        return std::make_unique<SignalingSocket>(transports(origin), deviceToken, std::move(onMessage),
                                                 std::move(onFailure));
    };
}

}  // namespace murel::app
