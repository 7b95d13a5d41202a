#pragma once
// The platform primitive under SignalingSocket: one WebSocket connection. The upgrade status
// check, fragment accumulation, limits, queueing, heartbeat and the single failure report are
// SignalingSocket's; the transport only moves bytes.

#include <cstddef>
#include <span>
#include <string_view>

namespace murel {

enum class WebSocketFrame {
    Utf8Message,     // the final (or only) piece of a text message
    Utf8Fragment,    // a piece of a text message that continues
    BinaryMessage,   // the final (or only) piece of a binary message
    BinaryFragment,  // a piece of a binary message that continues
    Close,           // the peer closed the connection (close frame)
};

struct WebSocketReceived {
    WebSocketFrame type = WebSocketFrame::Close;
    std::size_t size = 0;  // bytes copied into the caller's buffer
};

// Threads: upgrade and completeUpgrade run on the constructing thread; then receive runs on the
// receive thread only, sendText on the send thread only, and close on a third thread, possibly
// while a receive is blocked, but never while a sendText is in flight. The destructor runs after
// close and after both threads were joined; it releases everything and never throws.
class WebSocketTransport {
public:
    virtual ~WebSocketTransport() = default;

    // Opens a session and connection to the origin, sends GET `path` with the header lines
    // `headers` (each "Name: value\r\n") plus the WebSocket upgrade request, no body, no redirects,
    // no cookies, no ambient authentication, and waits for the response headers. Returns the HTTP
    // status; it does not judge it. Any copy of `headers` (it holds the bearer token) is wiped
    // before return. Failures: ProtocolError beginning with the step ("Open HTTP session", "Set
    // HTTP timeouts", "Connect HTTP", "Open HTTP request", "Disable redirects", "Disable ambient
    // authentication", "Request WebSocket upgrade", "Send HTTP request", "Receive HTTP response",
    // "Read HTTP status").
    virtual unsigned upgrade(std::string_view path, std::string_view headers) = 0;

    // Called only after upgrade returned 101: turns the request into the WebSocket with a close
    // timeout of 1000 ms. Failures: ProtocolError beginning with "Complete WebSocket upgrade" or
    // "Set WebSocket close timeout".
    virtual void completeUpgrade() = 0;

    // Blocks until the next piece of a frame arrives and copies at most buffer.size() bytes of it
    // (SignalingSocket passes 8192). A piece larger than the buffer is returned over several calls
    // as fragments, only the last one carrying the *Message type. Throws (any exception) when the
    // connection fails or was closed by close().
    virtual WebSocketReceived receive(std::span<char> buffer) = 0;

    // Sends `message` as one complete UTF-8 text message. Throws (any exception) on failure.
    virtual void sendText(std::string_view message) = 0;

    // Sends a close with status 1000 and no reason and waits at most about 1000 ms for the
    // handshake; then a blocked or later receive returns by throwing. Never throws; idempotent.
    virtual void close() noexcept = 0;
};

}  // namespace murel
