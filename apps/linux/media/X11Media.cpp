#include "X11Media.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>

#include "CpuPicture.hpp"
#include "FfmpegMedia.hpp"
#include "media/MediaClock.hpp"
#include "media/MediaError.hpp"

namespace murel {
namespace {

// X errors are reported to one process-wide handler. Ours records the first error of the calling
// thread instead of ending the process (Xlib's default); ErrorTrap reads it back after a sync.
thread_local int tlsXError = 0;

int recordXError(Display*, XErrorEvent* event) {
    if (tlsXError == 0) tlsXError = event->error_code;
    return 0;
}

class ErrorTrap {
public:
    explicit ErrorTrap(Display* display) : display_(display) {
        static std::once_flag installed;
        std::call_once(installed, [] { XSetErrorHandler(recordXError); });
        XSync(display_, False);
        tlsXError = 0;
    }
    // Waits for the server to handle what was sent and returns the first error code, 0 for none.
    int sync() {
        XSync(display_, False);
        const int error = tlsXError;
        tlsXError = 0;
        return error;
    }

private:
    Display* display_;
};

struct DisplayClose {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayHandle = std::unique_ptr<Display, DisplayClose>;

DisplayHandle openDisplay(const std::string& name) {
    DisplayHandle display(XOpenDisplay(name.empty() ? nullptr : name.c_str()));
    if (!display) {
        throw ProtocolError("Cannot open X display " + (name.empty() ? std::string("(DISPLAY not usable)") : name));
    }
    throwUnless(XShmQueryExtension(display.get()) == True, "The X server lacks the shared-memory extension");
    return display;
}

// An XImage in a shared-memory segment attached to the server. Released in reverse order.
class ShmImage {
public:
    ShmImage(Display* display, Visual* visual, int depth, std::uint32_t width, std::uint32_t height)
        : display_(display) {
        image_ = XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &segment_, width,
                                 height);
        if (image_ == nullptr) throw ProtocolError("Create shared X image failed");
        const std::size_t bytes = static_cast<std::size_t>(image_->bytes_per_line) * height;
        segment_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (segment_.shmid < 0) {
            const int error = errno;
            destroyImage();
            throw ProtocolError(libraryFailureText("Allocate shared X image", "errno", error));
        }
        void* memory = shmat(segment_.shmid, nullptr, 0);
        if (memory == reinterpret_cast<void*>(-1)) {
            const int error = errno;
            shmctl(segment_.shmid, IPC_RMID, nullptr);
            destroyImage();
            throw ProtocolError(libraryFailureText("Map shared X image", "errno", error));
        }
        segment_.shmaddr = image_->data = static_cast<char*>(memory);
        segment_.readOnly = False;
        ErrorTrap trap(display);
        const Bool attached = XShmAttach(display, &segment_);
        const int error = trap.sync();
        // Marked for removal at once: the segment goes away with its last user, even after a crash.
        shmctl(segment_.shmid, IPC_RMID, nullptr);
        if (attached == False || error != 0) {
            shmdt(segment_.shmaddr);
            destroyImage();
            throw ProtocolError(libraryFailureText("Attach shared X image", "X11", error));
        }
    }

    ~ShmImage() {
        XShmDetach(display_, &segment_);
        XSync(display_, False);
        shmdt(segment_.shmaddr);
        destroyImage();
    }

    ShmImage(const ShmImage&) = delete;
    ShmImage& operator=(const ShmImage&) = delete;

    XImage* get() const { return image_; }
    std::uint32_t width() const { return static_cast<std::uint32_t>(image_->width); }
    std::uint32_t height() const { return static_cast<std::uint32_t>(image_->height); }
    std::uint8_t* row(std::uint32_t y) const {
        return reinterpret_cast<std::uint8_t*>(image_->data) + static_cast<std::ptrdiff_t>(image_->bytes_per_line) * y;
    }
    std::ptrdiff_t stride() const { return image_->bytes_per_line; }
    // Pixels laid out as B, G, R, padding in memory.
    bool isBgra() const {
        return image_->bits_per_pixel == 32 && image_->byte_order == LSBFirst && image_->red_mask == 0xff0000 &&
               image_->green_mask == 0xff00 && image_->blue_mask == 0xff;
    }

private:
    void destroyImage() {
        image_->data = nullptr;  // shared memory, not XDestroyImage's to free
        XDestroyImage(image_);
    }

    Display* display_;
    XImage* image_ = nullptr;
    XShmSegmentInfo segment_{};
};

class X11DesktopCapture final : public DesktopCapture {
public:
    explicit X11DesktopCapture(const std::string& name)
        : display_(openDisplay(name)), root_(DefaultRootWindow(display_.get())) {
        startDuplication();
    }

    FrameRect desktopBounds() const override { return bounds_; }

