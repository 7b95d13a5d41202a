#include "protocol/StreamSettings.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string_view>
#include <tuple>

namespace murel {
namespace {

constexpr const char* kInvalid = "Invalid stream settings";
constexpr const char* kOddDimensions = "Stream dimensions must be even";
constexpr const char* kAboveLevel52 = "Stream format exceeds H.264 Level 5.2";
constexpr const char* kLegacyHeight = "Legacy stream configuration cannot express this height";
constexpr const char* kUnexpectedFields = "Unexpected stream settings fields";
constexpr const char* kMissingField = "Missing stream settings field";
constexpr const char* kNotInteger = "Stream settings require integer values";
constexpr const char* kAudioNotBoolean = "Stream audio setting must be boolean";
constexpr const char* kTooLarge = "Stream settings exceed the message limit";
constexpr const char* kModeCount = "Stream modes must contain 1...48 tuples";
constexpr const char* kUpscale = "Stream mode would upscale the source";
constexpr const char* kAspect = "Stream mode changes the source aspect ratio";
constexpr const char* kDuplicate = "Duplicate stream mode";
constexpr const char* kModesKind = "Unexpected stream modes kind";
constexpr const char* kNotOffered = "Stream mode was not offered by the host";
constexpr const char* kAboveCeiling = "Stream bitrate exceeds the offered mode ceiling";

constexpr std::int64_t kMinDimension = 2;
constexpr std::int64_t kMaxDimension = 4096;
constexpr std::int64_t kMinFps = 1;
constexpr std::int64_t kMaxFps = 240;
constexpr std::int64_t kMinBitrate = 100000;
constexpr std::int64_t kMaxBitrate = 100000000;
constexpr std::int64_t kMaxLegacyBitrate = 20000000;
constexpr std::int64_t kMinLegacyWidth = 320;
constexpr std::int64_t kMaxLegacyWidth = 1920;
constexpr std::int64_t kMaxLegacyFps = 60;
constexpr std::int64_t kLegacyHeight1080 = 1080;
constexpr std::int64_t kMinAudioBuffer = 20;
constexpr std::int64_t kMaxAudioBuffer = 200;
constexpr std::int64_t kModesVersion = 2;

struct LevelLimits {
    int levelIdc;
    std::int64_t maxFrameMacroblocks;
    std::int64_t maxMacroblocksPerSecond;
};

constexpr std::array<LevelLimits, 5> kLevels{{
    {41, 8192, 245760},
    {42, 8704, 522240},
    {50, 22080, 589824},
    {51, 36864, 983040},
    {52, 36864, 2073600},
}};

bool inRange(std::int64_t value, std::int64_t low, std::int64_t high) {
    return value >= low && value <= high;
}

// The value must be an object with exactly these member names.
void requireMembers(const Json& value, std::initializer_list<std::string_view> names) {
    throwUnless(value.is_object() && value.size() == names.size(), kUnexpectedFields);
    for (const auto name : names) throwUnless(value.contains(name), kMissingField);
}

// Reads an integer member within [low, high]. Both of the library's integer kinds are compared
// without conversion first, so a huge unsigned or a negative value can never wrap into range.
std::int32_t readInteger(const Json& object, std::string_view key, std::int64_t low, std::int64_t high) {
    const Json& value = *object.find(key);
    throwUnless(value.is_number_integer(), kNotInteger);
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        throwUnless(high >= 0 && number <= static_cast<std::uint64_t>(high) &&
                        (low <= 0 || number >= static_cast<std::uint64_t>(low)),
                    kInvalid);
        return static_cast<std::int32_t>(number);
    }
    const auto number = value.get<std::int64_t>();
    throwUnless(inRange(number, low, high), kInvalid);
    return static_cast<std::int32_t>(number);
}

void checkNative(std::int64_t width, std::int64_t height, std::int64_t fps) {
    throwUnless(inRange(width, kMinDimension, kMaxDimension) &&
                    inRange(height, kMinDimension, kMaxDimension) && inRange(fps, kMinFps, kMaxFps),
                kInvalid);
}

// Ceiling for modes up to 1080p60 scales with the pixel rate so that 1080p60 gets 20 Mbit/s.
std::int32_t modeCeiling(std::int64_t width, std::int64_t height, std::int64_t fps) {
    if (width > 1920 || height > 1080 || fps > 60) return static_cast<std::int32_t>(kMaxBitrate);
    constexpr std::int64_t referencePixelRate = 1920LL * 1080 * 60;
    const std::int64_t scaled = width * height * fps * 20000000;
    const std::int64_t ceiling = (scaled + referencePixelRate - 1) / referencePixelRate;
    return static_cast<std::int32_t>(std::clamp(ceiling, kMinBitrate, kMaxBitrate));
}

// level_idc of the first level that carries the format, 0 when none does. Sizes are in range.
int fittingLevel(std::int64_t width, std::int64_t height, std::int64_t fps) {
    const std::int64_t widthMb = (width + 15) / 16;
    const std::int64_t heightMb = (height + 15) / 16;
    const std::int64_t frameMb = widthMb * heightMb;
    for (const auto& level : kLevels) {
        if (level.maxFrameMacroblocks >= frameMb && level.maxMacroblocksPerSecond >= fps * frameMb &&
            8 * level.maxFrameMacroblocks >= widthMb * widthMb &&
            8 * level.maxFrameMacroblocks >= heightMb * heightMb) {
            return level.levelIdc;
        }
    }
    return 0;
}

auto modeKey(const StreamMode& mode) { return std::tie(mode.width, mode.height, mode.fps); }

}  // namespace

