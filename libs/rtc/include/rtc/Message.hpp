#pragma once
// Byte containers and the message type that travels through a track's media-handler chain.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace rtc {

using std::byte;
using binary = std::vector<std::byte>;
using message_variant = std::variant<binary, std::string>;

// What a frame carries besides its bytes: the RTP timestamp (90 kHz for video) it is sent or was
// received with.
struct FrameInfo {
    explicit FrameInfo(uint32_t timestamp) : timestamp(timestamp) {}
    FrameInfo(uint8_t payloadType, uint32_t timestamp) : timestamp(timestamp), payloadType(payloadType) {}

    uint32_t timestamp = 0;
    uint8_t payloadType = 0;  // 0: take the packetizer's configured payload type
    std::optional<std::chrono::duration<double>> timestampSeconds;
};

// One unit in a media-handler chain. Going out: a whole frame (Binary, with frameInfo) before the
// packetizer, RTP packets (Binary) and RTCP packets (Control) after it. Coming in: decrypted RTP
// (Binary) and RTCP (Control) packets before the depacketizer, whole frames (Binary, with frameInfo)
// after it.
struct Message : binary {
    enum Type { Binary, String, Control, Reset };

    Message() = default;
    explicit Message(binary data, Type type = Binary) : binary(std::move(data)), type(type) {}
    Message(size_t size, Type type) : binary(size), type(type) {}

    Type type = Binary;
    unsigned int stream = 0;
    std::shared_ptr<FrameInfo> frameInfo;
};

using message_ptr = std::shared_ptr<Message>;
using message_vector = std::vector<message_ptr>;
using message_callback = std::function<void(message_ptr)>;

inline message_ptr make_message(binary data, Message::Type type = Message::Binary,
                                std::shared_ptr<FrameInfo> frameInfo = nullptr) {
    auto message = std::make_shared<Message>(std::move(data), type);
    message->frameInfo = std::move(frameInfo);
    return message;
}

}  // namespace rtc
