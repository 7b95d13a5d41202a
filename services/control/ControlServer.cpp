#include "ControlServer.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <unordered_map>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "HttpRequestReader.hpp"
#include "WorkerPool.hpp"

namespace murel {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

constexpr std::size_t kOutgoingQueueLimit = 1024;
constexpr std::size_t kOutgoingBytesLimit = 4 * 1024 * 1024;
constexpr auto kHttpTimeout = 30s;
constexpr auto kHandshakeTimeout = 10s;
// How long a connection being closed by the service may take to flush its close frame.
constexpr auto kCloseGrace = 10s;
constexpr std::size_t kHashWorkers = 2;

using Log = LogSink;

struct Context {
    ControlService& service;
    WorkerPool& pool;
    ssl::context* tls;
    const ServiceOptions& options;
    const Log& log;
    std::atomic<std::size_t> connections{0};
    std::mutex addressMutex{};
    std::unordered_map<std::string, std::size_t> addressConnections{};
    LogThrottle refusedConnections{std::chrono::seconds(1)};
    LogThrottle refusedBusy{std::chrono::seconds(1)};
    LogThrottle badRequests{std::chrono::seconds(1)};
    LogThrottle overflows{std::chrono::seconds(1)};
};

// Logs a line a client can provoke at will at most once a second, saying how many were held back.
void logThrottled(Context& context, LogThrottle& throttle, LogLevel level, const std::string& line) {
    if (const auto held = throttle.admit()) {
        context.log(level, *held == 0 ? line : line + " (" + std::to_string(*held) + " more since the last such line)");
    }
}

// One connection's share of the global and the per-address connection limits, from accept until
// the connection object (HTTP, then perhaps signaling) is gone.
class ConnectionSlot {
public:
    static std::optional<ConnectionSlot> acquire(Context& context, const std::string& address, const char*& refusal) {
        std::lock_guard lock(context.addressMutex);
        if (context.connections.load() >= context.options.maxConnections) {
            refusal = "connection limit reached";
            return std::nullopt;
        }
        auto& count = context.addressConnections[address];
        if (count >= context.options.maxConnectionsPerAddress) {
            refusal = "per-address connection limit reached";
            return std::nullopt;
        }
        ++count;
        ++context.connections;
        return ConnectionSlot(context, address);
    }
    ConnectionSlot(ConnectionSlot&& other) noexcept
        : context_(std::exchange(other.context_, nullptr)), address_(std::move(other.address_)) {}
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() {
        if (!context_) return;
        std::lock_guard lock(context_->addressMutex);
        const auto it = context_->addressConnections.find(address_);
        if (it != context_->addressConnections.end() && --it->second == 0) context_->addressConnections.erase(it);
        --context_->connections;
    }
    const std::string& address() const { return address_; }

private:
    ConnectionSlot(Context& context, std::string address) : context_(&context), address_(std::move(address)) {}
    Context* context_;
    std::string address_;
};

template <class Stream>
constexpr bool kSecure = !std::is_same_v<Stream, beast::tcp_stream>;

std::string endpointText(const tcp::endpoint& endpoint) {
    const auto address = endpoint.address();
    const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

// The key of the per-address limits: an IPv4 address, or the /64 an IPv6 address belongs to (one
// host usually holds a whole /64).
std::string addressKey(const net::ip::address& address) {
    if (address.is_v4()) return address.to_string();
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) return net::ip::make_address_v4(net::ip::v4_mapped, v6).to_string();
    auto bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return net::ip::address_v6(bytes).to_string() + "/64";
}

template <class Body>
void setCommonHeaders(http::response<Body>& response) {
    response.set(http::field::server, "murel-control");
    response.set(http::field::content_type, "application/json");
    response.set(http::field::cache_control, "no-store");
}

http::response<http::string_body> jsonResponse(int status, std::string body, unsigned version, bool keepAlive,
                                               std::int64_t retryAfter = 0) {
    http::response<http::string_body> response{static_cast<http::status>(status), version};
    setCommonHeaders(response);
    if (retryAfter > 0) response.set(http::field::retry_after, std::to_string(retryAfter));
    response.keep_alive(keepAlive);
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

std::string errorBody(std::string_view message) {
    return toCompactJson(Json{{"error", std::string(message)}});
}

// Ends a plain or TLS stream after the last response.
template <class Stream>
void closeStream(std::shared_ptr<Stream> stream) {
    if constexpr (kSecure<Stream>) {
        beast::get_lowest_layer(*stream).expires_after(5s);
        stream->async_shutdown([stream](beast::error_code) { beast::get_lowest_layer(*stream).close(); });
    } else {
        beast::error_code ec;
        stream->socket().shutdown(tcp::socket::shutdown_send, ec);
        stream->close();
    }
}

// ---------------------------------------------------------------------------------------------
// Signaling: one device's WebSocket.

template <class Stream>
class SignalingConnection : public SignalingLink,
                            public std::enable_shared_from_this<SignalingConnection<Stream>> {
public:
    SignalingConnection(Context& context, Stream&& stream, std::string remote, ConnectionSlot slot)
        : context_(context),
          slot_(std::move(slot)),
          ws_(std::move(stream)),
          idle_(ws_.get_executor()),
          closeDeadline_(ws_.get_executor()),
          remote_(std::move(remote)) {}

    void start(HttpRequestMessage request) {
        auto self = this->shared_from_this();
        const auto admission = context_.service.admitSignaling(std::string(request[http::field::authorization]),
                                                               self, slot_.address());
        if (admission.status != 101) {
            context_.log(LogLevel::Info, "signaling refused " + remote_ + " status " + std::to_string(admission.status));
            const char* text = admission.status == 409   ? "Device already connected"
                               : admission.status == 429 ? "Too many requests; try again later"
                                                         : "Missing, invalid or expired token";
            auto response = std::make_shared<http::response<http::string_body>>(
                jsonResponse(admission.status, errorBody(text), request.version(), false, admission.retryAfter));
            beast::get_lowest_layer(ws_).expires_after(kHttpTimeout);
            http::async_write(ws_.next_layer(), *response, [self, response](beast::error_code, std::size_t) {
                auto stream = std::make_shared<Stream>(std::move(self->ws_.next_layer()));
                closeStream(stream);
            });
            return;
        }
        deviceId_ = admission.deviceId;
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = kHandshakeTimeout;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, "murel-control"); }));
        ws_.read_message_max(kSignalingMessageLimit);
        // The device leaves as soon as its close frame arrives, not only after the TCP teardown.
        ws_.control_callback([weak = this->weak_from_this()](websocket::frame_type kind, beast::string_view) {
            if (kind != websocket::frame_type::close) return;
            if (auto self = weak.lock()) self->leave();
        });
        ws_.auto_fragment(false);
        ws_.async_accept(request, [self](beast::error_code ec) { self->onAccept(ec); });
    }

    void deliver(std::string message) override {
        net::post(ws_.get_executor(), [self = this->shared_from_this(), message = std::move(message)]() mutable {
            self->enqueue(std::move(message));
        });
    }

    void disconnect() override {
        net::post(ws_.get_executor(), [self = this->shared_from_this()] {
            self->closeWith(websocket::close_code::policy_error, "device removed");
        });
    }

