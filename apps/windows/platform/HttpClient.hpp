#pragma once
// The control-service HTTP client: the request rules, applied over a platform HttpTransport.

#include <memory>
#include <string>
#include <string_view>

#include "platform/HttpTransport.hpp"
#include "protocol/Http.hpp"

namespace murel {

inline constexpr std::size_t kHttpReadChunk = 8192;

// "Invalid API path" unless the path is at least 4 bytes, begins "/v1/" and holds no '?', '#',
// CR or LF.
void checkApiPath(std::string_view path);

// The request header block: "Accept: application/json\r\n", then, for a non-empty bearer (checked
// with validateCredential first), "Authorization: Bearer <token>\r\n", then, when `jsonBody`,
// "Content-Type: application/json\r\n". The result holds the token: the caller wipes it.
std::string buildHeaderBlock(std::string_view bearer, bool jsonBody);

// The service answered with a status outside 2xx: "Control API returned HTTP <status>". status()
// lets a caller tell "that no longer exists" (404) from a refusal.
class HttpStatusError : public ProtocolError {
public:
    explicit HttpStatusError(unsigned status)
        : ProtocolError("Control API returned HTTP " + std::to_string(status)), status_(status) {}
    unsigned status() const { return status_; }

private:
    unsigned status_;
};

class HttpClient final : public Http {
public:
    explicit HttpClient(std::unique_ptr<HttpTransport> transport);

    // One request, one fresh connection; the response body as a JSON object, or ProtocolError.
    Json request(const HttpRequest& request) override;

private:
    std::unique_ptr<HttpTransport> transport_;
};

}  // namespace murel
