// X11 capture and the X11 presenter, each against its own Xvfb: pictures of the test scene drawn on
// a root window come back from capture with their stamp and exact colours; pictures presented into
// a window are read back from the screen, letterboxed on black.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "FakeMedia.hpp"
#include "LinuxMediaFactory.hpp"
#include "X11Media.hpp"
#include "XvfbDisplay.hpp"
#include "media/MediaError.hpp"

namespace murel::test {
namespace {

using namespace media_text;
using Clock = std::chrono::steady_clock;

struct DisplayClose {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

// The test's own connection to a private X server.
class TestDisplay {
public:
    explicit TestDisplay(const XvfbDisplay& server) : display_(XOpenDisplay(server.name().c_str())) {
        if (!display_) throw std::runtime_error("cannot connect to " + server.name());
    }
    Display* get() const { return display_.get(); }
    Window root() const { return DefaultRootWindow(display_.get()); }

    // Draws a BGRA picture at (x, y) of a drawable.
    void draw(Window target, const CpuPicture& picture, int x, int y) {
        Display* d = get();
        XImage* image = XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, 0,
                                     reinterpret_cast<char*>(picture.plane(0).data), picture.width(), picture.height(),
                                     32, static_cast<int>(picture.plane(0).stride));
        ASSERT_NE(image, nullptr);
        GC gc = XCreateGC(d, target, 0, nullptr);
        XPutImage(d, target, gc, image, 0, 0, x, y, picture.width(), picture.height());
        XFreeGC(d, gc);
        image->data = nullptr;
        XDestroyImage(image);
        XSync(d, False);
    }

    // A screenshot of a window's contents as a BGRA picture.
    std::shared_ptr<CpuPicture> grab(Window window, unsigned width, unsigned height) {
        Display* d = get();
        XImage* image = XGetImage(d, window, 0, 0, width, height, AllPlanes, ZPixmap);
        if (image == nullptr) return nullptr;
        std::shared_ptr<CpuPicture> picture = CpuPicture::allocate(PixelFormat::Bgra, width, height);
        for (unsigned y = 0; y < height; ++y) {
            std::memcpy(picture->row(y), image->data + static_cast<std::ptrdiff_t>(image->bytes_per_line) * y,
                        std::size_t{width} * 4);
        }
        XDestroyImage(image);
        return picture;
    }

    Window mappedWindow(int x, int y, unsigned width, unsigned height) {
        Display* d = get();
        const Window window = XCreateSimpleWindow(d, root(), x, y, width, height, 0, 0, 0x808080);
        XSelectInput(d, window, StructureNotifyMask);
        XMapRaised(d, window);
        XEvent event{};
        do {
            XWindowEvent(d, window, StructureNotifyMask, &event);
        } while (event.type != MapNotify);
        XSync(d, False);
        return window;
    }

private:
    std::unique_ptr<Display, DisplayClose> display_;
};

std::shared_ptr<CpuPicture> scene(std::uint32_t width, std::uint32_t height, std::uint32_t frame) {
    std::shared_ptr<CpuPicture> picture = CpuPicture::allocate(PixelFormat::Bgra, width, height);
    drawScene(*picture, frame, 1000 + frame);
    return picture;
}

// Polls until check() holds or ten seconds pass.
bool eventually(const std::function<bool()>& check) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (check()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return check();
}

Rgb colourAt(const CpuPicture& picture, double x, double y, int radius = 1) {
    const Bgr c = averageColour(picture, x, y, radius);
    return {c.r, c.g, c.b};
}

TEST(X11Capture, RootWindowPicturesCarryTheirStampAndColours) {
    XvfbDisplay server(640, 360);
    TestDisplay display(server);
    const auto capture = makeX11Capture(server.name());
    EXPECT_EQ(capture->desktopBounds(), (FrameRect{0, 0, 640, 360}));
    EXPECT_GT(capture->refreshRate(), 1u);

    for (std::uint32_t frame = 7; frame < 10; ++frame) {
        display.draw(display.root(), *scene(640, 360, frame), 0, 0);
        const CapturedFrame captured = capture->capture(0);
        ASSERT_TRUE(captured.hasFrame);
        EXPECT_EQ(captured.width, 640);
        EXPECT_EQ(captured.height, 360);
        const CpuPicture& picture = cpuPicture(*captured.picture);
        EXPECT_EQ(readSceneStamp(picture), (SceneStamp{frame, 1000 + frame}));
        for (int i = 0; i < 8; ++i) {
            const ScenePoint centre = sceneBarCentre(i, 640, 360);
            const Bgr bar = kSceneBars[static_cast<std::size_t>(i)];
            EXPECT_TRUE(near(colourAt(picture, centre.x, centre.y), {bar.r, bar.g, bar.b}, 0)) << "bar " << i;
        }
    }
    EXPECT_EQ(failureOf([&] { capture->capture(1001); }), kCaptureTimeoutUnbounded);
}

TEST(X11Capture, MissingDisplayIsReported) {
    EXPECT_NE(failureOf([] { makeX11Capture(":987654"); }).find("Cannot open X display :987654"), std::string::npos);
}

class X11PresenterTest : public ::testing::Test {
protected:
    XvfbDisplay server{800, 600};
    TestDisplay display{server};
    Window window = display.mappedWindow(0, 0, 400, 300);
    std::unique_ptr<ViewerPresenter> presenter = makeX11Presenter(server.name(), window);

