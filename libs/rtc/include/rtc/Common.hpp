#pragma once
// Small things every public header of the layer shares: the message types, default sizes and the
// bounds the session-description parser enforces.

#include <cstddef>
#include <cstdint>

#include "rtc/Message.hpp"

namespace rtc {

inline constexpr uint16_t DEFAULT_SCTP_PORT = 5000;
// What we announce when the application sets no maximum message size.
inline constexpr size_t DEFAULT_LOCAL_MAX_MESSAGE_SIZE = 262144;
// What a peer may be sent when its description names no maximum (RFC 8841, section 6).
inline constexpr size_t DEFAULT_REMOTE_MAX_MESSAGE_SIZE = 65536;
inline constexpr size_t DEFAULT_MTU = 1280;

// Bounds of the session-description parser. Anything beyond them is rejected with
// std::invalid_argument before it can grow memory.
inline constexpr size_t SDP_MAX_SIZE = 131072;       // bytes of one description
inline constexpr size_t SDP_MAX_LINES = 4096;        // lines of one description
inline constexpr size_t SDP_MAX_LINE_LENGTH = 8192;  // bytes of one line, without its end of line
inline constexpr size_t SDP_MAX_MEDIA = 16;          // m= sections
inline constexpr size_t SDP_MAX_CANDIDATES = 256;    // a=candidate lines over all sections
inline constexpr size_t SDP_MAX_SSRCS = 64;          // distinct SSRCs of one media section
inline constexpr size_t SDP_MAX_PARAMETERS = 32;     // fmtp or rtcp-fb lines of one payload type
inline constexpr size_t CANDIDATE_MAX_LENGTH = 8192; // bytes of one candidate line
inline constexpr size_t ICE_SERVER_URL_MAX_LENGTH = 2048;

}  // namespace rtc