    std::uint32_t refreshRate() override {
        Display* d = display_.get();
        int eventBase = 0;
        int errorBase = 0;
        if (XRRQueryExtension(d, &eventBase, &errorBase) == False) return kDefaultRefreshRate;
        std::uint32_t modeRate = 0;
        if (XRRScreenResources* resources = XRRGetScreenResourcesCurrent(d, root_)) {
            for (int c = 0; c < resources->ncrtc && modeRate == 0; ++c) {
                XRRCrtcInfo* crtc = XRRGetCrtcInfo(d, resources, resources->crtcs[c]);
                if (crtc == nullptr) continue;
                for (int m = 0; m < resources->nmode && crtc->mode != None; ++m) {
                    const XRRModeInfo& mode = resources->modes[m];
                    if (mode.id != crtc->mode) continue;
                    const std::uint64_t dots = std::uint64_t{mode.hTotal} * mode.vTotal;
                    if (dots <= 0xFFFFFFFFu && mode.dotClock <= 0xFFFFFFFFu) {
                        modeRate = roundRefreshRate(static_cast<std::uint32_t>(mode.dotClock),
                                                    static_cast<std::uint32_t>(dots));
                    }
                    break;
                }
                XRRFreeCrtcInfo(crtc);
            }
            XRRFreeScreenResources(resources);
        }
        std::uint32_t configRate = 0;
        if (XRRScreenConfiguration* configuration = XRRGetScreenInfo(d, root_)) {
            const short rate = XRRConfigCurrentRate(configuration);
            configRate = rate > 0 ? static_cast<std::uint32_t>(rate) : 0;
            XRRFreeScreenConfigInfo(configuration);
        }
        return pickRefreshRate(modeRate, configRate);
    }

protected:
    bool duplicating() const override { return image_ != nullptr; }

    void startDuplication() override {
        image_.reset();
        XWindowAttributes attributes{};
        ErrorTrap trap(display_.get());
        const Status read = XGetWindowAttributes(display_.get(), root_, &attributes);
        const int error = trap.sync();
        if (read == 0 || error != 0) throw ProtocolError(libraryFailureText("Read desktop bounds", "X11", error));
        bounds_ = {0, 0, static_cast<double>(attributes.width), static_cast<double>(attributes.height)};
        image_ = std::make_unique<ShmImage>(display_.get(), attributes.visual, attributes.depth,
                                            static_cast<std::uint32_t>(attributes.width),
                                            static_cast<std::uint32_t>(attributes.height));
    }

    void stopDuplication() noexcept override { image_.reset(); }

    Acquired acquireFrame(std::uint32_t) override {
        Window root = 0;
        int x = 0;
        int y = 0;
        unsigned width = 0;
        unsigned height = 0;
        unsigned border = 0;
        unsigned depth = 0;
        XGetGeometry(display_.get(), root_, &root, &x, &y, &width, &height, &border, &depth);
        // The screen changed size (a mode change): the duplication no longer matches it.
        if (width != image_->width() || height != image_->height()) return Acquired::AccessLost;
        acquiredAt_ = steadyNanoseconds();
        ErrorTrap trap(display_.get());
        const Bool got = XShmGetImage(display_.get(), root_, image_->get(), 0, 0, AllPlanes);
        const int error = trap.sync();
        if (got == False || error != 0) throw ProtocolError(libraryFailureText("Acquire desktop frame", "X11", error));
        return Acquired::Frame;
    }

    bool protectedContentMasked() override { return false; }

    PictureDescription describeAcquired() override {
        return {image_->isBgra() ? PixelFormat::Bgra : PixelFormat::Unknown, image_->width(), image_->height(), 1};
    }

    PictureHandle copyAcquired() override {
        std::shared_ptr<CpuPicture> picture =
            CpuPicture::allocate(PixelFormat::Bgra, image_->width(), image_->height());
        const std::size_t bytes = std::size_t{image_->width()} * 4;
        for (std::uint32_t y = 0; y < image_->height(); ++y) std::memcpy(picture->row(y), image_->row(y), bytes);
        return picture;
    }

    std::int64_t acquiredTimestamp() override { return acquiredAt_; }
    void releaseFrame() noexcept override {}

private:
    DisplayHandle display_;
    Window root_;
    std::unique_ptr<ShmImage> image_;
    FrameRect bounds_;
    std::int64_t acquiredAt_ = 0;
};

class X11Presenter final : public ViewerPresenter {
public:
    X11Presenter(const std::string& name, std::uint64_t window) : display_(openDisplay(name)) {
        throwUnless(window != 0 && window <= 0x1FFFFFFFu, "Invalid viewer window");
        window_ = static_cast<Window>(window);
        Display* d = display_.get();
        completionEvent_ = XShmGetEventBase(d) + ShmCompletion;
        ErrorTrap trap(d);
        XSelectInput(d, window_, VisibilityChangeMask | StructureNotifyMask);
        gc_ = XCreateGC(d, window_, 0, nullptr);
        const int error = trap.sync();
        if (error != 0) {
            if (gc_ != nullptr) XFreeGC(d, gc_);
            throw ProtocolError(libraryFailureText("Open viewer window", "X11", error));
        }
    }

    ~X11Presenter() override {
        image_.reset();
        XFreeGC(display_.get(), gc_);
    }