private:
    void onAccept(beast::error_code ec) {
        if (ec) {
            context_.log(LogLevel::Debug, "signaling handshake failed " + remote_ + ": " + ec.message());
            finish();
            return;
        }
        accepted_ = true;
        if (closing_) {
            // Closed before the handshake ended (a full queue, a removed device): say so now.
            armCloseDeadline();
            sendClose();
            doRead();
            return;
        }
        armIdle();
        doRead();
        writeNext();
    }

    void armIdle() {
        idle_.expires_after(std::chrono::seconds(context_.options.signalingIdleSeconds));
        idle_.async_wait([weak = this->weak_from_this()](beast::error_code ec) {
            if (ec) return;
            if (auto self = weak.lock()) {
                self->context_.log(LogLevel::Info, "signaling idle timeout device=" + self->deviceId_);
                self->closeWith(websocket::close_code::going_away, "idle");
            }
        });
    }

    void doRead() {
        ws_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->onRead(ec);
        });
    }

    void onRead(beast::error_code ec) {
        if (ec) {
            if (ec == websocket::error::message_too_big) {
                context_.log(LogLevel::Warning, "signaling message too large device=" + deviceId_);
            }
            finish();
            return;
        }
        if (closing_) {
            buffer_.consume(buffer_.size());
            doRead();
            return;
        }
        armIdle();
        if (!ws_.got_text()) {
            buffer_.consume(buffer_.size());
            context_.log(LogLevel::Warning, "signaling binary frame device=" + deviceId_);
            closeWith(websocket::close_code::unknown_data, "binary frames are not accepted");
            doRead();
            return;
        }
        const std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        if (!context_.service.receiveSignaling(this->shared_from_this(), text)) {
            context_.log(LogLevel::Warning, "signaling invalid message device=" + deviceId_);
            closeWith(websocket::close_code::bad_payload, "invalid message");
        }
        doRead();
    }

    void enqueue(std::string message) {
        if (closing_ || finished_) return;
        if (queue_.size() >= kOutgoingQueueLimit || queuedBytes_ + message.size() > kOutgoingBytesLimit) {
            // A receiver that does not keep up is dropped at once: its session ends for both
            // members now, not when the stalled socket finally gives way.
            logThrottled(context_, context_.overflows, LogLevel::Warning,
                         "signaling send queue full, closing device=" + deviceId_);
            closeWith(websocket::close_code::try_again_later, "send queue full");
            return;
        }
        queuedBytes_ += message.size();
        queue_.push_back(std::move(message));
        writeNext();
    }

    void writeNext() {
        if (!accepted_ || writing_ || finished_) return;
        if (queue_.empty() || closing_) {
            if (closing_ && !closeSent_) sendClose();
            return;
        }
        writing_ = true;
        ws_.text(true);
        ws_.async_write(net::buffer(queue_.front()),
                        [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                            self->writing_ = false;
                            self->queuedBytes_ -= self->queue_.front().size();
                            self->queue_.pop_front();
                            if (ec) {
                                self->finish();
                                return;
                            }
                            self->writeNext();
                        });
    }

    // Every close the service starts ends the device's presence (and its session) at once; the
    // close frame follows the message being written, if any, and the socket goes after a grace
    // period whether or not the frame got through.
    void closeWith(websocket::close_code code, const char* reason) {
        if (closing_ || finished_) return;
        closing_ = true;
        closeReason_ = websocket::close_reason(code, reason);
        dropQueued();
        leave();
        if (!accepted_) return;
        armCloseDeadline();
        if (!writing_) sendClose();
    }

    void armCloseDeadline() {
        idle_.cancel();
        closeDeadline_.expires_after(kCloseGrace);
        closeDeadline_.async_wait([weak = this->weak_from_this()](beast::error_code ec) {
            if (ec) return;
            if (auto self = weak.lock()) self->finish();
        });
    }

    void sendClose() {
        closeSent_ = true;
        ws_.async_close(closeReason_, [self = this->shared_from_this()](beast::error_code) {
            // The pending read completes once the close handshake is over (or times out).
        });
    }

    void leave() {
        if (left_) return;
        left_ = true;
        context_.service.leaveSignaling(this->shared_from_this());
    }

    // Drops queued messages, except the one a write in flight still reads from.
    void dropQueued() {
        const std::size_t keep = writing_ ? 1 : 0;
        while (queue_.size() > keep) {
            queuedBytes_ -= queue_.back().size();
            queue_.pop_back();
        }
    }

    void finish() {
        if (finished_) return;
        finished_ = true;
        idle_.cancel();
        closeDeadline_.cancel();
        dropQueued();
        leave();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    Context& context_;
    ConnectionSlot slot_;
    websocket::stream<Stream> ws_;
    net::steady_timer idle_;
    net::steady_timer closeDeadline_;
    beast::flat_buffer buffer_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    std::string remote_;
    std::string deviceId_;
    websocket::close_reason closeReason_;
    bool accepted_ = false;
    bool writing_ = false;
    bool closing_ = false;
    bool closeSent_ = false;
    bool finished_ = false;
    bool left_ = false;
};

