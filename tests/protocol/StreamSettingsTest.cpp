#include <gtest/gtest.h>

#include "ErrorOf.hpp"

#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/StreamSettings.hpp"

namespace murel {
namespace {

using test::errorOf;

// Parses JSON text the way a received control-channel message arrives.
Json text(const std::string& json) { return parseWire(json, kStreamMessageLimit); }

std::string configurationError(const std::string& json) {
    return errorOf([&] { parseStreamConfiguration(text(json)); });
}

StreamConfiguration current(std::int32_t width, std::int32_t height, std::int32_t fps, std::int32_t bitrate) {
    StreamConfiguration configuration;
    configuration.width = width;
    configuration.height = height;
    configuration.fps = fps;
    configuration.maxBitrateBps = bitrate;
    configuration.hasHeight = true;
    return configuration;
}

std::vector<StreamMode> modesAt(std::int32_t width, std::int32_t height, std::vector<std::int32_t> rates,
                                std::vector<std::int32_t> ceilings) {
    std::vector<StreamMode> modes;
    for (std::size_t i = 0; i < rates.size(); ++i) modes.push_back({width, height, rates[i], ceilings[i]});
    return modes;
}

}  // namespace

void PrintTo(const StreamMode& mode, std::ostream* out) {
    *out << mode.width << "x" << mode.height << "@" << mode.fps << "/" << mode.maxBitrateBps;
}

namespace {

const std::vector<std::int32_t> kRates{30, 60, 90, 120, 144, 165, 240};

// ---- H.264 level ---------------------------------------------------------------------------------

TEST(H264Level, KnownFormats) {
    EXPECT_EQ(h264LevelFor(1920, 1080, 30), 41);
    EXPECT_EQ(h264LevelFor(1920, 1080, 60), 42);
    EXPECT_EQ(h264LevelFor(1920, 1080, 120), 51);
    EXPECT_EQ(h264LevelFor(1920, 1080, 240), 52);
    EXPECT_EQ(h264LevelFor(3840, 2160, 60), 52);
    EXPECT_EQ(h264LevelFor(2560, 1440, 30), 50);
    EXPECT_EQ(h264LevelFor(2560, 1440, 144), 52);  // exactly 2073600 macroblocks per second
    EXPECT_EQ(errorOf([] { h264LevelFor(2560, 1440, 146); }), "Stream format exceeds H.264 Level 5.2");
    EXPECT_EQ(errorOf([] { h264LevelFor(3840, 2160, 120); }), "Stream format exceeds H.264 Level 5.2");
    // 4096x2304 is exactly the largest frame of level 5.2 (36864 macroblocks).
    EXPECT_EQ(h264LevelFor(4096, 2304, 56), 52);
    EXPECT_EQ(errorOf([] { h264LevelFor(4096, 2304, 57); }), "Stream format exceeds H.264 Level 5.2");
    EXPECT_EQ(errorOf([] { h264LevelFor(4096, 4096, 1); }), "Stream format exceeds H.264 Level 5.2");
    EXPECT_EQ(h264LevelFor(4096, 2, 240), 41);
    EXPECT_EQ(h264LevelFor(2, 4096, 1), 41);
}

TEST(H264Level, PartialMacroblocksCount) {
    // 1090 lines need 69 macroblock rows: 120 * 69 = 8280 no longer fits level 4.1's 8192.
    EXPECT_EQ(h264LevelFor(1920, 1088, 30), 41);
    EXPECT_EQ(h264LevelFor(1920, 1090, 30), 42);
}

TEST(H264Level, RangeBeforeParityBeforeLevel) {
    EXPECT_EQ(errorOf([] { h264LevelFor(1921, 1080, 60); }), "Stream dimensions must be even");
    EXPECT_EQ(errorOf([] { h264LevelFor(1920, 1081, 60); }), "Stream dimensions must be even");
    EXPECT_EQ(errorOf([] { h264LevelFor(4098, 2160, 60); }), "Invalid stream settings");
    EXPECT_EQ(errorOf([] { h264LevelFor(4097, 2160, 60); }), "Invalid stream settings");
    EXPECT_EQ(errorOf([] { h264LevelFor(1, 2, 1); }), "Invalid stream settings");
    EXPECT_EQ(errorOf([] { h264LevelFor(0, 0, 30); }), "Invalid stream settings");
    EXPECT_EQ(errorOf([] { h264LevelFor(1920, 1080, 0); }), "Invalid stream settings");
    EXPECT_EQ(errorOf([] { h264LevelFor(1920, 1080, 241); }), "Invalid stream settings");
    EXPECT_EQ(errorOf([] { h264LevelFor(1921, 1080, 241); }), "Invalid stream settings");
    EXPECT_EQ(errorOf([] { h264LevelFor(-1920, 1080, 30); }), "Invalid stream settings");
    EXPECT_EQ(errorOf([] { h264LevelFor(1920 + (std::int64_t{1} << 32), 1080, 30); }),
              "Invalid stream settings");
}

// ---- configuration -------------------------------------------------------------------------------

TEST(StreamConfiguration, DefaultsAreTheSessionStart) {
    const StreamConfiguration configuration;
    EXPECT_EQ(configuration.width, 1920);
    EXPECT_EQ(configuration.height, 1080);
    EXPECT_EQ(configuration.fps, 60);
    EXPECT_EQ(configuration.maxBitrateBps, 20000000);
    EXPECT_FALSE(configuration.systemAudio);
    EXPECT_EQ(configuration.audioBufferMilliseconds, 60);
    EXPECT_FALSE(configuration.hasHeight);
    EXPECT_NO_THROW(validateStreamConfiguration(configuration));
}

TEST(StreamConfiguration, ValidationBoundsAndOrder) {
    StreamConfiguration c = current(3840, 2160, 60, 100000000);
    EXPECT_NO_THROW(validateStreamConfiguration(c));
    c.maxBitrateBps = 100000001;
    EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Invalid stream settings");
    c.maxBitrateBps = 99999;
    EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Invalid stream settings");
    // Bitrate is checked before the picture format.
    c.width = 3841;
    EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Invalid stream settings");
    c.maxBitrateBps = 100000;
    EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Stream dimensions must be even");
    c = current(3840, 2160, 120, 30000000);
    EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Stream format exceeds H.264 Level 5.2");

    c = current(1920, 1080, 60, 20000000);
    for (int buffer : {20, 200}) {
        c.audioBufferMilliseconds = buffer;
        EXPECT_NO_THROW(validateStreamConfiguration(c)) << buffer;
    }
    for (int buffer : {19, 201, 0, -60}) {
        c.audioBufferMilliseconds = buffer;
        EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Invalid stream settings") << buffer;
    }
    // The audio buffer comes first: an odd width is not reported while the buffer is wrong.
    c.width = 1921;
    EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Invalid stream settings");
}

TEST(StreamConfiguration, OlderFormatRules) {
    StreamConfiguration c;  // hasHeight false
    c.maxBitrateBps = 20000001;
    EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Invalid stream settings");
    c = StreamConfiguration{};
    c.height = 720;
    EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Legacy stream configuration cannot express this height");
    // Width and rate are checked before the height.
    c.width = 2560;
    EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Invalid stream settings");
    c = StreamConfiguration{};
    for (int width : {319, 1921, 2560}) {
        c.width = width;
        EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Invalid stream settings") << width;
    }
    c = StreamConfiguration{};
    c.fps = 61;
    EXPECT_EQ(errorOf([&] { validateStreamConfiguration(c); }), "Invalid stream settings");
    c = StreamConfiguration{};
    c.width = 320;
    c.fps = 1;
    c.maxBitrateBps = 100000;
    EXPECT_NO_THROW(validateStreamConfiguration(c));
}

TEST(StreamConfiguration, ParsesBothFormats) {
    const auto now = parseStreamConfiguration(text(
        R"({"width":2560,"height":1440,"fps":144,"maxBitrateBps":100000000,"systemAudio":true,"audioBufferMilliseconds":200})"));
    EXPECT_EQ(now, (StreamConfiguration{2560, 1440, 144, 100000000, true, 200, true}));

    const auto older = parseStreamConfiguration(
        text(R"({"width":1280,"fps":30,"maxBitrateBps":8000000,"systemAudio":false,"audioBufferMilliseconds":20})"));
    EXPECT_EQ(older, (StreamConfiguration{1280, 1080, 30, 8000000, false, 20, false}));
}

TEST(StreamConfiguration, MemberSet) {
    const std::string older = R"("fps":30,"maxBitrateBps":8000000,"systemAudio":false,"audioBufferMilliseconds":60)";
    EXPECT_EQ(configurationError(R"({"width":1280,"height":720,"extra":1,)" + older + "}"),
              "Unexpected stream settings fields");
    EXPECT_EQ(configurationError(R"({"width":1280,"extra":1,)" + older + "}"), "Unexpected stream settings fields");
    // Right count, wrong name.
    EXPECT_EQ(configurationError(
                  R"({"width":1280,"height":720,"fps":30,"maxBitrateBps":8000000,"systemAudio":false,"audio":60})"),
              "Missing stream settings field");
    EXPECT_EQ(configurationError(R"({"width":1280,"fps":30,"maxBitrateBps":8000000,"systemAudio":false,"x":1})"),
              "Missing stream settings field");
    // With height present six members are needed.
    EXPECT_EQ(configurationError(R"({"width":1280,"height":720,"fps":30,"maxBitrateBps":8000000,"systemAudio":false})"),
              "Unexpected stream settings fields");
    EXPECT_EQ(configurationError("{}"), "Unexpected stream settings fields");
    EXPECT_EQ(errorOf([] { parseStreamConfiguration(Json::array({1, 2, 3, 4, 5})); }),
              "Unexpected stream settings fields");
    EXPECT_EQ(errorOf([] { parseStreamConfiguration(Json("width")); }), "Unexpected stream settings fields");
    EXPECT_EQ(errorOf([] { parseStreamConfiguration(Json()); }), "Unexpected stream settings fields");
    // Member names are case-sensitive.
    EXPECT_EQ(configurationError(R"({"Width":1280,)" + older + "}"), "Missing stream settings field");
}

TEST(StreamConfiguration, ValueTypesAndRanges) {
    const auto with = [](const std::string& width, const std::string& fps, const std::string& audio) {
        return configurationError(R"({"width":)" + width + R"(,"height":1080,"fps":)" + fps +
                                  R"(,"maxBitrateBps":20000000,"systemAudio":)" + audio +
                                  R"(,"audioBufferMilliseconds":60})");
    };
    EXPECT_EQ(with("1920", "60", "false"), "<no error>");
    EXPECT_EQ(with("1920", "60.0", "false"), "Stream settings require integer values");
    EXPECT_EQ(with("1920", "6e1", "false"), "Stream settings require integer values");
    EXPECT_EQ(with("1920", "\"60\"", "false"), "Stream settings require integer values");
    EXPECT_EQ(with("1920", "null", "false"), "Stream settings require integer values");
    EXPECT_EQ(with("1920", "true", "false"), "Stream settings require integer values");
    EXPECT_EQ(with("1920", "60", "1"), "Stream audio setting must be boolean");
    EXPECT_EQ(with("1920", "60", "\"false\""), "Stream audio setting must be boolean");
    // Members are read in order: width, height, fps, ..., then the audio flag, then validation.
    EXPECT_EQ(with("5000", "60.5", "false"), "Invalid stream settings");
    EXPECT_EQ(with("1920.0", "5000", "false"), "Stream settings require integer values");
    EXPECT_EQ(with("1920", "60.5", "1"), "Stream settings require integer values");
    EXPECT_EQ(with("1921", "60", "1"), "Stream audio setting must be boolean");
    EXPECT_EQ(with("1921", "60", "false"), "Stream dimensions must be even");
    EXPECT_EQ(with("3840", "240", "false"), "Stream format exceeds H.264 Level 5.2");
    EXPECT_EQ(with("4096", "60", "false"), "<no error>");
    EXPECT_EQ(with("4098", "60", "false"), "Invalid stream settings");
    EXPECT_EQ(with("1920", "241", "false"), "Invalid stream settings");
    EXPECT_EQ(with("1920", "0", "false"), "Invalid stream settings");

    // Older format ranges apply while reading.
    EXPECT_EQ(configurationError(
                  R"({"width":2560,"fps":30,"maxBitrateBps":8000000,"systemAudio":false,"audioBufferMilliseconds":60})"),
              "Invalid stream settings");
    EXPECT_EQ(configurationError(
                  R"({"width":1920,"fps":61,"maxBitrateBps":8000000,"systemAudio":false,"audioBufferMilliseconds":60})"),
              "Invalid stream settings");
    EXPECT_EQ(configurationError(
                  R"({"width":1920,"fps":60,"maxBitrateBps":20000001,"systemAudio":false,"audioBufferMilliseconds":60})"),
              "Invalid stream settings");
}

TEST(StreamConfiguration, IntegersNeverWrap) {
    const auto width = [](const std::string& value) {
        return configurationError(R"({"width":)" + value +
                                  R"(,"height":1080,"fps":60,"maxBitrateBps":20000000,"systemAudio":false,"audioBufferMilliseconds":60})");
    };
    EXPECT_EQ(width("4294969216"), "Invalid stream settings");            // 2^32 + 1920
    EXPECT_EQ(width("-4294965376"), "Invalid stream settings");           // -2^32 + 1920
    EXPECT_EQ(width("18446744073709553536"), "Stream settings require integer values");  // beyond 64 bits
    EXPECT_EQ(width("18446744073709551615"), "Invalid stream settings");  // largest unsigned
    EXPECT_EQ(width("9223372036854775808"), "Invalid stream settings");   // 2^63
    EXPECT_EQ(width("-9223372036854775808"), "Invalid stream settings");
    EXPECT_EQ(width("-1920"), "Invalid stream settings");
    EXPECT_EQ(width("-0"), "Invalid stream settings");
    EXPECT_EQ(configurationError(
                  R"({"width":1920,"height":1080,"fps":60,"maxBitrateBps":4314967296,"systemAudio":false,"audioBufferMilliseconds":60})"),
              "Invalid stream settings");  // 2^32 + 20000000
    EXPECT_EQ(configurationError(
                  R"({"width":1920,"height":1080,"fps":60,"maxBitrateBps":20000000,"systemAudio":false,"audioBufferMilliseconds":4294967356})"),
              "Invalid stream settings");  // 2^32 + 60
    // Values built in memory with either integer kind are read alike.
    Json value = streamConfigurationJson(current(1920, 1080, 60, 20000000), true);
    value["width"] = std::uint64_t{1920};
    EXPECT_EQ(parseStreamConfiguration(value).width, 1920);
    value["width"] = std::uint64_t{1920} + (std::uint64_t{1} << 32);
    EXPECT_EQ(errorOf([&] { parseStreamConfiguration(value); }), "Invalid stream settings");
    value["width"] = std::int64_t{1920} - (std::int64_t{1} << 32);
    EXPECT_EQ(errorOf([&] { parseStreamConfiguration(value); }), "Invalid stream settings");
}

TEST(StreamConfiguration, JsonRoundTrip) {
    const StreamConfiguration now = current(2560, 1440, 120, 45000000);
    const Json written = streamConfigurationJson(now, true);
    EXPECT_EQ(toCompactJson(written),
              R"({"audioBufferMilliseconds":60,"fps":120,"height":1440,"maxBitrateBps":45000000,"systemAudio":false,"width":2560})");
    EXPECT_TRUE(written["width"].is_number_integer() && !written["width"].is_number_unsigned());
    EXPECT_EQ(parseStreamConfiguration(text(toCompactJson(written))), now);

    StreamConfiguration older;
    older.width = 1280;
    older.fps = 30;
    older.systemAudio = true;
    older.audioBufferMilliseconds = 100;
    const Json olderJson = streamConfigurationJson(older, false);
    EXPECT_EQ(toCompactJson(olderJson),
              R"({"audioBufferMilliseconds":100,"fps":30,"maxBitrateBps":20000000,"systemAudio":true,"width":1280})");
    EXPECT_EQ(parseStreamConfiguration(text(toCompactJson(olderJson))), older);
}

TEST(StreamConfiguration, WritingValidatesTheWrittenForm) {
    EXPECT_EQ(errorOf([] { streamConfigurationJson(current(3840, 2160, 120, 100000000), true); }),
              "Stream format exceeds H.264 Level 5.2");
    StreamConfiguration legacy;
    legacy.height = 720;
    EXPECT_EQ(errorOf([&] { streamConfigurationJson(legacy, false); }),
              "Legacy stream configuration cannot express this height");
    // Dropping the height of a 720-line configuration would make the receiver read 1080 lines.
    EXPECT_EQ(errorOf([] { streamConfigurationJson(current(1280, 720, 60, 8000000), false); }),
              "Legacy stream configuration cannot express this height");
    // An older configuration with an odd width cannot be written in the current format.
    StreamConfiguration odd;
    odd.width = 1001;
    EXPECT_NO_THROW(streamConfigurationJson(odd, false));
    EXPECT_EQ(errorOf([&] { streamConfigurationJson(odd, true); }), "Stream dimensions must be even");
}

// ---- modes ---------------------------------------------------------------------------------------

TEST(BuildStreamModes, Full1080pSource) {
    const StreamModes modes = buildStreamModes(1920, 1080, 60);
    EXPECT_EQ(modes.nativeWidth, 1920);
    EXPECT_EQ(modes.nativeHeight, 1080);
    EXPECT_EQ(modes.nativeFps, 60);
    EXPECT_EQ(modes.modes, modesAt(1920, 1080, kRates,
                                   {10000000, 20000000, 100000000, 100000000, 100000000, 100000000, 100000000}));
}

TEST(BuildStreamModes, LargerSourcesAddTheirSizes) {
    std::vector<StreamMode> expected = modesAt(1920, 1080, kRates,
                                               {10000000, 20000000, 100000000, 100000000, 100000000, 100000000,
                                                100000000});
    const auto qhd = modesAt(2560, 1440, {30, 60, 90, 120, 144}, std::vector<std::int32_t>(5, 100000000));
    expected.insert(expected.end(), qhd.begin(), qhd.end());
    EXPECT_EQ(buildStreamModes(2560, 1440, 144).modes, expected);
    ASSERT_EQ(expected.size(), 12u);

    const auto uhd = modesAt(3840, 2160, {30, 60}, {100000000, 100000000});
    expected.insert(expected.end(), uhd.begin(), uhd.end());
    EXPECT_EQ(buildStreamModes(3840, 2160, 60).modes, expected);
}

TEST(BuildStreamModes, SmallerSourceIsNeverUpscaled) {
    EXPECT_EQ(buildStreamModes(1366, 768, 60).modes,
              modesAt(1366, 768, kRates,
                      {5059260, 10118519, 100000000, 100000000, 100000000, 100000000, 100000000}));
    // Clamped to the lowest ceiling up to 60 fps.
    EXPECT_EQ(buildStreamModes(2, 2, 30).modes,
              modesAt(2, 2, kRates, {100000, 100000, 100000000, 100000000, 100000000, 100000000, 100000000}));
}

TEST(BuildStreamModes, NativeRateAndRounding) {
    // A 50 Hz source adds its own rate, sorted in, with a ceiling rounded up.
    const auto fifty = buildStreamModes(1920, 1080, 50).modes;
    ASSERT_EQ(fifty.size(), 8u);
    EXPECT_EQ(fifty[0], (StreamMode{1920, 1080, 30, 10000000}));
    EXPECT_EQ(fifty[1], (StreamMode{1920, 1080, 50, 16666667}));
    EXPECT_EQ(fifty[2], (StreamMode{1920, 1080, 60, 20000000}));
    // Above 60 fps the ceiling is the maximum.
    const auto seventyFive = buildStreamModes(1920, 1080, 75).modes;
    ASSERT_EQ(seventyFive.size(), 8u);
    EXPECT_EQ(seventyFive[2], (StreamMode{1920, 1080, 75, 100000000}));

    // A 16:10 source: more than 1080 lines always gets the maximum; 240 fps exceeds the level.
    EXPECT_EQ(buildStreamModes(1920, 1200, 60).modes,
              modesAt(1920, 1200, {30, 60, 90, 120, 144, 165}, std::vector<std::int32_t>(6, 100000000)));

    // Ultra-wide: heights are the integer quotient rounded down to even.
    const auto wide = buildStreamModes(3440, 1440, 100).modes;
    ASSERT_FALSE(wide.empty());
    EXPECT_EQ(wide[0], (StreamMode{1920, 802, 30, 7425926}));
    const auto has = [&](StreamMode mode) {
        for (const auto& m : wide)
            if (m == mode) return true;
        return false;
    };
    EXPECT_TRUE(has({2560, 1070, 30, 100000000}));
    EXPECT_TRUE(has({3440, 1440, 30, 100000000}));
    EXPECT_TRUE(has({1920, 802, 100, 100000000}));

    // Odd native sizes round down to even.
    EXPECT_EQ(buildStreamModes(1365, 767, 60).modes.front(), (StreamMode{1364, 766, 30, 5038696}));
}

TEST(BuildStreamModes, RejectsBadNativeValues) {
    for (auto [w, h, f] : std::vector<std::tuple<int, int, int>>{
             {1, 1080, 60}, {4097, 1080, 60}, {1920, 0, 60}, {1920, 4097, 60}, {1920, 1080, 0}, {1920, 1080, 241},
             {-1920, 1080, 60}}) {
        EXPECT_EQ(errorOf([&] { buildStreamModes(w, h, f); }), "Invalid stream settings") << w << "x" << h << "@" << f;
    }
    // Extreme but valid sources still produce a valid list.
    for (auto [w, h, f] : std::vector<std::tuple<int, int, int>>{
             {4096, 4096, 240}, {4096, 2, 1}, {2, 4096, 240}, {4096, 3, 7}, {3, 3, 1}}) {
        const StreamModes modes = buildStreamModes(w, h, f);
        EXPECT_FALSE(modes.modes.empty());
        EXPECT_NO_THROW(validateStreamModes(modes));
    }
}

StreamModes nativeHd(std::vector<StreamMode> modes) { return StreamModes{1920, 1080, 60, std::move(modes)}; }

TEST(StreamModes, CountLimits) {
    std::vector<StreamMode> list;
    for (int fps = 1; fps <= 48; ++fps) list.push_back({1920, 1080, fps, 100000000});
    const StreamModes full = nativeHd(list);
    const Json json = streamModesJson(full);
    EXPECT_LE(toCompactJson(json).size(), kStreamMessageLimit);
    EXPECT_EQ(parseStreamModes(text(toCompactJson(json))), full);

    list.push_back({1920, 1080, 49, 100000000});
    EXPECT_EQ(errorOf([&] { validateStreamModes(nativeHd(list)); }), "Stream modes must contain 1...48 tuples");
    Json tooMany = json;
    tooMany["modes"].push_back(Json{{"width", 1920}, {"height", 1080}, {"fps", 49}, {"maxBitrateBps", 100000000}});
    EXPECT_EQ(errorOf([&] { parseStreamModes(tooMany); }), "Stream modes must contain 1...48 tuples");

    EXPECT_EQ(errorOf([] { validateStreamModes(nativeHd({})); }), "Stream modes must contain 1...48 tuples");
    // Native values are checked before the count.
    EXPECT_EQ(errorOf([] { validateStreamModes(StreamModes{1920, 1080, 241, {}}); }), "Invalid stream settings");
}

TEST(StreamModes, PerModeChecksInOrder) {
    const auto check = [](StreamMode mode) { return errorOf([&] { validateStreamModes(nativeHd({mode})); }); };
    EXPECT_EQ(check({1920, 1080, 60, 20000000}), "<no error>");
    EXPECT_EQ(check({1921, 1080, 60, 1}), "Stream dimensions must be even");
    EXPECT_EQ(check({3840, 2160, 120, 1}), "Stream format exceeds H.264 Level 5.2");
    EXPECT_EQ(check({1920, 1200, 60, 99999}), "Invalid stream settings");
    EXPECT_EQ(check({1920, 1080, 60, 100000001}), "Invalid stream settings");
    EXPECT_EQ(check({1920, 1200, 60, 20000000}), "Stream mode would upscale the source");
    EXPECT_EQ(check({2560, 1440, 60, 20000000}), "Stream mode would upscale the source");
    EXPECT_EQ(check({1920, 1000, 60, 20000000}), "Stream mode changes the source aspect ratio");
    // The tolerance is just under two pixels either way.
    EXPECT_EQ(check({1920, 1078, 60, 20000000}), "Stream mode changes the source aspect ratio");
    EXPECT_EQ(check({1918, 1080, 60, 20000000}), "Stream mode changes the source aspect ratio");
    EXPECT_EQ(check({1366, 768, 60, 20000000}), "<no error>");
    EXPECT_EQ(errorOf([] { validateStreamModes(StreamModes{1921, 1080, 60, {{1920, 1078, 60, 20000000}}}); }),
              "<no error>");

    // The bitrate is not part of a mode's identity.
    EXPECT_EQ(errorOf([] {
                  validateStreamModes(nativeHd({{1920, 1080, 60, 20000000}, {1280, 720, 30, 5000000},
                                                {1920, 1080, 60, 30000000}}));
              }),
              "Duplicate stream mode");
    EXPECT_EQ(errorOf([] {
                  validateStreamModes(nativeHd({{1920, 1080, 60, 20000000}, {1920, 1080, 30, 20000000}}));
              }),
              "<no error>");
    // Modes are checked one after another: an earlier bad mode is reported before a later duplicate.
    EXPECT_EQ(errorOf([] {
                  validateStreamModes(nativeHd({{1920, 1080, 60, 20000000}, {1920, 1080, 60, 20000000},
                                                {1920, 1000, 60, 20000000}}));
              }),
              "Duplicate stream mode");
    EXPECT_EQ(errorOf([] {
                  validateStreamModes(nativeHd({{1920, 1000, 60, 20000000}, {1920, 1080, 60, 20000000},
                                                {1920, 1080, 60, 20000000}}));
              }),
              "Stream mode changes the source aspect ratio");
}

TEST(StreamModes, JsonFormAndRoundTrip) {
    const StreamModes modes = nativeHd({{1920, 1080, 30, 10000000}});
    EXPECT_EQ(toCompactJson(streamModesJson(modes)),
              R"({"kind":"stream.modes","modes":[{"fps":30,"height":1080,"maxBitrateBps":10000000,"width":1920}],)"
              R"("nativeFps":60,"nativeHeight":1080,"nativeWidth":1920,"version":2})");
    for (const auto& built : {buildStreamModes(1920, 1080, 60), buildStreamModes(3840, 2160, 60),
                              buildStreamModes(1366, 768, 60), buildStreamModes(3440, 1440, 100)}) {
        EXPECT_EQ(parseStreamModes(text(toCompactJson(streamModesJson(built)))), built);
    }
    EXPECT_EQ(errorOf([] { streamModesJson(nativeHd({})); }), "Stream modes must contain 1...48 tuples");
}

TEST(StreamModes, ParseRules) {
    const std::string mode = R"({"width":1920,"height":1080,"fps":60,"maxBitrateBps":20000000})";
    const auto parse = [](const std::string& kind, const std::string& version, const std::string& nativeFps,
                          const std::string& modes) {
        return errorOf([&] {
            parseStreamModes(text(R"({"kind":)" + kind + R"(,"version":)" + version +
                                  R"(,"nativeWidth":1920,"nativeHeight":1080,"nativeFps":)" + nativeFps +
                                  R"(,"modes":)" + modes + "}"));
        });
    };
    const std::string kind = "\"stream.modes\"";
    EXPECT_EQ(parse(kind, "2", "60", "[" + mode + "]"), "<no error>");
    EXPECT_EQ(parse("\"stream.mode\"", "2", "60", "[" + mode + "]"), "Unexpected stream modes kind");
    EXPECT_EQ(parse("1", "2", "60", "[" + mode + "]"), "Unexpected stream modes kind");
    EXPECT_EQ(parse("\"stream.mode\"", "3", "60", "[]"), "Unexpected stream modes kind");
    EXPECT_EQ(parse(kind, "3", "60.5", "[]"), "Invalid stream settings");
    EXPECT_EQ(parse(kind, "2.0", "60", "[" + mode + "]"), "Stream settings require integer values");
    EXPECT_EQ(parse(kind, "\"2\"", "60", "[" + mode + "]"), "Stream settings require integer values");
    EXPECT_EQ(parse(kind, "1", "60", "[" + mode + "]"), "Invalid stream settings");
    EXPECT_EQ(parse(kind, "4294967298", "60", "[" + mode + "]"), "Invalid stream settings");  // 2^32 + 2
    EXPECT_EQ(parse(kind, "2", "60.0", "[" + mode + "]"), "Stream settings require integer values");
    EXPECT_EQ(parse(kind, "2", "241", "[" + mode + "]"), "Invalid stream settings");
    EXPECT_EQ(parse(kind, "2", "60", "[]"), "Stream modes must contain 1...48 tuples");
    EXPECT_EQ(parse(kind, "2", "60", mode), "Stream modes must contain 1...48 tuples");
    EXPECT_EQ(parse(kind, "2", "60", "null"), "Stream modes must contain 1...48 tuples");
    EXPECT_EQ(parse(kind, "2", "60", "[1]"), "Unexpected stream settings fields");
    EXPECT_EQ(parse(kind, "2", "60", R"([{"width":1920,"height":1080,"fps":60,"maxBitrateBps":20000000,"x":0}])"),
              "Unexpected stream settings fields");
    EXPECT_EQ(parse(kind, "2", "60", R"([{"width":1920,"height":1080,"fps":60,"bitrate":20000000}])"),
              "Missing stream settings field");
    EXPECT_EQ(parse(kind, "2", "60", R"([{"width":1920,"height":1080.0,"fps":60,"maxBitrateBps":20000000}])"),
              "Stream settings require integer values");
    EXPECT_EQ(parse(kind, "2", "60", R"([{"width":1920,"height":1080,"fps":60,"maxBitrateBps":18446744073709551615}])"),
              "Invalid stream settings");
    EXPECT_EQ(parse(kind, "2", "60", R"([{"width":1920,"height":4098,"fps":60,"maxBitrateBps":20000000}])"),
              "Invalid stream settings");
    // Element checks run in list order, before the list-wide validation.
    EXPECT_EQ(parse(kind, "2", "60", "[" + mode + "," + mode + R"(,{"width":1920,"height":1080,"fps":"60","maxBitrateBps":1}])"),
              "Stream settings require integer values");
    EXPECT_EQ(parse(kind, "2", "60", "[" + mode + "," + mode + "]"), "Duplicate stream mode");
    EXPECT_EQ(parse(kind, "2", "60", R"([{"width":1920,"height":1200,"fps":60,"maxBitrateBps":20000000}])"),
              "Stream mode would upscale the source");
    EXPECT_EQ(parse(kind, "2", "60", R"([{"width":1920,"height":1000,"fps":60,"maxBitrateBps":20000000}])"),
              "Stream mode changes the source aspect ratio");

    EXPECT_EQ(errorOf([] { parseStreamModes(Json::array()); }), "Unexpected stream settings fields");
    EXPECT_EQ(errorOf([] {
                  parseStreamModes(text(
                      R"({"kind":"stream.modes","version":2,"nativeWidth":1920,"nativeHeight":1080,"nativeFps":60})"));
              }),
              "Unexpected stream settings fields");
    EXPECT_EQ(errorOf([] {
                  parseStreamModes(text(
                      R"({"kind":"stream.modes","version":2,"nativeWidth":1920,"nativeHeight":1080,"fps":60,"modes":[]})"));
              }),
              "Missing stream settings field");
}

// ---- offered modes and size ----------------------------------------------------------------------

TEST(CheckOfferedMode, MatchesSizeRateAndCeiling) {
    const StreamModes offered = buildStreamModes(2560, 1440, 144);
    EXPECT_NO_THROW(checkOfferedMode(current(1920, 1080, 60, 20000000), offered));
    EXPECT_EQ(errorOf([&] { checkOfferedMode(current(1920, 1080, 60, 20000001), offered); }),
              "Stream bitrate exceeds the offered mode ceiling");
    EXPECT_NO_THROW(checkOfferedMode(current(1920, 1080, 30, 100000), offered));
    EXPECT_EQ(errorOf([&] { checkOfferedMode(current(1920, 1080, 50, 1000000), offered); }),
              "Stream mode was not offered by the host");
    EXPECT_EQ(errorOf([&] { checkOfferedMode(current(1280, 720, 60, 1000000), offered); }),
              "Stream mode was not offered by the host");
    // Width, height and rate must all match.
    EXPECT_EQ(errorOf([] { checkOfferedMode(current(2560, 1080, 60, 1000000), buildStreamModes(2560, 1440, 144)); }),
              "Stream mode was not offered by the host");
    EXPECT_NO_THROW(checkOfferedMode(current(2560, 1440, 144, 100000000), offered));
    // The configuration is validated first.
    EXPECT_EQ(errorOf([&] { checkOfferedMode(current(3840, 2160, 120, 1000000), offered); }),
              "Stream format exceeds H.264 Level 5.2");
}

TEST(CheckOfferedMode, OlderFormatAndBadModes) {
    const StreamModes broken = nativeHd({});
    // Older configurations are not matched, so not even broken modes matter.
    StreamConfiguration older;
    older.width = 1280;
    EXPECT_NO_THROW(checkOfferedMode(older, broken));
    EXPECT_EQ(errorOf([&] { checkOfferedMode(current(1920, 1080, 60, 1000000), broken); }),
              "Stream modes must contain 1...48 tuples");
    EXPECT_EQ(errorOf([&] { checkOfferedMode(current(1921, 1080, 60, 1000000), broken); }),
              "Stream dimensions must be even");
}

TEST(StreamMessageSize, CompactUtf8BytesCount) {
    const auto withText = [](const std::string& value) { return Json{{"a", value}}; };  // 8 bytes of framing
    EXPECT_NO_THROW(checkStreamMessageSize(withText(std::string(4088, 'x'))));
    EXPECT_EQ(errorOf([&] { checkStreamMessageSize(withText(std::string(4089, 'x'))); }),
              "Stream settings exceed the message limit");
    // Two bytes per character: 2044 characters are 4088 bytes, 2045 are too many.
    std::string accented;
    for (int i = 0; i < 2044; ++i) accented += "\xC3\xA9";
    EXPECT_NO_THROW(checkStreamMessageSize(withText(accented)));
    accented += "\xC3\xA9";
    EXPECT_EQ(errorOf([&] { checkStreamMessageSize(withText(accented)); }), "Stream settings exceed the message limit");
}

}  // namespace
}  // namespace murel