    void presentEmpty() override {
        destination_ = {};
        pumpEvents();
        const XWindowAttributes attributes = readWindow();
        if (attributes.map_state != IsViewable || pending_) return;
        resize(attributes);
        if (!image_) return;
        clear();
        put();
    }

    FrameRect destination() const override { return destination_; }

protected:
    PresentResult presentPicture(const Picture& picture) override {
        const FrameRect remembered = destination_;
        destination_ = {};
        pumpEvents();
        const XWindowAttributes attributes = readWindow();
        if (attributes.map_state != IsViewable) return {PresentStatus::NotShown, true};
        if (pending_) {
            if (attributes.width == width_ && attributes.height == height_ && width_ > 0 && height_ > 0) {
                destination_ = remembered;
                return {PresentStatus::NotShown, false};
            }
            return {PresentStatus::NotShown, true};
        }
        resize(attributes);
        if (!image_) return {PresentStatus::NotShown, true};
        checkPresentable(picture);
        const CpuPicture& source = cpuPicture(picture);
        if (obscured_) return {PresentStatus::Occluded, true};

        const FrameRect fitted = fitRect(width_, height_, source.width(), source.height());
        const auto x0 = static_cast<std::int32_t>(std::lround(fitted.x));
        const auto y0 = static_cast<std::int32_t>(std::lround(fitted.y));
        const auto x1 = std::min<std::int32_t>(width_, static_cast<std::int32_t>(std::lround(fitted.x + fitted.w)));
        const auto y1 = std::min<std::int32_t>(height_, static_cast<std::int32_t>(std::lround(fitted.y + fitted.h)));
        const std::array<std::int32_t, 4> drawn = {x0, y0, x1, y1};
        // The bars stay black from the last clear while the picture's place does not change.
        if (drawn != drawn_) {
            clear();
            drawn_ = drawn;
        }
        if (x1 > x0 && y1 > y0) {
            scaler_.scale(source, image_->row(static_cast<std::uint32_t>(y0)) + std::ptrdiff_t{4} * x0,
                          image_->stride(), static_cast<std::uint32_t>(x1 - x0), static_cast<std::uint32_t>(y1 - y0));
        }
        put();
        destination_ = fitted;
        return {PresentStatus::Presented, true};
    }

private:
    XWindowAttributes readWindow() {
        XWindowAttributes attributes{};
        ErrorTrap trap(display_.get());
        const Status read = XGetWindowAttributes(display_.get(), window_, &attributes);
        const int error = trap.sync();
        if (read == 0 || error != 0) throw ProtocolError(libraryFailureText("Read viewer dimensions", "X11", error));
        return attributes;
    }

    // Takes the events that arrived (completion of the last put, visibility) without waiting.
    void pumpEvents() {
        Display* d = display_.get();
        while (XPending(d) > 0) {
            XEvent event{};
            XNextEvent(d, &event);
            if (event.type == completionEvent_) {
                pending_ = false;
            } else if (event.type == VisibilityNotify && event.xvisibility.window == window_) {
                obscured_ = event.xvisibility.state == VisibilityFullyObscured;
            }
        }
        // A completion that never comes (the server dropped the request) must not stall the viewer.
        if (pending_ && steadyNanoseconds() - putAt_ > 1000000000) {
            XSync(d, False);
            pending_ = false;
        }
    }

    void resize(const XWindowAttributes& attributes) {
        if (attributes.width <= 0 || attributes.height <= 0) {
            width_ = height_ = 0;
            image_.reset();
            return;
        }
        if (image_ && attributes.width == width_ && attributes.height == height_) return;
        image_.reset();
        image_ = std::make_unique<ShmImage>(display_.get(), attributes.visual, attributes.depth,
                                            static_cast<std::uint32_t>(attributes.width),
                                            static_cast<std::uint32_t>(attributes.height));
        throwUnless(image_->isBgra(), "The viewer window needs a 24-bit TrueColor visual");
        width_ = attributes.width;
        height_ = attributes.height;
        drawn_ = {};
        clear();
    }

    void clear() {
        for (std::uint32_t y = 0; y < image_->height(); ++y) {
            std::memset(image_->row(y), 0, std::size_t{image_->width()} * 4);
        }
    }

    void put() {
        XShmPutImage(display_.get(), window_, gc_, image_->get(), 0, 0, 0, 0, image_->width(), image_->height(), True);
        XFlush(display_.get());
        pending_ = true;
        putAt_ = steadyNanoseconds();
    }

    DisplayHandle display_;
    Window window_ = 0;
    GC gc_ = nullptr;
    int completionEvent_ = 0;
    std::unique_ptr<ShmImage> image_;
    BgraScaler scaler_;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::array<std::int32_t, 4> drawn_{};
    FrameRect destination_;
    bool pending_ = false;
    bool obscured_ = false;
    std::int64_t putAt_ = 0;
};

}  // namespace

std::unique_ptr<DesktopCapture> makeX11Capture(const std::string& display) {
    return std::make_unique<X11DesktopCapture>(display);
}

std::unique_ptr<ViewerPresenter> makeX11Presenter(const std::string& display, std::uint64_t window) {
    return std::make_unique<X11Presenter>(display, window);
}

}  // namespace murel