// ---------------------------------------------------------------------------------------------
// HTTP: keep-alive request loop; hands signaling upgrades over to a SignalingConnection.

bool isSlowRoute(std::string_view target) {
    return target == "/v1/auth/register" || target == "/v1/auth/login";
}

template <class Stream>
class HttpConnection : public std::enable_shared_from_this<HttpConnection<Stream>> {
public:
    HttpConnection(Context& context, Stream&& stream, std::string remote, ConnectionSlot slot)
        : context_(context),
          slot_(std::move(slot)),
          stream_(std::move(stream)),
          remote_(std::move(remote)),
          reader_(HttpRequestLimits{}) {}

    void start() { doRead(); }

private:
    // The whole request, however it trickles in, must arrive within the time-out.
    void doRead() {
        beast::get_lowest_layer(stream_).expires_after(kHttpTimeout);
        readMore();
    }

    void readMore() {
        switch (reader_.state()) {
            case HttpRequestReader::State::Complete:
                onRequest(reader_.take());
                return;
            case HttpRequestReader::State::Failed:
                onMalformed();
                return;
            case HttpRequestReader::State::Incomplete:
                break;
        }
        stream_.async_read_some(net::buffer(incoming_),
                                [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                                    self->onBytes(ec, n);
                                });
    }

    void onBytes(beast::error_code ec, std::size_t n) {
        if (ec) {
            // End of stream, time-out or reset: nothing to answer.
            close();
            return;
        }
        reader_.put(std::string_view(incoming_.data(), n));
        readMore();
    }

