// Per-picture latency of each Linux media stage (p50/p99 in ms) at 1920x1080 and 1280x720, and the
// capture-to-presented latency of the whole local chain (no network), paced at the frame rate.
//
//   media_bench [--pictures N] [--preset P] [--noise on|off] [--size WxH]...
//
// Capture reads a private Xvfb's root window showing the test scene; presentation draws into a
// window of the same size on a second private Xvfb. Encoding runs at 20 Mbit/s with the 30 and the
// 60 fps rate targets (libx264, the preset given, default ultrafast).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "FfmpegMedia.hpp"
#include "LinuxMediaFactory.hpp"
#include "SyntheticScene.hpp"
#include "X11Media.hpp"
#include "media/MediaClock.hpp"
#include "XvfbDisplay.hpp"

namespace {

using namespace murel;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of the whole process (every thread) in ms: on a shared machine the wall time of a stage
// depends on the load, its CPU time much less.
double processCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

struct Samples {
    std::string name;
    std::vector<double> ms;
    std::vector<double> cpuMs;

    // Measures one run of work.
    template <class Work>
    void time(Work&& work) {
        const auto start = Clock::now();
        const double cpu = processCpuMs();
        work();
        cpuMs.push_back(processCpuMs() - cpu);
        ms.push_back(msSince(start));
    }

    static double at(std::vector<double>& values, double q) {
        std::sort(values.begin(), values.end());
        return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
    }

    void report() {
        if (ms.empty()) return;
        std::printf("  %-44s p50 %7.2f ms   p99 %7.2f ms", name.c_str(), at(ms, 0.5), at(ms, 0.99));
        if (!cpuMs.empty()) std::printf("   cpu p50 %6.2f ms", at(cpuMs, 0.5));
        std::printf("   (n=%zu)\n", ms.size());
    }
};

struct XDisplay {
    explicit XDisplay(const std::string& name) : display(XOpenDisplay(name.c_str())) {
        if (display == nullptr) throw std::runtime_error("cannot open " + name);
    }
    ~XDisplay() { XCloseDisplay(display); }
    void draw(Window target, const CpuPicture& picture) const {
        XImage* image = XCreateImage(display, DefaultVisual(display, DefaultScreen(display)), 24, ZPixmap, 0,
                                     reinterpret_cast<char*>(picture.plane(0).data), picture.width(), picture.height(),
                                     32, static_cast<int>(picture.plane(0).stride));
        GC gc = XCreateGC(display, target, 0, nullptr);
        XPutImage(display, target, gc, image, 0, 0, 0, 0, picture.width(), picture.height());
        XFreeGC(display, gc);
        image->data = nullptr;
        XDestroyImage(image);
        XSync(display, False);
    }
    Window window(unsigned width, unsigned height) const {
        const Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, width, height, 0, 0, 0);
        XMapRaised(display, w);
        XSync(display, False);
        return w;
    }
    Display* display;
};

// With --noise, a quarter of each picture (the left half of the bars) is new noise every picture,
// like video playing on the desktop; otherwise the scene is mostly flat and cheap to encode.
bool gNoise = false;

std::shared_ptr<CpuPicture> scene(std::uint32_t width, std::uint32_t height, std::uint32_t frame) {
    std::shared_ptr<CpuPicture> picture = CpuPicture::allocate(PixelFormat::Bgra, width, height);
    drawScene(*picture, frame, steadyNanoseconds());
    if (gNoise) {
        std::uint32_t state = frame * 2654435761u + 1;
        for (std::uint32_t y = 0; y < height / 2; ++y) {
            std::uint8_t* row = picture->row(y);
            for (std::uint32_t x = 0; x < width / 2; ++x) {
                state = state * 1664525u + 1013904223u;
                row[4 * x] = static_cast<std::uint8_t>(state >> 24);
                row[4 * x + 1] = static_cast<std::uint8_t>(state >> 16);
                row[4 * x + 2] = static_cast<std::uint8_t>(state >> 8);
            }
        }
    }
    return picture;
}

