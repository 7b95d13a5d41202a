// Every Boost.Beast use of the client lives in this one file: it is slow to compile.
#include "BeastTransport.hpp"

#include <atomic>
#include <future>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "WipingAllocator.hpp"
#include "protocol/Wipe.hpp"

namespace murel {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
using SecretFields = http::basic_fields<WipingAllocator<char>>;
using SecretBuffer = beast::basic_flat_buffer<WipingAllocator<char>>;

constexpr const char* kUserAgent = "MurelLinux/0.1";

// Beast of this Boost version takes boost::string_view.
beast::string_view view(std::string_view text) { return {text.data(), text.size()}; }

[[noreturn]] void stepFailed(const char* step, const ErrorCode& ec) {
    const std::string detail = ec == beast::error::timeout ? "timed out" : ec.message();
    throw ProtocolError(std::string(step) + " failed (" + detail + ")");
}

// Runs the io_context on the calling thread until every started operation has finished.
void runToCompletion(net::io_context& ioc) {
    ioc.restart();
    ioc.run();
}

std::string hostHeader(const ServerOrigin& origin) {
    const bool ipv6 = origin.host.find(':') != std::string::npos;
    std::string value = ipv6 ? "[" + origin.host + "]" : origin.host;
    if (origin.port != (origin.secure ? 443 : 80)) value += ":" + std::to_string(origin.port);
    return value;
}

// Applies "Name: value\r\n" lines to a header field set.
template <class Fields>
void applyHeaderLines(Fields& fields, std::string_view lines) {
    while (!lines.empty()) {
        const auto end = lines.find("\r\n");
        const std::string_view line = lines.substr(0, end);
        lines = end == std::string_view::npos ? std::string_view{} : lines.substr(end + 2);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        fields.set(view(line.substr(0, colon)), view(value));
    }
}

void prepareTls(ssl::context& context, const TransportOptions& options) {
    context.set_default_verify_paths();
    if (!options.extraCaFile.empty()) context.load_verify_file(options.extraCaFile);
    context.set_verify_mode(ssl::verify_peer);
}

// Resolves and connects the TCP layer, then runs the TLS handshake with host-name verification.
// The platform reports all of these as failures of sending the request.
template <class Stream>
void openStream(net::io_context& ioc, Stream& stream, const ServerOrigin& origin,
                const TransportOptions& options) {
    constexpr const char* kStep = "Send HTTP request";
    tcp::resolver resolver(ioc);
    net::steady_timer timer(ioc);
    ErrorCode ec = net::error::would_block;
    tcp::resolver::results_type endpoints;
    bool timedOut = false;
    timer.expires_after(options.resolveTimeout);
    timer.async_wait([&](ErrorCode e) {
        if (!e) {
            timedOut = true;
            resolver.cancel();
        }
    });
    resolver.async_resolve(origin.host, std::to_string(origin.port),
                           [&](ErrorCode e, tcp::resolver::results_type results) {
                               ec = e;
                               endpoints = std::move(results);
                               timer.cancel();
                           });
    runToCompletion(ioc);
    if (timedOut) stepFailed(kStep, beast::error::timeout);
    if (ec) stepFailed(kStep, ec);

    beast::tcp_stream& lowest = beast::get_lowest_layer(stream);
    lowest.expires_after(options.connectTimeout);
    lowest.async_connect(endpoints, [&](ErrorCode e, const tcp::endpoint&) { ec = e; });
    runToCompletion(ioc);
    if (ec) stepFailed(kStep, ec);

    if constexpr (std::is_same_v<Stream, TlsStream>) {
        ErrorCode literal;
        net::ip::make_address(origin.host, literal);
        if (literal && !SSL_set_tlsext_host_name(stream.native_handle(), origin.host.c_str())) {
            stepFailed(kStep, ErrorCode(static_cast<int>(::ERR_get_error()),
                                        net::error::get_ssl_category()));
        }
        stream.set_verify_callback(ssl::host_name_verification(origin.host));
        lowest.expires_after(options.sendTimeout);
        stream.async_handshake(ssl::stream_base::client, [&](ErrorCode e) { ec = e; });
        runToCompletion(ioc);
        if (ec) stepFailed(kStep, ec);
    }
}

// ---------------------------------------------------------------------------------------------
// HTTP

template <class Stream>
class BeastHttpExchange final : public HttpExchange {
public:
    explicit BeastHttpExchange(const TransportOptions& options) : options_(options) {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            prepareTls(tls_, options_);
            stream_.emplace(ioc_, tls_);
        } else {
            stream_.emplace(ioc_);
        }
        parser_.body_limit(std::numeric_limits<std::uint64_t>::max());  // HttpClient bounds it
    }

    ~BeastHttpExchange() override {
        ErrorCode ignored;
        beast::get_lowest_layer(*stream_).socket().close(ignored);
    }