    // Presents until consumed (the previous picture may still be on its way).
    PresentResult presentUntilConsumed(const PictureHandle& picture) {
        PresentResult result;
        eventually([&] {
            result = presenter->present(picture);
            return result.consumed;
        });
        return result;
    }
};

TEST_F(X11PresenterTest, LetterboxesOnBlackAndReadsBackFromTheScreen) {
    const PresentResult result = presentUntilConsumed(scene(320, 180, 42));
    EXPECT_EQ(result, (PresentResult{PresentStatus::Presented, true}));
    // 320 x 180 into 400 x 300: full width, 225 rows, 37.5 rows of black above and below.
    EXPECT_EQ(presenter->destination(), (FrameRect{0, 37.5, 400, 225}));

    std::shared_ptr<CpuPicture> shot;
    ASSERT_TRUE(eventually([&] {
        shot = display.grab(window, 400, 300);
        return shot && readSceneStamp(shot->row(38), 400, 224, shot->plane(0).stride) == SceneStamp{42, 1042};
    }));
    for (const double y : {1.0, 20.0, 36.0, 264.0, 280.0, 298.0}) {
        for (const double x : {1.0, 200.0, 398.0}) {
            EXPECT_TRUE(near(colourAt(*shot, x, y), {0, 0, 0}, 0)) << x << "," << y;
        }
    }
    for (int i = 0; i < 8; ++i) {
        const ScenePoint centre = sceneBarCentre(i, 400, 225);
        const Bgr bar = kSceneBars[static_cast<std::size_t>(i)];
        EXPECT_TRUE(near(colourAt(*shot, centre.x, 37.5 + centre.y), {bar.r, bar.g, bar.b}, 8)) << "bar " << i;
    }

    // A wider window pillarboxes the next picture.
    XResizeWindow(display.get(), window, 800, 300);
    XSync(display.get(), False);
    EXPECT_EQ(presentUntilConsumed(scene(320, 180, 43)), (PresentResult{PresentStatus::Presented, true}));
    const double width = 300.0 * 320 / 180;
    EXPECT_EQ(presenter->destination(), (FrameRect{(800 - width) / 2, 0, width, 300}));
    ASSERT_TRUE(eventually([&] {
        shot = display.grab(window, 800, 300);
        return shot && near(colourAt(*shot, 100, 150), {0, 0, 0}, 0) &&
               readSceneStamp(shot->row(0) + 4 * 134, 532, 300, shot->plane(0).stride) == SceneStamp{43, 1043};
    }));

    // The empty picture is all black.
    presenter->presentEmpty();
    EXPECT_EQ(presenter->destination(), FrameRect{});
    EXPECT_TRUE(eventually([&] {
        presenter->presentEmpty();
        shot = display.grab(window, 800, 300);
        return shot && near(colourAt(*shot, 400, 150, 0), {0, 0, 0}, 0) && near(colourAt(*shot, 120, 30), {0, 0, 0}, 0);
    }));
}

TEST_F(X11PresenterTest, HiddenAndCoveredWindowsConsumeWithoutShowing) {
    EXPECT_EQ(presentUntilConsumed(scene(320, 180, 1)).status, PresentStatus::Presented);

    XUnmapWindow(display.get(), window);
    XSync(display.get(), False);
    EXPECT_EQ(presenter->present(scene(320, 180, 2)), (PresentResult{PresentStatus::NotShown, true}));
    EXPECT_EQ(presenter->destination(), FrameRect{});

    XMapRaised(display.get(), window);
    XSync(display.get(), False);
    EXPECT_EQ(presentUntilConsumed(scene(320, 180, 3)).status, PresentStatus::Presented);

    // A window on top covering it completely: the presenter hears it is obscured.
    display.mappedWindow(0, 0, 800, 600);
    PresentResult covered;
    EXPECT_TRUE(eventually([&] {
        covered = presenter->present(scene(320, 180, 4));
        return covered.status == PresentStatus::Occluded;
    }));
    EXPECT_TRUE(covered.consumed);
    EXPECT_EQ(presenter->destination(), FrameRect{});
}

TEST_F(X11PresenterTest, NonBgraPicturesAndMissingWindowsAreRefused) {
    EXPECT_EQ(failureOf([&] { presenter->present(nullptr); }), kPresentAbsent);
    EXPECT_EQ(failureOf([&] { presentUntilConsumed(CpuPicture::allocate(PixelFormat::Nv12, 64, 64)); }),
              kPresentNeedsBgra);
    EXPECT_EQ(failureOf([&] { makeX11Presenter(server.name(), 0); }), "Invalid viewer window");
    // BadWindow (3) from the server for a window that does not exist.
    EXPECT_EQ(failureOf([&] { makeX11Presenter(server.name(), 0x1234567); }),
              "Open viewer window failed (X11 error 3)");
    XDestroyWindow(display.get(), window);
    XSync(display.get(), False);
    EXPECT_EQ(failureOf([&] { presenter->present(scene(64, 64, 0)); }), "Read viewer dimensions failed (X11 error 3)");
}

// Host and viewer on two displays, as two murel processes would be: the host's root window shows
// the scene, the viewer's window shows what came through the encoder and decoder.
TEST(X11Chain, CapturedScenePresentedOnAnotherDisplay) {
    XvfbDisplay hostServer(320, 180);
    XvfbDisplay viewerServer(640, 480);
    TestDisplay host(hostServer);
    TestDisplay viewer(viewerServer);
    const Window window = viewer.mappedWindow(0, 0, 320, 240);

    LinuxMediaOptions options;
    options.captureDisplay = hostServer.name();
    options.presenterDisplay = viewerServer.name();
    const MediaFactory media = makeLinuxMediaFactory(options);
    const auto device = media.makeGraphicsDevice(0);
    const auto converter = media.makeConverter(*device);
    const auto capture = media.makeCapture(*device, 0);
    const auto encoder = media.makeEncoder(*device, {320, 180, 30, 1000000});
    const auto decoder = media.makeDecoder(*device, VideoCodec::H264, 1920, 1080, 60);
    const auto presenter = media.makePresenter(*device, window);

    for (std::uint32_t frame = 0; frame < 12; ++frame) {
        host.draw(host.root(), *scene(320, 180, frame), 0, 0);
        const CapturedFrame captured = capture->capture(0);
        ASSERT_TRUE(captured.hasFrame);
        ASSERT_TRUE(encoder->encode(converter->convert(captured.picture, 0, PixelFormat::Nv12, 320, 180, 0, 0, 30),
                                    frame));
        for (const EncodedAccessUnit& unit : encoder->encodedUnits())
            ASSERT_TRUE(decoder->decode(unit.bytes, unit.timestamp));
        std::vector<DecodedFrame> frames = decoder->decodedFrames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].timestamp, frame);
        const PictureHandle bgra = converter->convert(frames[0].picture, 0, PixelFormat::Bgra, 320, 180, 320, 180, 30);
        PresentResult result;
        ASSERT_TRUE(eventually([&] {
            result = presenter->present(bgra);
            return result.consumed;
        }));
        EXPECT_EQ(result.status, PresentStatus::Presented);
        // 320 x 180 in 320 x 240: 30 rows of black above.
        ASSERT_TRUE(eventually([&] {
            const auto shot = viewer.grab(window, 320, 240);
            return shot &&
                   readSceneStamp(shot->row(30), 320, 180, shot->plane(0).stride) == SceneStamp{frame, 1000 + frame};
        })) << "picture " << frame;
    }
}

}  // namespace
}  // namespace murel::test
