#pragma once
// How a data channel delivers its messages.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace rtc {

// Ordered or not, and at most one partial-reliability limit: a message is given up after
// maxRetransmits retransmissions or once maxPacketLifeTime has passed. Neither: fully reliable.
struct Reliability {
    bool unordered = false;
    std::optional<std::chrono::milliseconds> maxPacketLifeTime;
    std::optional<unsigned int> maxRetransmits;

    bool operator==(const Reliability&) const = default;
};

// Settings of a channel opened with PeerConnection::createDataChannel. A negotiated channel is
// agreed on out of band (both ends create it with the same id) and is not announced to the peer.
struct DataChannelInit {
    Reliability reliability;
    bool negotiated = false;
    std::optional<uint16_t> id;
    std::string protocol;
};

}  // namespace rtc