    void start(const ServerOrigin& origin, std::string_view method, std::string_view path,
               std::string_view headers, std::string_view body) {
        openStream(ioc_, *stream_, origin, options_);

        http::request<http::buffer_body, SecretFields> request;
        request.method_string(view(method));
        request.target(view(path));
        request.version(11);
        request.set(http::field::host, hostHeader(origin));
        request.set(http::field::user_agent, kUserAgent);
        applyHeaderLines(request, headers);
        // The body is sent from the caller's buffer, which the caller wipes.
        request.body().data = const_cast<char*>(body.data());
        request.body().size = body.size();
        request.body().more = false;
        if (!body.empty() || method != "GET") request.content_length(body.size());

        ErrorCode ec;
        auto& lowest = beast::get_lowest_layer(*stream_);
        lowest.expires_after(options_.sendTimeout);
        http::async_write(*stream_, request, [&](ErrorCode e, std::size_t) { ec = e; });
        runToCompletion(ioc_);
        if (ec) stepFailed("Send HTTP request", ec);

        lowest.expires_after(options_.receiveTimeout);
        http::async_read_header(*stream_, buffer_, parser_, [&](ErrorCode e, std::size_t) { ec = e; });
        runToCompletion(ioc_);
        if (ec) stepFailed("Receive HTTP response", ec);
    }

    unsigned status() override { return parser_.get().result_int(); }

    std::size_t read(std::span<char> out) override {
        if (out.empty()) return 0;
        auto& lowest = beast::get_lowest_layer(*stream_);
        for (;;) {
            if (parser_.is_done()) return 0;
            parser_.get().body().data = out.data();
            parser_.get().body().size = out.size();
            ErrorCode ec;
            lowest.expires_after(options_.receiveTimeout);
            http::async_read(*stream_, buffer_, parser_, [&](ErrorCode e, std::size_t) { ec = e; });
            runToCompletion(ioc_);
            if (ec == http::error::need_buffer) ec = {};
            if (ec) stepFailed("Read HTTP response", ec);
            const std::size_t got = out.size() - parser_.get().body().size;
            parser_.get().body().data = nullptr;
            if (got > 0) return got;
        }
    }

private:
    TransportOptions options_;
    net::io_context ioc_{1};
    ssl::context tls_{ssl::context::tls_client};
    std::optional<Stream> stream_;
    SecretBuffer buffer_;
    http::response_parser<http::buffer_body> parser_;
};

class BeastHttpTransport final : public HttpTransport {
public:
    BeastHttpTransport(ServerOrigin origin, TransportOptions options)
        : origin_(std::move(origin)), options_(std::move(options)) {}

    std::unique_ptr<HttpExchange> send(std::string_view method, std::string_view path,
                                       std::string_view headers, std::string_view body) override {
        if (origin_.secure) return sendWith<TlsStream>(method, path, headers, body);
        return sendWith<PlainStream>(method, path, headers, body);
    }

private:
    template <class Stream>
    std::unique_ptr<HttpExchange> sendWith(std::string_view method, std::string_view path,
                                           std::string_view headers, std::string_view body) {
        std::unique_ptr<BeastHttpExchange<Stream>> exchange;
        try {
            exchange = std::make_unique<BeastHttpExchange<Stream>>(options_);
        } catch (const boost::system::system_error& e) {
            stepFailed("Open HTTP session", e.code());
        }
        exchange->start(origin_, method, path, headers, body);
        return exchange;
    }

    ServerOrigin origin_;
    TransportOptions options_;
};

// ---------------------------------------------------------------------------------------------
// WebSocket

struct ReadResult {
    ErrorCode ec;
    std::size_t size = 0;
    bool done = false;
    bool text = false;
};

