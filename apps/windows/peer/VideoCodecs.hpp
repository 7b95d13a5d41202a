#pragma once
// The session's one video line: what the host offers (H.264 at its encoder's level) and how the
// viewer picks one codec it can decode from an offer and strips everything else from its copy.

#include <cstdint>
#include <string>

#include "rtc/Description.hpp"

namespace murel {

inline constexpr int kVideoPayloadType = 102;
inline constexpr std::uint32_t kVideoSsrc = 1;
inline constexpr const char* kVideoMid = "video";
inline constexpr const char* kVideoCname = "murel-screen";
inline constexpr const char* kVideoStreamId = "murel-desktop";
inline constexpr const char* kVideoTrackId = "murel-screen";

// "42e029" for 41 ... "42e034" for 52; throws ProtocolError "Unsupported H.264 level" for a level
// outside 41, 42, 50, 51, 52.
std::string h264ProfileLevelId(std::int32_t level);

// The host's send-only H.264 line with its SSRC and bandwidth (bitrate / 1000, rounded up).
rtc::Description::Video hostVideoMedia(std::int32_t level, std::uint32_t bitrate);

// H.264 with no profile-level-id, or one naming a level up to 5.2.
bool passesH264Test(const rtc::Description::Media::RtpMap& map);
// HEVC Main (profile 1, profile space 0), main or high tier, level up to 6.1, no decoding-order
// numbers, single-stream transmission.
bool passesHevcTest(const rtc::Description::Media::RtpMap& map);

struct VideoSelection {
    rtc::Description::Media media;  // the edited copy of the offered line
    std::int32_t codec = 0;         // 0 H.264, 1 HEVC
};

// Picks the codec of one offered video line: the first payload type that passes the HEVC test
// (when allowed) or the H.264 test decides; every payload type failing that codec's test goes, and
// so does transport-wide congestion control (feedback and header extension). Throws
// ProtocolError "Remote host did not offer a usable video codec".
VideoSelection selectVideo(const rtc::Description::Media& offered, bool allowHevc);

}  // namespace murel
