// The shared capture step over a scripted duplication that behaves like DXGI's: a frame that is
// not given back makes every later acquire fail.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <stdexcept>

#include "FakeMedia.hpp"
#include "media/DesktopCapture.hpp"
#include "media/MediaError.hpp"

namespace murel::test {
namespace {

using namespace media_text;

class ScriptedCapture final : public DesktopCapture {
public:
    enum class Next { Frame, NoNewFrame, AccessLost };

    std::deque<Next> script;
    bool masked = false;
    PictureDescription description{PixelFormat::Bgra, 1920, 1080, 1};
    std::function<void()> failDescribe;
    std::function<void()> failCopy;
    bool failStart = false;

    int starts = 0;
    int stops = 0;
    int acquires = 0;
    int releases = 0;
    bool held = false;

    FrameRect desktopBounds() const override { return {-1920, 0, 1920, 1080}; }
    std::uint32_t refreshRate() override { return 60; }

protected:
    bool duplicating() const override { return running_; }
    void startDuplication() override {
        ++starts;
        if (failStart) throw ProtocolError("Start desktop duplication failed (HRESULT 2147942405)");
        running_ = true;
    }
    void stopDuplication() noexcept override {
        ++stops;
        running_ = false;
    }
    Acquired acquireFrame(std::uint32_t) override {
        ++acquires;
        // DXGI refuses a new frame while the last one is still held.
        if (held) throw ProtocolError("Acquire desktop frame failed (HRESULT 2289696769)");
        const Next next = script.empty() ? Next::Frame : script.front();
        if (!script.empty()) script.pop_front();
        if (next == Next::NoNewFrame) return Acquired::NoNewFrame;
        if (next == Next::AccessLost) return Acquired::AccessLost;
        held = true;
        return Acquired::Frame;
    }
    bool protectedContentMasked() override { return masked; }
    PictureDescription describeAcquired() override {
        if (failDescribe) failDescribe();
        return description;
    }
    PictureHandle copyAcquired() override {
        if (failCopy) failCopy();
        return fakePicture(description.format, description.width, description.height);
    }
    std::int64_t acquiredTimestamp() override { return 777; }
    void releaseFrame() noexcept override {
        ++releases;
        held = false;
    }

private:
    bool running_ = false;
};

TEST(DesktopCapture, DeliversAFrameWithBoundsAndTimestamp) {
    ScriptedCapture capture;
    const CapturedFrame frame = capture.capture(0);
    ASSERT_TRUE(frame.hasFrame);
    EXPECT_EQ(frame.picture->describe().width, 1920u);
    EXPECT_EQ(frame.x, -1920);
    EXPECT_EQ(frame.width, 1920);
    EXPECT_EQ(frame.height, 1080);
    EXPECT_EQ(frame.timestamp, 777);
    EXPECT_EQ(capture.releases, 1);
    EXPECT_EQ(capture.starts, 1);

    capture.script = {ScriptedCapture::Next::NoNewFrame};
    const CapturedFrame none = capture.capture(1000);
    EXPECT_FALSE(none.hasFrame);
    EXPECT_EQ(none.picture, nullptr);
    EXPECT_EQ(capture.releases, 1);  // nothing was held
}

TEST(DesktopCapture, UnboundedTimeoutFailsBeforeTouchingTheDuplication) {
    ScriptedCapture capture;
    EXPECT_EQ(failureOf([&] { capture.capture(1001); }), kCaptureTimeoutUnbounded);
    EXPECT_EQ(capture.starts, 0);
    EXPECT_EQ(capture.acquires, 0);
}

// Each failure after the image was acquired gives it back, so the next capture works.
TEST(DesktopCapture, AnAcquiredImageIsReleasedOnEveryFailure) {
    struct Case {
        const char* name;
        std::function<void(ScriptedCapture&)> arrange;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"protected content", [](ScriptedCapture& c) { c.masked = true; }, kCaptureProtected},
        {"texture unreadable",
         [](ScriptedCapture& c) {
             c.failDescribe = [] { throw ProtocolError("Read desktop texture failed (HRESULT 2147500034)"); };
         },
         "Read desktop texture failed (HRESULT 2147500034)"},
        {"ten-bit desktop", [](ScriptedCapture& c) { c.description.format = static_cast<PixelFormat>(24); },
         kCaptureFormat},
        {"float desktop", [](ScriptedCapture& c) { c.description.format = static_cast<PixelFormat>(10); },
         kCaptureFormat},
        {"too wide", [](ScriptedCapture& c) { c.description.width = 8193; }, kCaptureFormat},
        {"too tall", [](ScriptedCapture& c) { c.description.height = 8193; }, kCaptureFormat},
        {"copy allocation fails",
         [](ScriptedCapture& c) {
             c.failCopy = [] { throw ProtocolError("Allocate owned capture texture failed (HRESULT 2147942414)"); };
         },
         "Allocate owned capture texture failed (HRESULT 2147942414)"},
        {"copy throws something else", [](ScriptedCapture& c) { c.failCopy = [] { throw std::bad_alloc(); }; }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedCapture capture;
        c.arrange(capture);
        try {
            capture.capture(0);
            ADD_FAILURE() << "capture succeeded";
        } catch (const ProtocolError& error) {
            EXPECT_EQ(error.what(), c.expected);
        } catch (const std::bad_alloc&) {
            EXPECT_EQ(c.expected, "");
        }
        EXPECT_EQ(capture.releases, 1);
        EXPECT_FALSE(capture.held);

        // Once the cause is gone the next capture succeeds: nothing is left held.
        capture.masked = false;
        capture.failDescribe = nullptr;
        capture.failCopy = nullptr;
        capture.description = {PixelFormat::Bgra, 1920, 1080, 1};
        EXPECT_TRUE(capture.capture(0).hasFrame);
        EXPECT_EQ(capture.releases, 2);
    }
}

TEST(DesktopCapture, EightThousandPixelDesktopsAreAllowed) {
    ScriptedCapture capture;
    capture.description = {PixelFormat::Bgra, 8192, 8192, 1};
    EXPECT_TRUE(capture.capture(0).hasFrame);
}

TEST(DesktopCapture, LostAccessIsTransientAndTheNextCallRestarts) {
    ScriptedCapture capture;
    EXPECT_TRUE(capture.capture(0).hasFrame);
    capture.script = {ScriptedCapture::Next::AccessLost};
    try {
        capture.capture(0);
        ADD_FAILURE() << "access loss not reported";
    } catch (const TransientMediaError& error) {
        EXPECT_STREQ(error.what(), kCaptureLost);
    }
    EXPECT_EQ(capture.stops, 1);
    EXPECT_EQ(capture.starts, 1);
    EXPECT_EQ(capture.releases, 1);

    // While the desktop stays unavailable the restart's own failure is reported, every time.
    capture.failStart = true;
    EXPECT_EQ(failureOf([&] { capture.capture(0); }), "Start desktop duplication failed (HRESULT 2147942405)");
    EXPECT_EQ(failureOf([&] { capture.capture(0); }), "Start desktop duplication failed (HRESULT 2147942405)");
    EXPECT_EQ(capture.starts, 3);
    capture.failStart = false;
    EXPECT_TRUE(capture.capture(0).hasFrame);
    EXPECT_EQ(capture.starts, 4);
}

}  // namespace
}  // namespace murel::test
