#pragma once
// HTTP and WebSocket transports over Boost.Beast: HTTPS/WSS through OpenSSL with the system trust
// store and host-name verification, or plain HTTP/WS for loopback origins.

#include <chrono>
#include <memory>
#include <string>

#include "platform/HttpTransport.hpp"
#include "platform/WebSocketTransport.hpp"
#include "protocol/Wire.hpp"

namespace murel {

struct TransportOptions {
    std::chrono::milliseconds resolveTimeout{5000};
    std::chrono::milliseconds connectTimeout{5000};
    std::chrono::milliseconds sendTimeout{5000};
    std::chrono::milliseconds receiveTimeout{15000};
    std::chrono::milliseconds closeTimeout{1000};
    // An additional PEM trust anchor file (for a private deployment or tests); the system store
    // is always trusted as well.
    std::string extraCaFile;
};

std::unique_ptr<HttpTransport> makeBeastHttpTransport(const ServerOrigin& origin,
                                                      TransportOptions options = {});
std::unique_ptr<WebSocketTransport> makeBeastWebSocketTransport(const ServerOrigin& origin,
                                                                TransportOptions options = {});

}  // namespace murel