int h264LevelFor(std::int64_t width, std::int64_t height, std::int64_t fps) {
    checkNative(width, height, fps);
    throwUnless(width % 2 == 0 && height % 2 == 0, kOddDimensions);
    const int level = fittingLevel(width, height, fps);
    throwUnless(level != 0, kAboveLevel52);
    return level;
}

void validateStreamConfiguration(const StreamConfiguration& configuration) {
    throwUnless(inRange(configuration.audioBufferMilliseconds, kMinAudioBuffer, kMaxAudioBuffer), kInvalid);
    throwUnless(inRange(configuration.maxBitrateBps, kMinBitrate,
                        configuration.hasHeight ? kMaxBitrate : kMaxLegacyBitrate),
                kInvalid);
    if (configuration.hasHeight) {
        h264LevelFor(configuration.width, configuration.height, configuration.fps);
        return;
    }
    throwUnless(inRange(configuration.width, kMinLegacyWidth, kMaxLegacyWidth) &&
                    inRange(configuration.fps, kMinFps, kMaxLegacyFps),
                kInvalid);
    throwUnless(configuration.height == kLegacyHeight1080, kLegacyHeight);
}

StreamConfiguration parseStreamConfiguration(const Json& value) {
    StreamConfiguration configuration;
    configuration.hasHeight = value.is_object() && value.contains("height");
    if (configuration.hasHeight) {
        requireMembers(value, {"width", "height", "fps", "maxBitrateBps", "systemAudio",
                               "audioBufferMilliseconds"});
        configuration.width = readInteger(value, "width", kMinDimension, kMaxDimension);
        configuration.height = readInteger(value, "height", kMinDimension, kMaxDimension);
        configuration.fps = readInteger(value, "fps", kMinFps, kMaxFps);
        configuration.maxBitrateBps = readInteger(value, "maxBitrateBps", kMinBitrate, kMaxBitrate);
    } else {
        requireMembers(value, {"width", "fps", "maxBitrateBps", "systemAudio", "audioBufferMilliseconds"});
        configuration.width = readInteger(value, "width", kMinLegacyWidth, kMaxLegacyWidth);
        configuration.fps = readInteger(value, "fps", kMinFps, kMaxLegacyFps);
        configuration.maxBitrateBps = readInteger(value, "maxBitrateBps", kMinBitrate, kMaxLegacyBitrate);
    }
    configuration.audioBufferMilliseconds =
        readInteger(value, "audioBufferMilliseconds", kMinAudioBuffer, kMaxAudioBuffer);
    const Json& systemAudio = value.at("systemAudio");
    throwUnless(systemAudio.is_boolean(), kAudioNotBoolean);
    configuration.systemAudio = systemAudio.get<bool>();
    validateStreamConfiguration(configuration);
    checkStreamMessageSize(value);
    return configuration;
}