    void onMalformed() {
        logThrottled(context_, context_.badRequests, LogLevel::Warning,
                     "http " + remote_ + " refused: " + reader_.failureCause() + ": " +
                         std::to_string(reader_.failureStatus()));
        send(jsonResponse(reader_.failureStatus(), errorBody(reader_.failureText()), 11, false));
    }

    void onRequest(HttpRequestMessage request) {
        if (websocket::is_upgrade(request)) {
            if (request.target() != "/v1/signaling") {
                send(jsonResponse(404, errorBody("Not found"), request.version(), false));
                return;
            }
            context_.log(LogLevel::Info, "http " + remote_ + " GET /v1/signaling upgrade");
            auto connection = std::make_shared<SignalingConnection<Stream>>(context_, std::move(stream_), remote_,
                                                                            std::move(slot_));
            connection->start(std::move(request));
            return;
        }
        auto api = std::make_shared<ApiRequest>();
        api->method = std::string(request.method_string());
        api->target = std::string(request.target());
        api->authorization = std::string(request[http::field::authorization]);
        api->body = std::move(request.body());
        // Limits are kept per client address, whatever the source port.
        api->remote = slot_.address();
        const unsigned version = request.version();
        const bool keepAlive = request.keep_alive();
        wipe(request.body());
        auto self = this->shared_from_this();
        auto respond = [self, api, version, keepAlive](ApiReply reply) {
            self->context_.log(LogLevel::Info, "http " + self->remote_ + " " + api->method + " " + api->target + " " +
                                                   std::to_string(reply.status));
            wipe(api->authorization);
            wipe(api->body);
            const bool keep = keepAlive && reply.status < 500;
            self->send(jsonResponse(reply.status, std::move(reply.body), version, keep, reply.retryAfter));
        };
        if (!isSlowRoute(api->target)) {
            respond(context_.service.handle(*api));
            return;
        }
        // Password hashing runs on the worker pool; the reply comes back to this connection. When
        // every worker is busy and the queue is full, the request is refused rather than queued.
        beast::get_lowest_layer(stream_).expires_never();
        const auto executor = stream_.get_executor();
        const bool queued = context_.pool.tryPost([self, api, respond, executor] {
            ApiReply reply;
            try {
                reply = self->context_.service.handle(*api);
            } catch (const std::exception& e) {
                self->context_.log(LogLevel::Error, std::string("internal error: ") + e.what());
                reply = ApiReply{500, errorBody("Internal error"), 0};
            }
            net::post(executor, [respond, reply = std::move(reply)]() mutable { respond(std::move(reply)); });
        });
        if (!queued) {
            logThrottled(context_, context_.refusedBusy, LogLevel::Warning,
                         "http " + remote_ + " " + api->target + " refused: password hashing queue full");
            respond(ApiReply{503, errorBody("Server busy; try again later"), 1});
        }
    }