template <class Stream>
class BeastWebSocket final : public WebSocketTransport {
public:
    BeastWebSocket(ServerOrigin origin, TransportOptions options)
        : origin_(std::move(origin)),
          options_(std::move(options)),
          closeTimer_(ioc_) {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            prepareTls(tls_, options_);
            socket_.emplace(ioc_, tls_);
        } else {
            socket_.emplace(ioc_);
        }
    }

    ~BeastWebSocket() override {
        close();
        if (io_.joinable()) {
            net::post(ioc_, [this] {
                ErrorCode ignored;
                beast::get_lowest_layer(*socket_).socket().close(ignored);
            });
            work_.reset();
            ioc_.stop();
            io_.join();
        }
    }

    unsigned upgrade(std::string_view path, std::string_view headers) override {
        openStream(ioc_, socket_->next_layer(), origin_, options_);
        // The upgrade is bounded by the TCP layer's limit; the WebSocket stream's own handshake
        // timer stays off (with it, a refused upgrade only completes when that timer fires).
        websocket::stream_base::timeout limits{};
        limits.handshake_timeout = websocket::stream_base::none();
        limits.idle_timeout = websocket::stream_base::none();
        limits.keep_alive_pings = false;
        socket_->set_option(limits);
        beast::get_lowest_layer(*socket_).expires_after(options_.receiveTimeout);
        pendingHeaders_ = headers;
        socket_->set_option(websocket::stream_base::decorator([this](websocket::request_type& request) {
            request.set(http::field::user_agent, kUserAgent);
            applyHeaderLines(request, pendingHeaders_);
        }));

        websocket::response_type response;
        ErrorCode ec;
        socket_->async_handshake(response, hostHeader(origin_), view(path), [&](ErrorCode e) { ec = e; });
        runToCompletion(ioc_);
        pendingHeaders_ = {};
        beast::get_lowest_layer(*socket_).expires_never();
        if (ec == websocket::error::upgrade_declined) return response.result_int();
        if (ec) stepFailed("Receive HTTP response", ec);
        return response.result_int();
    }

    void completeUpgrade() override {
        socket_->text(true);
        socket_->auto_fragment(false);
        ioc_.restart();
        work_.emplace(net::make_work_guard(ioc_));
        io_ = std::thread([this] { ioc_.run(); });
    }

    WebSocketReceived receive(std::span<char> buffer) override {
        if (closing_.load()) throw std::runtime_error("closed");
        auto result = std::make_shared<std::promise<ReadResult>>();
        std::future<ReadResult> done = result->get_future();
        net::post(ioc_, [this, buffer, result] {
            socket_->async_read_some(net::buffer(buffer.data(), buffer.size()),
                                    [this, result](ErrorCode ec, std::size_t size) {
                                        result->set_value({ec, size, socket_->is_message_done(),
                                                           socket_->got_text()});
                                    });
        });
        const ReadResult got = done.get();
        if (closing_.load()) throw std::runtime_error("closed");
        if (got.ec == websocket::error::closed) return {WebSocketFrame::Close, 0};
        if (got.ec) throw std::runtime_error(got.ec.message());
        if (got.text) {
            return {got.done ? WebSocketFrame::Utf8Message : WebSocketFrame::Utf8Fragment, got.size};
        }
        return {got.done ? WebSocketFrame::BinaryMessage : WebSocketFrame::BinaryFragment, got.size};
    }

    void sendText(std::string_view message) override {
        auto result = std::make_shared<std::promise<ErrorCode>>();
        std::future<ErrorCode> done = result->get_future();
        net::post(ioc_, [this, message, result] {
            socket_->async_write(net::buffer(message.data(), message.size()),
                                [result](ErrorCode ec, std::size_t) { result->set_value(ec); });
        });
        const ErrorCode ec = done.get();
        if (ec) throw std::runtime_error(ec.message());
    }

    void close() noexcept override {
        if (closing_.exchange(true) || !io_.joinable()) return;
        try {
            auto finished = std::make_shared<std::promise<void>>();
            std::future<void> done = finished->get_future();
            net::post(ioc_, [this, finished] {
                // The close handshake gets a bounded time; then the socket is torn down, which
                // also ends a pending read.
                closeTimer_.expires_after(options_.closeTimeout);
                closeTimer_.async_wait([this](ErrorCode ec) {
                    if (ec) return;
                    ErrorCode ignored;
                    beast::get_lowest_layer(*socket_).socket().close(ignored);
                });
                socket_->async_close(websocket::close_code::normal, [this, finished](ErrorCode) {
                    closeTimer_.cancel();
                    ErrorCode ignored;
                    beast::get_lowest_layer(*socket_).socket().close(ignored);
                    finished->set_value();
                });
            });
            done.wait_for(options_.closeTimeout + std::chrono::seconds(2));
        } catch (...) {
            // close never throws; the destructor tears the socket down in any case.
        }
    }

private:
    ServerOrigin origin_;
    TransportOptions options_;
    net::io_context ioc_{1};
    ssl::context tls_{ssl::context::tls_client};
    std::optional<websocket::stream<Stream>> socket_;
    net::steady_timer closeTimer_;
    std::string_view pendingHeaders_;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work_;
    std::thread io_;
    std::atomic<bool> closing_{false};
};

}  // namespace

std::unique_ptr<HttpTransport> makeBeastHttpTransport(const ServerOrigin& origin,
                                                      TransportOptions options) {
    return std::make_unique<BeastHttpTransport>(origin, std::move(options));
}

std::unique_ptr<WebSocketTransport> makeBeastWebSocketTransport(const ServerOrigin& origin,
                                                                TransportOptions options) {
    try {
        if (origin.secure) return std::make_unique<BeastWebSocket<TlsStream>>(origin, std::move(options));
        return std::make_unique<BeastWebSocket<PlainStream>>(origin, std::move(options));
    } catch (const boost::system::system_error& e) {
        stepFailed("Open HTTP session", e.code());
    }
}

}  // namespace murel