Json streamConfigurationJson(const StreamConfiguration& configuration, bool includeHeight) {
    // Validated in the form it is written: a configuration written without its height must be one
    // the receiver reads back as 1080 lines, and one written with it must meet the current rules.
    StreamConfiguration written = configuration;
    written.hasHeight = includeHeight;
    validateStreamConfiguration(written);
    Json object = Json::object();
    object["width"] = static_cast<std::int64_t>(configuration.width);
    if (includeHeight) object["height"] = static_cast<std::int64_t>(configuration.height);
    object["fps"] = static_cast<std::int64_t>(configuration.fps);
    object["maxBitrateBps"] = static_cast<std::int64_t>(configuration.maxBitrateBps);
    object["systemAudio"] = configuration.systemAudio;
    object["audioBufferMilliseconds"] = static_cast<std::int64_t>(configuration.audioBufferMilliseconds);
    checkStreamMessageSize(object);
    return object;
}

StreamModes buildStreamModes(std::int32_t nativeWidth, std::int32_t nativeHeight, std::int32_t nativeFps) {
    checkNative(nativeWidth, nativeHeight, nativeFps);
    StreamModes result;
    result.nativeWidth = nativeWidth;
    result.nativeHeight = nativeHeight;
    result.nativeFps = nativeFps;
    const std::array<std::int64_t, 4> widths{1920, 2560, 3840, nativeWidth};
    const std::array<std::int64_t, 8> rates{30, 60, 90, 120, 144, 165, 240, nativeFps};
    for (const std::int64_t candidate : widths) {
        const std::int64_t effective = std::min<std::int64_t>(candidate, nativeWidth);
        const std::int64_t width = effective & ~std::int64_t{1};
        const std::int64_t height = (std::int64_t{nativeHeight} * effective / nativeWidth) & ~std::int64_t{1};
        if (width < 2 || height < 2) continue;
        for (const std::int64_t fps : rates) {
            // Sizes here are even and in range, so only the level itself can rule a rate out.
            if (fittingLevel(width, height, fps) == 0) continue;
            const StreamMode mode{static_cast<std::int32_t>(width), static_cast<std::int32_t>(height),
                                  static_cast<std::int32_t>(fps), modeCeiling(width, height, fps)};
            const bool seen = std::any_of(result.modes.begin(), result.modes.end(),
                                          [&](const StreamMode& other) { return modeKey(other) == modeKey(mode); });
            if (!seen) result.modes.push_back(mode);
        }
    }
    std::sort(result.modes.begin(), result.modes.end(),
              [](const StreamMode& a, const StreamMode& b) { return modeKey(a) < modeKey(b); });
    streamModesJson(result);
    return result;
}

void validateStreamModes(const StreamModes& modes) {
    checkNative(modes.nativeWidth, modes.nativeHeight, modes.nativeFps);
    throwUnless(!modes.modes.empty() && modes.modes.size() <= kMaxStreamModes, kModeCount);
    const std::int64_t nativeWidth = modes.nativeWidth;
    const std::int64_t nativeHeight = modes.nativeHeight;
    for (std::size_t i = 0; i < modes.modes.size(); ++i) {
        const StreamMode& mode = modes.modes[i];
        h264LevelFor(mode.width, mode.height, mode.fps);
        throwUnless(inRange(mode.maxBitrateBps, kMinBitrate, kMaxBitrate), kInvalid);
        throwUnless(mode.width <= nativeWidth && mode.height <= nativeHeight, kUpscale);
        const std::int64_t width = mode.width;
        const std::int64_t height = mode.height;
        // Tolerates the rounding to even sizes: just under two pixels either way.
        throwUnless(width * nativeHeight < nativeWidth * (height + 2) &&
                        nativeWidth * height < nativeHeight * (width + 2),
                    kAspect);
        for (std::size_t j = 0; j < i; ++j) {
            throwUnless(modeKey(modes.modes[j]) != modeKey(mode), kDuplicate);
        }
    }
}

