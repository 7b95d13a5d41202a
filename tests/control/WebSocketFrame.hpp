#pragma once
// Client-side WebSocket framing (RFC 6455) for the service's tests and its load generator, which
// talk to the server over plain sockets.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace murel {

struct WebSocketFrameData {
    bool fin = true;
    std::uint8_t opcode = 0;  // 0 continuation, 1 text, 2 binary, 8 close, 9 ping, 10 pong
    std::string payload;
};

// One masked client frame.
std::string encodeClientFrame(std::uint8_t opcode, std::string_view payload, bool fin = true);

// Takes one complete (unmasked, server) frame off the front of `buffer`; nullopt while incomplete.
// Frames announcing more than `maxPayload` bytes throw std::length_error.
std::optional<WebSocketFrameData> takeServerFrame(std::string& buffer, std::size_t maxPayload = 1 << 20);

// The upgrade request for `path` on `host` with an optional bearer token.
std::string upgradeRequest(std::string_view host, std::string_view path, std::string_view bearer);

}  // namespace murel
