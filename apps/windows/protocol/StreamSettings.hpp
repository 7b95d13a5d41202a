#pragma once
// Stream settings: the configuration a viewer asks for, the modes a host offers, their JSON forms
// and the checks both sides apply. The outer envelope of every value is H.264 Level 5.2.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/Wire.hpp"

namespace murel {

inline constexpr std::size_t kStreamMessageLimit = 4096;
inline constexpr std::size_t kMaxStreamModes = 48;

struct StreamConfiguration {
    std::int32_t width = 1920;
    std::int32_t height = 1080;
    std::int32_t fps = 60;
    std::int32_t maxBitrateBps = 20000000;
    bool systemAudio = false;
    std::int32_t audioBufferMilliseconds = 60;
    // False for the older format, which has no height member and always means 1080 lines.
    bool hasHeight = false;

    bool operator==(const StreamConfiguration&) const = default;
};

struct StreamMode {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t fps = 0;
    std::int32_t maxBitrateBps = 0;

    bool operator==(const StreamMode&) const = default;
};

struct StreamModes {
    std::int32_t nativeWidth = 0;
    std::int32_t nativeHeight = 0;
    std::int32_t nativeFps = 0;
    std::vector<StreamMode> modes;  // 1..48, sorted by width, height, fps

    bool operator==(const StreamModes&) const = default;
};

// level_idc (41, 42, 50, 51 or 52) of the lowest level that carries the format.
int h264LevelFor(std::int64_t width, std::int64_t height, std::int64_t fps);

void validateStreamConfiguration(const StreamConfiguration& configuration);
StreamConfiguration parseStreamConfiguration(const Json& value);
// Writes `height` only when includeHeight is set; callers pass the configuration's own hasHeight.
Json streamConfigurationJson(const StreamConfiguration& configuration, bool includeHeight);

StreamModes buildStreamModes(std::int32_t nativeWidth, std::int32_t nativeHeight, std::int32_t nativeFps);
void validateStreamModes(const StreamModes& modes);
Json streamModesJson(const StreamModes& modes);
StreamModes parseStreamModes(const Json& value);

// Throws unless the configuration is one of the offered modes within that mode's bitrate ceiling.
// Configurations in the older format are not matched against modes.
void checkOfferedMode(const StreamConfiguration& configuration, const StreamModes& modes);

// Compact serialisation must fit one control-channel message.
void checkStreamMessageSize(const Json& value);

}  // namespace murel
