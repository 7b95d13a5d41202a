#pragma once
// Options of a peer connection.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rtc/Common.hpp"
#include "rtc/IceServer.hpp"

namespace rtc {

// Which local certificate the DTLS transport generates.
enum class CertificateType { Default, Ecdsa, Rsa };

// Which candidates ICE may use: all of them, or relayed ones only.
enum class TransportPolicy { All, Relay };

struct Configuration {
    std::vector<IceServer> iceServers;

    // Local address the ICE agent binds its sockets to; empty: every interface.
    std::optional<std::string> bindAddress;
    // Local UDP ports ICE may bind, inclusive.
    uint16_t portRangeBegin = 1024;
    uint16_t portRangeEnd = 65535;

    CertificateType certificateType = CertificateType::Default;
    TransportPolicy iceTransportPolicy = TransportPolicy::All;

    // When set, descriptions are only created by explicit setLocalDescription calls.
    bool disableAutoNegotiation = false;

    // Largest data-channel message this side accepts (announced as a=max-message-size);
    // empty: DEFAULT_LOCAL_MAX_MESSAGE_SIZE.
    std::optional<size_t> maxMessageSize;
    // Largest datagram payload; empty: DEFAULT_MTU.
    std::optional<size_t> mtu;
};

}  // namespace rtc