    void send(http::response<http::string_body> response) {
        auto shared = std::make_shared<http::response<http::string_body>>(std::move(response));
        beast::get_lowest_layer(stream_).expires_after(kHttpTimeout);
        http::async_write(stream_, *shared,
                          [self = this->shared_from_this(), shared](beast::error_code ec, std::size_t) {
                              wipe(shared->body());
                              if (ec || !shared->keep_alive()) {
                                  self->close();
                                  return;
                              }
                              self->doRead();
                          });
    }

    void close() {
        if constexpr (kSecure<Stream>) {
            auto stream = std::make_shared<Stream>(std::move(stream_));
            closeStream(stream);
        } else {
            // Lingering close: stop sending, then discard what the client still sends (the rest
            // of a refused body) for a moment. Closing with unread data would reset the
            // connection and could destroy the response before the client reads it.
            beast::error_code ec;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
            stream_.expires_after(2s);
            drain();
        }
    }

    void drain() {
        stream_.async_read_some(net::buffer(incoming_),
                                [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                                    self->drained_ += n;
                                    if (ec || self->drained_ > kDrainLimit) {
                                        self->stream_.close();
                                        return;
                                    }
                                    self->drain();
                                });
    }

    static constexpr std::size_t kDrainLimit = 1 << 20;

    Context& context_;
    ConnectionSlot slot_;
    Stream stream_;
    std::string remote_;
    HttpRequestReader reader_;
    std::array<char, 8192> incoming_{};
    std::size_t drained_ = 0;
};

// ---------------------------------------------------------------------------------------------

class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(Context& context, net::io_context& io, tcp::acceptor& acceptor)
        : context_(context), io_(io), acceptor_(acceptor), retry_(io) {}

    void accept() {
        acceptor_.async_accept(net::make_strand(io_),
                               [self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
                                   self->onAccept(ec, std::move(socket));
                               });
    }

private:
    void onAccept(beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
        if (ec) {
            context_.log(LogLevel::Error, "accept failed: " + ec.message());
            retry_.expires_after(100ms);
            retry_.async_wait([self = shared_from_this()](beast::error_code e) {
                if (!e) self->accept();
            });
            return;
        }
        beast::error_code endpointError;
        const auto peer = socket.remote_endpoint(endpointError);
        if (endpointError) {
            // Gone already.
            socket.close(endpointError);
            accept();
            return;
        }
        const std::string remote = endpointText(peer);
        const char* refusal = "";
        auto slot = ConnectionSlot::acquire(context_, addressKey(peer.address()), refusal);
        if (!slot) {
            logThrottled(context_, context_.refusedConnections, LogLevel::Warning,
                         "connection refused " + remote + ": " + refusal);
            socket.close(endpointError);
            accept();
            return;
        }
        socket.set_option(tcp::no_delay(true), endpointError);
        if (context_.tls) {
            using Secure = beast::ssl_stream<beast::tcp_stream>;
            auto stream = std::make_shared<Secure>(beast::tcp_stream(std::move(socket)), *context_.tls);
            beast::get_lowest_layer(*stream).expires_after(kHandshakeTimeout);
            Context& context = context_;
            auto held = std::make_shared<ConnectionSlot>(std::move(*slot));
            stream->async_handshake(ssl::stream_base::server, [&context, stream, remote, held](beast::error_code e) {
                if (e) {
                    context.log(LogLevel::Debug, "tls handshake failed " + remote + ": " + e.message());
                    beast::get_lowest_layer(*stream).close();
                    return;
                }
                std::make_shared<HttpConnection<Secure>>(context, std::move(*stream), remote, std::move(*held))->start();
            });
        } else {
            std::make_shared<HttpConnection<beast::tcp_stream>>(context_, beast::tcp_stream(std::move(socket)), remote,
                                                                std::move(*slot))
                ->start();
        }
        accept();
    }

    Context& context_;
    net::io_context& io_;
    tcp::acceptor& acceptor_;
    net::steady_timer retry_;
};

