#pragma once
// Reads HTTP/1.1 requests off a byte stream with every part bounded: request line and header
// fields, body, chunk-size lines and trailer fields, and the whole request on the wire. Every
// failure, whatever the bytes, ends as a refusal status for the one connection; nothing is thrown.
// Trailer fields are checked and dropped, never merged into the header.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "protocol/Wire.hpp"

namespace murel {

struct HttpRequestLimits {
    std::size_t header = 16 * 1024;        // request line and header fields
    std::size_t body = kControlBodyLimit;  // decoded body
    std::size_t trailer = 4 * 1024;        // a chunk-size line, or the last chunk with its trailer
    std::size_t total = 256 * 1024;        // the request on the wire, framing included
};

using HttpRequestMessage = boost::beast::http::request<boost::beast::http::string_body>;

class HttpRequestReader {
public:
    enum class State { Incomplete, Complete, Failed };

    explicit HttpRequestReader(const HttpRequestLimits& limits = {});
    ~HttpRequestReader();
    HttpRequestReader(const HttpRequestReader&) = delete;
    HttpRequestReader& operator=(const HttpRequestReader&) = delete;

    // Takes the next bytes off the wire and parses as far as they go. Bytes after a complete
    // request are kept for the next one (pipelining).
    State put(std::string_view bytes);
    State state() const { return state_; }

    // The complete request. The reader starts on the next request at once, parsing any bytes it
    // already holds; see state().
    HttpRequestMessage take();

    // After a failure: 400 (malformed), 413 (body or request too large) or 431 (header or trailer
    // too large), an English reason for the client, and a short cause for the log.
    int failureStatus() const { return failureStatus_; }
    const char* failureText() const { return failureText_; }
    const std::string& failureCause() const { return failureCause_; }

    // Bytes held that belong to no finished request yet.
    std::size_t pendingBytes() const { return pending_.size(); }

private:
    class Parser;

    State parse();
    State fail(int status, const char* text, std::string cause);

    HttpRequestLimits limits_;
    std::unique_ptr<Parser> parser_;
    std::string pending_;
    std::size_t wireBytes_ = 0;
    State state_ = State::Incomplete;
    int failureStatus_ = 0;
    const char* failureText_ = "";
    std::string failureCause_;
};

}  // namespace murel