// Presents until the presenter takes the picture (the previous one may still be on its way).
PresentResult presentWhenReady(ViewerPresenter& presenter, const PictureHandle& picture) {
    for (;;) {
        const PresentResult result = presenter.present(picture);
        if (result.consumed) return result;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void stages(std::uint32_t width, std::uint32_t height, int pictures, const X264Options& x264) {
    std::printf("%ux%u, %d pictures per stage\n", width, height, pictures);
    test::XvfbDisplay hostServer(static_cast<int>(width), static_cast<int>(height));
    test::XvfbDisplay viewerServer(static_cast<int>(width), static_cast<int>(height));
    XDisplay host(hostServer.name());
    XDisplay viewer(viewerServer.name());
    const Window window = viewer.window(width, height);

    const auto capture = makeX11Capture(hostServer.name());
    const auto converter = makeSwsConverter();
    const auto presenter = makeX11Presenter(viewerServer.name(), window);

    Samples captureMs{"capture (XShm root, copy)", {}, {}};
    Samples toNv12{"BGRA -> NV12 (same size)", {}, {}};
    Samples encode30{"encode 30 fps target (libx264 " + x264.preset + ")", {}, {}};
    Samples encode60{"encode 60 fps target (libx264 " + x264.preset + ")", {}, {}};
    Samples decodeMs{"decode (libavcodec H.264, 2 slice threads)", {}, {}};
    Samples toBgra{"decoded I420 -> BGRA (same size)", {}, {}};
    Samples presentMs{"present (X11 window, XShmPutImage)", {}, {}};
    const auto encoder30 = makeX264Encoder({width, height, 30, 20000000}, x264);
    const auto encoder60 = makeX264Encoder({width, height, 60, 20000000}, x264);
    const auto decoder = makeAvDecoder(VideoCodec::H264, 1920, 1080, 60);
    std::size_t bytes30 = 0;
    std::size_t bytes60 = 0;

    // One picture at a time through every stage; the 30 fps stream is decoded and presented.
    for (int i = 0; i < pictures; ++i) {
        host.draw(DefaultRootWindow(host.display), *scene(width, height, static_cast<std::uint32_t>(i)));
        CapturedFrame frame;
        captureMs.time([&] { frame = capture->capture(0); });
        PictureHandle nv12;
        toNv12.time([&] { nv12 = converter->convert(frame.picture, 0, PixelFormat::Nv12, width, height, 0, 0, 30); });

        std::vector<EncodedAccessUnit> units;
        encode60.time([&] {
            encoder60->encode(nv12, i * 166666);
            units = encoder60->encodedUnits();
        });
        for (const EncodedAccessUnit& unit : units) bytes60 += unit.bytes.size();
        encode30.time([&] {
            encoder30->encode(nv12, i * 333333);
            units = encoder30->encodedUnits();
        });

        for (const EncodedAccessUnit& unit : units) {
            bytes30 += unit.bytes.size();
            std::vector<DecodedFrame> frames;
            decodeMs.time([&] {
                decoder->decode(unit.bytes, unit.timestamp);
                frames = decoder->decodedFrames();
            });
            for (const DecodedFrame& decoded : frames) {
                PictureHandle bgra;
                toBgra.time([&] {
                    bgra = converter->convert(decoded.picture, decoded.slice, PixelFormat::Bgra, decoded.width,
                                              decoded.height, decoded.width, decoded.height, 30);
                });
                presentMs.time([&] { presentWhenReady(*presenter, bgra); });
            }
        }
    }
    for (Samples* samples : {&captureMs, &toNv12, &encode30, &encode60, &decodeMs, &toBgra, &presentMs}) {
        samples->report();
    }
    std::printf("  encoded rate: %.2f Mbit/s at 30 fps, %.2f Mbit/s at 60 fps (target 20)\n",
                bytes30 * 8.0 * 30 / pictures / 1e6, bytes60 * 8.0 * 60 / pictures / 1e6);
}

// The whole local chain paced at fps: capture of the host display (the scene is redrawn on its
// root window between pictures, outside the measurement), NV12, encode, decode, BGRA, present.
void chain(std::uint32_t width, std::uint32_t height, std::uint32_t fps, int pictures, const X264Options& x264) {
    test::XvfbDisplay hostServer(static_cast<int>(width), static_cast<int>(height));
    test::XvfbDisplay viewerServer(static_cast<int>(width), static_cast<int>(height));
    XDisplay host(hostServer.name());
    XDisplay viewer(viewerServer.name());
    const Window window = viewer.window(width, height);

    LinuxMediaOptions options;
    options.captureDisplay = hostServer.name();
    options.presenterDisplay = viewerServer.name();
    options.encoder = x264;
    const MediaFactory media = makeLinuxMediaFactory(options);
    const auto device = media.makeGraphicsDevice(0);
    const auto converter = media.makeConverter(*device);
    const auto capture = media.makeCapture(*device, 0);
    const auto encoder = media.makeEncoder(*device, {width, height, fps, 20000000});
    const auto decoder = media.makeDecoder(*device, VideoCodec::H264, 1920, 1080, 60);
    const auto presenter = media.makePresenter(*device, window);

    Samples latency{"capture-to-presented " + std::to_string(width) + "x" + std::to_string(height) + " @" +
                    std::to_string(fps),
                    {},
                    {}};
    const auto interval = std::chrono::nanoseconds(1000000000 / fps);
    auto next = Clock::now();
    for (int i = 0; i < pictures; ++i) {
        host.draw(DefaultRootWindow(host.display), *scene(width, height, static_cast<std::uint32_t>(i)));
        std::this_thread::sleep_until(next);
        next += interval;
        const CapturedFrame captured = capture->capture(0);
        encoder->encode(converter->convert(captured.picture, 0, PixelFormat::Nv12, width, height, 0, 0, fps),
                        steadyNanoseconds() / 100);
        for (const EncodedAccessUnit& unit : encoder->encodedUnits()) decoder->decode(unit.bytes, unit.timestamp);
        std::vector<DecodedFrame> frames = decoder->decodedFrames();
        if (frames.empty()) continue;
        const DecodedFrame& latest = frames.back();
        const PictureHandle bgra = converter->convert(latest.picture, latest.slice, PixelFormat::Bgra, latest.width,
                                                      latest.height, latest.width, latest.height, fps);
        presentWhenReady(*presenter, bgra);
        latency.ms.push_back((steadyNanoseconds() - captured.timestamp) / 1e6);
    }
    latency.report();
}

}  // namespace

int main(int argc, char** argv) {
    int pictures = 120;
    X264Options x264;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--pictures") pictures = std::max(10, std::atoi(argv[i + 1]));
        if (option == "--preset") x264.preset = argv[i + 1];
        if (option == "--noise") gNoise = std::string(argv[i + 1]) == "on";
        unsigned w = 0;
        unsigned h = 0;
        if (option == "--size" && std::sscanf(argv[i + 1], "%ux%u", &w, &h) == 2) sizes.emplace_back(w, h);
    }
    if (sizes.empty()) sizes = {{1920, 1080}, {1280, 720}};
    quietFfmpegLog();
    try {
        for (const auto& [w, h] : sizes) stages(w, h, pictures, x264);
        std::printf("whole local chain, paced\n");
        for (const auto& [w, h] : sizes) {
            chain(w, h, 30, pictures, x264);
            chain(w, h, 60, pictures, x264);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "media_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
