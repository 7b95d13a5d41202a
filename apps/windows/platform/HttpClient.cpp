#include "platform/HttpClient.hpp"

#include <array>
#include <utility>

#include "protocol/Wipe.hpp"

namespace murel {

namespace {

constexpr std::string_view kAccept = "Accept: application/json\r\n";
constexpr std::string_view kAuthorization = "Authorization: Bearer ";
constexpr std::string_view kContentType = "Content-Type: application/json\r\n";

}  // namespace

void checkApiPath(std::string_view path) {
    const bool valid = path.size() >= 4 && path.substr(0, 4) == "/v1/" &&
                       path.find_first_of("?#\r\n") == std::string_view::npos;
    throwUnless(valid, "Invalid API path");
}

std::string buildHeaderBlock(std::string_view bearer, bool jsonBody) {
    if (!bearer.empty()) {
        try {
            validateCredential(bearer);
        } catch (const ProtocolError&) {
            throw ProtocolError("Invalid credential");
        }
    }
    std::string headers;
    // Reserved whole up front so the token is never left behind in a freed smaller buffer.
    headers.reserve(kAccept.size() + kAuthorization.size() + bearer.size() + 2 + kContentType.size());
    headers.append(kAccept);
    if (!bearer.empty()) {
        headers.append(kAuthorization);
        headers.append(bearer);
        headers.append("\r\n");
    }
    if (jsonBody) headers.append(kContentType);
    return headers;
}

HttpClient::HttpClient(std::unique_ptr<HttpTransport> transport) : transport_(std::move(transport)) {}

Json HttpClient::request(const HttpRequest& request) {
    checkApiPath(request.path);

    std::string body;
    WipeOnExit wipeBody(body);
    if (!request.body.is_null()) {
        body = toCompactJson(request.body);
        throwUnless(body.size() <= kControlBodyLimit, "Request too large");
    }
    std::string headers = buildHeaderBlock(request.bearer, !body.empty());
    WipeOnExit wipeHeaders(headers);

    std::unique_ptr<HttpExchange> exchange =
        transport_->send(request.method, request.path, headers, body);
    wipe(headers);
    wipe(body);

    const unsigned status = exchange->status();

    std::string response;
    WipeOnExit wipeResponse(response);
    response.reserve(kControlBodyLimit);  // never reallocated, so no stray copies to wipe
    std::array<char, kHttpReadChunk> chunk;
    struct ChunkWipe {
        std::array<char, kHttpReadChunk>& bytes;
        ~ChunkWipe() { wipe(bytes.data(), bytes.size()); }
    } wipeChunk{chunk};
    for (;;) {
        const std::size_t got = exchange->read(chunk);
        if (got == 0) break;
        throwUnless(got <= chunk.size() && response.size() + got <= kControlBodyLimit,
                    "HTTP response too large");
        response.append(chunk.data(), got);
    }

    if (status < 200 || status > 299) {
        wipe(response);
        throw HttpStatusError(status);
    }
    Json parsed = parseWire(response, kControlBodyLimit);
    exchange.reset();
    return parsed;
}

}  // namespace murel
