#pragma once
// The platform primitive under HttpClient: one request on a fresh connection, the response read
// in pieces. The request rules (path, headers, limits, status handling, parsing, wiping) are not
// the transport's business; HttpClient applies them before and after these calls.

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

namespace murel {

// One sent request whose response headers have arrived. Destroying it releases everything the
// exchange opened (request, then connection, then session) and never throws.
class HttpExchange {
public:
    virtual ~HttpExchange() = default;
    // The numeric status of the response. Failure: ProtocolError with step "Read HTTP status".
    virtual unsigned status() = 0;
    // Copies the next at most buffer.size() bytes of the body into `buffer` (HttpClient passes
    // 8192 bytes) and returns how many; 0 means the body is complete.
    // Failure: ProtocolError with step "Read HTTP response".
    virtual std::size_t read(std::span<char> buffer) = 0;
};

class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    // Opens a new session and connection to the origin the transport was made for, sends `method`
    // and `path` with the header lines `headers` (each "Name: value\r\n", already complete and
    // validated) and the body bytes `body` (empty: no body, Content-Length 0 where one is sent),
    // without following redirects, sending cookies or answering authentication challenges, and
    // waits for the response headers.
    // `headers` and `body` may hold secrets: any copy the transport makes is wiped before send
    // returns. Failures are ProtocolError whose text begins with the step that failed ("Open HTTP
    // session", "Set HTTP timeouts", "Connect HTTP", "Open HTTP request", "Disable redirects",
    // "Disable ambient authentication", "Send HTTP request", "Receive HTTP response"); everything
    // opened so far is released before it throws.
    virtual std::unique_ptr<HttpExchange> send(std::string_view method, std::string_view path,
                                               std::string_view headers,
                                               std::string_view body) = 0;
};

}  // namespace murel
