#include "platform/win/WinHttpTransport.hpp"

#include <algorithm>
#include <utility>

#include "platform/win/WinError.hpp"

namespace murel::win {

namespace {

class WinHttpExchange final : public HttpExchange {
public:
    WinHttpExchange(WinHttpHandle session, WinHttpHandle connection, WinHttpHandle request)
        : session_(std::move(session)), connection_(std::move(connection)), request_(std::move(request)) {}

    ~WinHttpExchange() override {
        request_.reset();
        connection_.reset();
        session_.reset();
    }

    unsigned status() override { return WinHttpClient::readStatus(request_.get()); }

    std::size_t read(std::span<char> buffer) override {
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
        DWORD got = 0;
        checkWin32(WinHttpReadData(request_.get(), buffer.data(), wanted, &got), "Read HTTP response");
        // A count beyond the buffer would be a broken stack; never let it reach the caller's copy.
        if (got > wanted) throwWin32(ERROR_INVALID_DATA, "Read HTTP response");
        return got;
    }

private:
    WinHttpHandle session_;
    WinHttpHandle connection_;
    WinHttpHandle request_;
};

}  // namespace

WinHttpTransport::WinHttpTransport(ServerOrigin origin, int receiveTimeoutMs)
    : origin_(std::move(origin)), receiveTimeoutMs_(receiveTimeoutMs) {}

std::unique_ptr<HttpExchange> WinHttpTransport::send(std::string_view method, std::string_view path,
                                                     std::string_view headers, std::string_view body) {
    // Locals close in reverse order on a failure: request, connection, session.
    WinHttpHandle session = WinHttpClient::openSession(receiveTimeoutMs_);
    WinHttpHandle connection = WinHttpClient::connect(session.get(), origin_);
    WinHttpHandle request =
        WinHttpClient::openRequest(connection.get(), origin_, method, path, headers, body, false);
    return std::make_unique<WinHttpExchange>(std::move(session), std::move(connection), std::move(request));
}

}  // namespace murel::win
