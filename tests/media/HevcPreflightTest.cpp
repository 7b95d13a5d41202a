// The HEVC test decode over a scripted decoder and a clock that moves only when the preflight sleeps.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <vector>

#include "FakeMedia.hpp"
#include "media/HevcPreflight.hpp"
#include "media/MediaError.hpp"
#include "media/MediaFactory.hpp"
#include "media/VideoEnvelope.hpp"

namespace murel::test {
namespace {

using namespace media_text;

struct DecoderScript {
    // Per submission: accept it or not (accepted when the list runs out).
    std::deque<bool> accepts;
    // After how many accepted units a frame comes out, and what it looks like.
    int framesAfter = 1;
    std::uint32_t width = 64;
    std::uint32_t height = 64;
    std::int64_t timestampOffset = 0;  // added to the first unit's timestamp
    std::uint32_t timestampError = 0;
    bool never = false;

    // Observed.
    std::vector<std::int64_t> acceptedTimestamps;
    int submissions = 0;
    bool sizeOk = true;
    bool destroyed = false;
    bool alive = false;
};

class ScriptedHevcDecoder final : public VideoDecoder {
public:
    explicit ScriptedHevcDecoder(DecoderScript& script) : VideoDecoder(VideoCodec::Hevc, 64, 64, 30), s_(script) {
        s_.alive = true;
    }
    ~ScriptedHevcDecoder() override {
        s_.alive = false;
        s_.destroyed = true;
    }
    std::vector<DecodedFrame> decodedFrames() override {
        std::vector<DecodedFrame> frames;
        if (!s_.never && static_cast<int>(s_.acceptedTimestamps.size()) >= s_.framesAfter && !delivered_) {
            delivered_ = true;
            for (int i = 0; i < 2; ++i) {  // the preflight looks at the first only
                DecodedFrame frame;
                frame.picture = fakePicture(PixelFormat::Nv12, s_.width, s_.height);
                frame.width = s_.width;
                frame.height = s_.height;
                frame.timestamp = s_.acceptedTimestamps[0] + s_.timestampOffset + i;
                frame.timestampError = s_.timestampError;
                frames.push_back(std::move(frame));
            }
        }
        return frames;
    }

protected:
    bool submitAccessUnit(std::span<const std::uint8_t> unit, std::int64_t timestamp) override {
        ++s_.submissions;
        if (unit.size() != kHevcTestUnit.size() || !std::equal(unit.begin(), unit.end(), kHevcTestUnit.begin())) {
            s_.sizeOk = false;
        }
        const bool accept = s_.accepts.empty() ? true : s_.accepts.front();
        if (!s_.accepts.empty()) s_.accepts.pop_front();
        if (accept) s_.acceptedTimestamps.push_back(timestamp);
        return accept;
    }

private:
    DecoderScript& s_;
    bool delivered_ = false;
};

struct Clock {
    std::int64_t now = 5000000000;
    int sleeps = 0;
    PreflightTiming timing() {
        return {[this] { return now; },
                [this](std::int64_t until) {
                    ++sleeps;
                    if (until > now) now = until;
                }};
    }
};

std::string preflight(DecoderScript& script, Clock& clock) {
    return failureOf([&] {
        runHevcPreflight([&] { return std::make_unique<ScriptedHevcDecoder>(script); }, clock.timing());
    });
}

TEST(HevcPreflight, SucceedsOnTheRightPicture) {
    DecoderScript script;
    Clock clock;
    EXPECT_EQ(preflight(script, clock), "");
    EXPECT_TRUE(script.sizeOk);
    EXPECT_TRUE(script.destroyed);
    EXPECT_FALSE(script.alive);
    // Four units went in during the first round (all accepted), timestamps 333,333 apart.
    EXPECT_EQ(script.acceptedTimestamps, (std::vector<std::int64_t>{12345, 345678, 679011, 1012344}));
    EXPECT_EQ(clock.sleeps, 1);
}

TEST(HevcPreflight, WrongTimestampOrSizeIsIncorrectVideoNotATimeout) {
    DecoderScript wrongTime;
    wrongTime.timestampOffset = 1;
    Clock clock;
    EXPECT_EQ(preflight(wrongTime, clock), kPreflightIncorrect);
    EXPECT_TRUE(wrongTime.destroyed);

    DecoderScript wrongSize;
    wrongSize.width = 64;
    wrongSize.height = 48;
    EXPECT_EQ(preflight(wrongSize, clock), kPreflightIncorrect);
}

TEST(HevcPreflight, UnreadableTimestampNamesItsStep) {
    DecoderScript script;
    script.timestampError = 0xC00D36B4u;
    Clock clock;
    EXPECT_EQ(preflight(script, clock), "Read HEVC preflight timestamp failed (HRESULT 3222091444)");
}

TEST(HevcPreflight, TimesOutAfterOneAndAHalfSecondsWithAtMostFourUnits) {
    DecoderScript script;
    script.never = true;
    Clock clock;
    const std::int64_t start = clock.now;
    EXPECT_EQ(preflight(script, clock), kPreflightTimeout);
    EXPECT_EQ(script.acceptedTimestamps.size(), 4u);
    EXPECT_EQ(script.submissions, 4);
    EXPECT_TRUE(script.destroyed);
    // 1 ms steps until 1.5 s have passed.
    EXPECT_EQ(clock.now - start, kPreflightLimitNs);
    EXPECT_EQ(clock.sleeps, 1500);
}

TEST(HevcPreflight, RefusedUnitsAreOfferedAgainInLaterRounds) {
    DecoderScript script;
    // First round: accepted, refused. Second: refused. Third: accepted x3 (four in all).
    script.accepts = {true, false, false, true, true, true};
    script.framesAfter = 4;
    Clock clock;
    EXPECT_EQ(preflight(script, clock), "");
    EXPECT_EQ(script.acceptedTimestamps, (std::vector<std::int64_t>{12345, 345678, 679011, 1012344}));
    EXPECT_EQ(script.submissions, 6);
    EXPECT_EQ(clock.sleeps, 3);
}

TEST(HevcPreflight, FactoryWithoutDecoderOrFailingDecoderThrows) {
    MediaFactory media;
    class NoDevice final : public GraphicsDevice {
    public:
        AdapterLuid adapterLuid() const override { return {}; }
    } device;
    Clock clock;
    EXPECT_EQ(failureOf([&] { runHevcPreflight(media, device, clock.timing()); }), kHevcUnavailable);

    media.makeDecoder = [](GraphicsDevice&, VideoCodec codec, std::uint32_t w, std::uint32_t h,
                           std::uint32_t fps) -> std::unique_ptr<VideoDecoder> {
        EXPECT_EQ(codec, VideoCodec::Hevc);
        EXPECT_EQ(w, 64u);
        EXPECT_EQ(h, 64u);
        EXPECT_EQ(fps, 30u);
        throw ProtocolError(kHevcUnavailable);
    };
    EXPECT_EQ(failureOf([&] { runHevcPreflight(media, device, clock.timing()); }), kHevcUnavailable);
}

TEST(HevcPreflight, TestUnitIsTheBuiltInPicture) {
    ASSERT_EQ(kHevcTestUnit.size(), 103u);
    EXPECT_EQ(kHevcTestUnit[4], 0x40);    // VPS
    EXPECT_EQ(kHevcTestUnit[102], 0x8c);  // last byte of the slice
}

}  // namespace
}  // namespace murel::test
