#pragma once
// HttpTransport over WinHTTP: each send opens its own session, connection and request.

#include "platform/HttpTransport.hpp"
#include "platform/win/WinHttpClient.hpp"
#include "protocol/Wire.hpp"

namespace murel::win {

class WinHttpTransport final : public HttpTransport {
public:
    explicit WinHttpTransport(ServerOrigin origin, int receiveTimeoutMs = kReceiveTimeoutMs);

    std::unique_ptr<HttpExchange> send(std::string_view method, std::string_view path, std::string_view headers,
                                       std::string_view body) override;

private:
    ServerOrigin origin_;
    int receiveTimeoutMs_;
};

}  // namespace murel::win
