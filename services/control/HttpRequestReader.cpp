#include "HttpRequestReader.hpp"

#include <new>
#include <stdexcept>

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

namespace murel {

namespace http = boost::beast::http;
using boost::beast::error_code;
using StringView = boost::beast::string_view;

// Builds the message from the parser's events. Header fields go into the message (the header limit
// keeps each far below what a field can hold); trailer fields are only counted.
class HttpRequestReader::Parser final : public http::basic_parser<true> {
public:
    explicit Parser(const HttpRequestLimits& limits) : limits_(limits) {
        header_limit(static_cast<std::uint32_t>(limits.header));
        body_limit(limits.body);
        eager(true);
    }

    HttpRequestMessage message;
    bool trailerTooLarge = false;

private:
    void on_request_impl(http::verb method, StringView methodText, StringView target, int version,
                         error_code&) override {
        if (method != http::verb::unknown) {
            message.method(method);
        } else {
            message.method_string(methodText);
        }
        message.target(target);
        message.version(static_cast<unsigned>(version));
    }

    void on_response_impl(int, StringView, int, error_code& ec) override { ec = http::error::bad_version; }

    void on_field_impl(http::field name, StringView nameText, StringView value, error_code& ec) override {
        if (!is_header_done()) {
            message.insert(name, nameText, value);
            return;
        }
        trailerBytes_ += nameText.size() + value.size() + 4;
        if (trailerBytes_ > limits_.trailer) {
            trailerTooLarge = true;
            ec = http::error::header_limit;
        }
    }

    void on_header_impl(error_code&) override {}

    void on_body_init_impl(const boost::optional<std::uint64_t>& length, error_code& ec) override {
        if (length && *length > limits_.body) {
            ec = http::error::body_limit;
            return;
        }
        if (length) message.body().reserve(static_cast<std::size_t>(*length));
    }

    std::size_t on_body_impl(StringView body, error_code& ec) override { return append(body, ec); }

    void on_chunk_header_impl(std::uint64_t, StringView extensions, error_code& ec) override {
        if (extensions.size() > limits_.trailer) {
            trailerTooLarge = true;
            ec = http::error::header_limit;
        }
    }

    std::size_t on_chunk_body_impl(std::uint64_t, StringView body, error_code& ec) override {
        return append(body, ec);
    }

    void on_finish_impl(error_code&) override {}

    std::size_t append(StringView body, error_code& ec) {
        if (body.size() > limits_.body - message.body().size()) {
            ec = http::error::body_limit;
            return 0;
        }
        message.body().append(body.data(), body.size());
        return body.size();
    }

    const HttpRequestLimits& limits_;
    std::size_t trailerBytes_ = 0;
};

HttpRequestReader::HttpRequestReader(const HttpRequestLimits& limits)
    : limits_(limits), parser_(std::make_unique<Parser>(limits_)) {}

HttpRequestReader::~HttpRequestReader() = default;

HttpRequestReader::State HttpRequestReader::put(std::string_view bytes) {
    if (state_ == State::Failed) return state_;
    // Once a request is complete the connection stops reading, so only a bounded tail of a
    // pipelined next request can be here; anything more is refused with that request.
    if (pending_.size() + bytes.size() > limits_.total) {
        return fail(413, "Request too large", "more than the request limit buffered");
    }
    pending_.append(bytes.data(), bytes.size());
    return parse();
}

HttpRequestMessage HttpRequestReader::take() {
    if (state_ != State::Complete) throw std::logic_error("no complete request to take");
    HttpRequestMessage message = std::move(parser_->message);
    parser_ = std::make_unique<Parser>(limits_);
    wireBytes_ = 0;
    state_ = State::Incomplete;
    parse();
    return message;
}

HttpRequestReader::State HttpRequestReader::parse() {
    while (state_ == State::Incomplete && !pending_.empty()) {
        error_code ec;
        std::size_t used = 0;
        try {
            used = parser_->put(boost::asio::const_buffer(pending_.data(), pending_.size()), ec);
        } catch (const std::length_error& e) {
            return fail(431, "Request header too large", e.what());
        } catch (const std::bad_alloc&) {
            return fail(413, "Request too large", "out of memory");
        } catch (const std::exception& e) {
            return fail(400, "Malformed HTTP request", e.what());
        }
        pending_.erase(0, used);
        wireBytes_ += used;

        const bool headerDone = parser_->is_header_done();
        if (ec == http::error::need_more) {
            if (!headerDone && pending_.size() >= limits_.header) {
                return fail(431, "Request header too large", "header over limit");
            }
            if (headerDone && pending_.size() > limits_.trailer) {
                return fail(431, "Request trailer too large", "chunk line or trailer over limit");
            }
            if (wireBytes_ + pending_.size() > limits_.total) {
                return fail(413, "Request too large", "request over limit");
            }
            break;
        }
        if (ec == http::error::header_limit) {
            if (parser_->trailerTooLarge) return fail(431, "Request trailer too large", "trailer over limit");
            return fail(431, "Request header too large", "header over limit");
        }
        if (ec == http::error::body_limit) return fail(413, "Request body too large", "body over limit");
        if (ec) return fail(400, "Malformed HTTP request", ec.message());
        if (wireBytes_ > limits_.total) return fail(413, "Request too large", "request over limit");
        if (parser_->is_done()) {
            state_ = State::Complete;
            break;
        }
        if (used == 0) break;
    }
    return state_;
}

HttpRequestReader::State HttpRequestReader::fail(int status, const char* text, std::string cause) {
    state_ = State::Failed;
    failureStatus_ = status;
    failureText_ = text;
    failureCause_ = std::move(cause);
    pending_.clear();
    return state_;
}

}  // namespace murel