Json streamModesJson(const StreamModes& modes) {
    validateStreamModes(modes);
    Json list = Json::array();
    for (const StreamMode& mode : modes.modes) {
        Json entry = Json::object();
        entry["width"] = static_cast<std::int64_t>(mode.width);
        entry["height"] = static_cast<std::int64_t>(mode.height);
        entry["fps"] = static_cast<std::int64_t>(mode.fps);
        entry["maxBitrateBps"] = static_cast<std::int64_t>(mode.maxBitrateBps);
        list.push_back(std::move(entry));
    }
    Json object = Json::object();
    object["kind"] = "stream.modes";
    object["version"] = kModesVersion;
    object["nativeWidth"] = static_cast<std::int64_t>(modes.nativeWidth);
    object["nativeHeight"] = static_cast<std::int64_t>(modes.nativeHeight);
    object["nativeFps"] = static_cast<std::int64_t>(modes.nativeFps);
    object["modes"] = std::move(list);
    checkStreamMessageSize(object);
    return object;
}

StreamModes parseStreamModes(const Json& value) {
    requireMembers(value, {"kind", "version", "nativeWidth", "nativeHeight", "nativeFps", "modes"});
    const Json& kind = value.at("kind");
    throwUnless(kind.is_string() && kind.get_ref<const std::string&>() == "stream.modes", kModesKind);
    readInteger(value, "version", kModesVersion, kModesVersion);
    StreamModes result;
    result.nativeWidth = readInteger(value, "nativeWidth", kMinDimension, kMaxDimension);
    result.nativeHeight = readInteger(value, "nativeHeight", kMinDimension, kMaxDimension);
    result.nativeFps = readInteger(value, "nativeFps", kMinFps, kMaxFps);
    const Json& list = value.at("modes");
    throwUnless(list.is_array() && !list.empty() && list.size() <= kMaxStreamModes, kModeCount);
    result.modes.reserve(list.size());
    for (const Json& entry : list) {
        requireMembers(entry, {"width", "height", "fps", "maxBitrateBps"});
        StreamMode mode;
        mode.width = readInteger(entry, "width", kMinDimension, kMaxDimension);
        mode.height = readInteger(entry, "height", kMinDimension, kMaxDimension);
        mode.fps = readInteger(entry, "fps", kMinFps, kMaxFps);
        mode.maxBitrateBps = readInteger(entry, "maxBitrateBps", kMinBitrate, kMaxBitrate);
        result.modes.push_back(mode);
    }
    validateStreamModes(result);
    checkStreamMessageSize(value);
    return result;
}

void checkOfferedMode(const StreamConfiguration& configuration, const StreamModes& modes) {
    validateStreamConfiguration(configuration);
    if (!configuration.hasHeight) return;
    streamModesJson(modes);
    const auto match = std::find_if(modes.modes.begin(), modes.modes.end(), [&](const StreamMode& mode) {
        return mode.width == configuration.width && mode.height == configuration.height &&
               mode.fps == configuration.fps;
    });
    throwUnless(match != modes.modes.end(), kNotOffered);
    throwUnless(match->maxBitrateBps >= configuration.maxBitrateBps, kAboveCeiling);
}

void checkStreamMessageSize(const Json& value) {
    throwUnless(toCompactJson(value).size() <= kStreamMessageLimit, kTooLarge);
}

}  // namespace murel