net::ip::address resolveListenHost(const std::string& host) {
    if (host == "localhost") return net::ip::make_address("127.0.0.1");
    beast::error_code ec;
    auto address = net::ip::make_address(host, ec);
    if (ec) throw std::runtime_error("--listen needs an IP address, not " + host);
    return address;
}

}  // namespace

int runControlServer(ControlService& service, const ServiceOptions& options, const Log& log) {
    const auto address = resolveListenHost(options.listenHost);
    if (!options.tls() && !address.is_loopback()) {
        throw std::runtime_error("refusing plain HTTP on non-loopback address " + options.listenHost +
                                 "; give --tls-cert and --tls-key");
    }

    std::optional<ssl::context> tls;
    if (options.tls()) {
        tls.emplace(ssl::context::tls_server);
        tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
        beast::error_code ec;
        tls->use_certificate_chain_file(options.tlsCert.string(), ec);
        if (ec) throw std::runtime_error("cannot load certificate " + options.tlsCert.string() + ": " + ec.message());
        tls->use_private_key_file(options.tlsKey.string(), ssl::context::pem, ec);
        if (ec) throw std::runtime_error("cannot load private key " + options.tlsKey.string() + ": " + ec.message());
    }

    // Declared before the I/O context so that connections destroyed with it still find them.
    WorkerPool pool{kHashWorkers, options.hashQueue};
    Context context{service, pool, tls ? &*tls : nullptr, options, log};
    net::io_context io{1};

    tcp::acceptor acceptor{io};
    const tcp::endpoint endpoint{address, options.listenPort};
    beast::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) throw std::runtime_error("cannot listen on " + endpointText(endpoint) + ": " + ec.message());

    const std::string bound = endpointText(acceptor.local_endpoint());
    std::make_shared<Listener>(context, io, acceptor)->accept();

    net::signal_set signals{io, SIGINT, SIGTERM};
    signals.async_wait([&](beast::error_code e, int signal) {
        if (e) return;
        log(LogLevel::Info, "signal " + std::to_string(signal) + ": shutting down");
        acceptor.close();
        io.stop();
    });

    net::steady_timer housekeeping{io};
    std::function<void()> scheduleHousekeeping = [&] {
        housekeeping.expires_after(1h);
        housekeeping.async_wait([&](beast::error_code e) {
            if (e) return;
            service.housekeeping();
            scheduleHousekeeping();
        });
    };
    service.housekeeping();
    scheduleHousekeeping();

    log(LogLevel::Info, std::string("listening on ") + bound + (tls ? " (https)" : " (http)"));
    std::cout << "listening on " << bound << std::endl;
    // A failure inside one connection's handler ends that connection (its handler, and with it the
    // connection, is destroyed while the exception unwinds), never the service.
    for (;;) {
        try {
            io.run();
            break;
        } catch (const std::exception& e) {
            log(LogLevel::Error, std::string("internal error in a connection: ") + e.what());
        }
    }
    pool.stop();
    // Connections the service still holds must go before the I/O objects they use.
    service.detachAll();
    log(LogLevel::Info, "stopped");
    return 0;
}

}  // namespace murel
