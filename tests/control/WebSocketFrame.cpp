#include "WebSocketFrame.hpp"

#include <random>
#include <stdexcept>

namespace murel {

std::string encodeClientFrame(std::uint8_t opcode, std::string_view payload, bool fin) {
    std::string frame;
    frame.reserve(payload.size() + 14);
    frame.push_back(static_cast<char>((fin ? 0x80 : 0x00) | (opcode & 0x0F)));
    const std::uint64_t size = payload.size();
    if (size < 126) {
        frame.push_back(static_cast<char>(0x80 | size));
    } else if (size <= 0xFFFF) {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>(size >> 8));
        frame.push_back(static_cast<char>(size & 0xFF));
    } else {
        frame.push_back(static_cast<char>(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>((size >> shift) & 0xFF));
    }
    // The mask only has to be unpredictable to intermediaries; a fixed pattern would do for tests,
    // but a random one costs nothing.
    thread_local std::mt19937 random{std::random_device{}()};
    std::string key(4, '\0');
    for (char& c : key) c = static_cast<char>(random() & 0xFF);
    frame.append(key);
    for (std::size_t i = 0; i < payload.size(); ++i) frame.push_back(static_cast<char>(payload[i] ^ key[i % 4]));
    return frame;
}

std::optional<WebSocketFrameData> takeServerFrame(std::string& buffer, std::size_t maxPayload) {
    if (buffer.size() < 2) return std::nullopt;
    const auto b0 = static_cast<unsigned char>(buffer[0]);
    const auto b1 = static_cast<unsigned char>(buffer[1]);
    std::size_t header = 2;
    std::uint64_t size = b1 & 0x7F;
    if (size == 126) {
        if (buffer.size() < 4) return std::nullopt;
        size = (static_cast<unsigned char>(buffer[2]) << 8) | static_cast<unsigned char>(buffer[3]);
        header = 4;
    } else if (size == 127) {
        if (buffer.size() < 10) return std::nullopt;
        size = 0;
        for (int i = 0; i < 8; ++i) size = (size << 8) | static_cast<unsigned char>(buffer[2 + i]);
        header = 10;
    }
    const bool masked = (b1 & 0x80) != 0;
    if (size > maxPayload) throw std::length_error("WebSocket frame too large");
    const std::size_t total = header + (masked ? 4 : 0) + static_cast<std::size_t>(size);
    if (buffer.size() < total) return std::nullopt;
    WebSocketFrameData frame;
    frame.fin = (b0 & 0x80) != 0;
    frame.opcode = b0 & 0x0F;
    frame.payload = buffer.substr(header + (masked ? 4 : 0), static_cast<std::size_t>(size));
    if (masked) {
        for (std::size_t i = 0; i < frame.payload.size(); ++i) frame.payload[i] ^= buffer[header + i % 4];
    }
    buffer.erase(0, total);
    return frame;
}

std::string upgradeRequest(std::string_view host, std::string_view path, std::string_view bearer) {
    std::string request = "GET " + std::string(path) + " HTTP/1.1\r\nHost: " + std::string(host) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    if (!bearer.empty()) request += "Authorization: Bearer " + std::string(bearer) + "\r\n";
    request += "\r\n";
    return request;
}

}  // namespace murel
