// The X11 viewer window: event loop, focus, full screen and the translation of X events for the
// input capture. Only this file and the presenter's see Xlib.
#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>

#include <poll.h>

#include "EvdevKeys.hpp"
#include "ViewerWindow.hpp"
#include "X11KeyEvent.hpp"
#include "input/ViewerInputCapture.hpp"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#undef Status  // Xlib's macro; app::Status is meant below

namespace murel {
namespace {

// Xlib's default error handler ends the process. A request racing the window manager (focusing a
// window it just unmapped, say) must not end a session, so errors are counted and dropped.
std::atomic<unsigned> droppedXErrors{0};

int countXError(Display*, XErrorEvent*) {
    droppedXErrors.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

struct DisplayClose {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

// The character a keysym types: Latin-1 keysyms are their code point, Unicode keysyms carry it in
// the low 24 bits. 0 for everything else (function keys, modifiers).
char32_t keysymCharacter(KeySym keysym) {
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) return static_cast<char32_t>(keysym);
    if ((keysym & 0xFF000000UL) == 0x01000000UL) {
        const auto cp = static_cast<char32_t>(keysym & 0x00FFFFFFUL);
        if (cp >= 0x20 && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) && cp != 0x7F) return cp;
    }
    return 0;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Text without control characters (an input method may commit a newline with the text; the
// host types it as Return, but a lone Tab or Backspace from a key is a key, not text).
bool printable(const std::string& text) {
    if (text.empty()) return false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

class X11ViewerWindow final : public ViewerWindow, private ViewerInputPort {
public:
    X11ViewerWindow(const ViewerWindowOptions& options, ViewerWindowHandlers handlers)
        : handlers_(std::move(handlers)), capture_(*this) {
        XSetErrorHandler(countXError);
        display_.reset(XOpenDisplay(options.display.empty() ? nullptr : options.display.c_str()));
        if (!display_) {
            throw std::runtime_error("Cannot open X display " +
                                     (options.display.empty() ? std::string("(is DISPLAY set?)") : options.display));
        }
        Display* d = display_.get();
        const int screen = DefaultScreen(d);
        screenWidth_ = DisplayWidth(d, screen);
        screenHeight_ = DisplayHeight(d, screen);
        const int width = std::clamp(options.width, 64, std::max(64, screenWidth_));
        const int height = std::clamp(options.height, 64, std::max(64, screenHeight_));

        XSetWindowAttributes attributes{};
        attributes.background_pixel = BlackPixel(d, screen);
        attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                                PointerMotionMask | EnterWindowMask | LeaveWindowMask | FocusChangeMask |
                                StructureNotifyMask | ExposureMask;
        window_ = XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(width),
                                static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                CWBackPixel | CWEventMask, &attributes);
        width_ = width;
        height_ = height;

        deleteWindow_ = XInternAtom(d, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(d, window_, &deleteWindow_, 1);
        netWmState_ = XInternAtom(d, "_NET_WM_STATE", False);
        netWmStateFullscreen_ = XInternAtom(d, "_NET_WM_STATE_FULLSCREEN", False);
        netWmName_ = XInternAtom(d, "_NET_WM_NAME", False);
        utf8String_ = XInternAtom(d, "UTF8_STRING", False);
        XClassHint classHint{};
        std::string name = "murel";
        std::string klass = "Murel";
        classHint.res_name = name.data();
        classHint.res_class = klass.data();
        XSetClassHint(d, window_, &classHint);
        setTitle(options.title);

        // Repeats arrive as presses without releases between them, so they can be told apart.
        Bool supported = False;
        XkbSetDetectableAutoRepeat(d, True, &supported);

        // An input method, when one runs, commits text as key presses with keycode 0.
        std::setlocale(LC_CTYPE, "");
        XSetLocaleModifiers("");
        im_ = XOpenIM(d, nullptr, nullptr, nullptr);
        if (im_ != nullptr) {
            ic_ = XCreateIC(im_, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, window_,
                            XNFocusWindow, window_, nullptr);
            if (ic_ != nullptr) {
                long imEvents = 0;
                XGetICValues(ic_, XNFilterEvents, &imEvents, nullptr);
                XSelectInput(d, window_, attributes.event_mask | imEvents);
            }
        }
        gc_ = XCreateGC(d, window_, 0, nullptr);
        XSetForeground(d, gc_, WhitePixel(d, screen));
        XMapRaised(d, window_);
        XFlush(d);
    }

    ~X11ViewerWindow() override {
        Display* d = display_.get();
        if (ic_ != nullptr) XDestroyIC(ic_);
        if (im_ != nullptr) XCloseIM(im_);
        if (gc_ != nullptr) XFreeGC(d, gc_);
        if (!destroyed_) XDestroyWindow(d, window_);
        XSync(d, False);
    }

    std::uint64_t surface() const override { return window_; }

    void pump(std::chrono::milliseconds wait) override {
        Display* d = display_.get();
        if (XPending(d) == 0) {
            pollfd descriptor{ConnectionNumber(d), POLLIN, 0};
            const int ready = ::poll(&descriptor, 1, static_cast<int>(wait.count()));
            if (ready > 0 && (descriptor.revents & (POLLHUP | POLLERR)) != 0) {
                closed_ = true;  // the display went away
                return;
            }
        }
        while (XPending(d) > 0) {
            XEvent event{};
            XNextEvent(d, &event);
            // The input method sees every event first and may keep it.
            if (ic_ != nullptr && XFilterEvent(&event, None) == True) continue;
            handle(event);
        }
        XFlush(d);
    }

    void update(const app::Status& status) override {
        capture_.sessionChanged(status.viewerInputActive, status.videoRect);
        const bool waiting = status.framesPresented == 0;
        if (waiting != waitingForPicture_ || (waiting && status.message != placeholder_)) {
            waitingForPicture_ = waiting;
            placeholder_ = status.message;
            if (waiting) paintPlaceholder();
        }
    }

    void setTitle(const std::string& title) override {
        if (title == title_) return;
        title_ = title;
        Display* d = display_.get();
        XChangeProperty(d, window_, netWmName_, utf8String_, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
        XStoreName(d, window_, title.c_str());
        XFlush(d);
    }

    bool closed() const override { return closed_; }

    void startViewing() override { capture_.startViewing(); }

private:
    // ViewerInputPort
    bool post(app::Command command) override { return handlers_.post && handlers_.post(std::move(command)); }

    bool surfaceHasFocus() override { return focused_ && !released_; }

    void focusSurface() override {
        released_ = false;
        if (!mapped_) return;
        XSetInputFocus(display_.get(), window_, RevertToParent, CurrentTime);
        // Reported at once; a FocusOut takes it back should the request lose.
        focused_ = true;
    }

    void focusForwardingToggle() override {
        // No check box here: the keyboard is let go until the next click on the picture.
        released_ = true;
    }

    // The server grabs the pointer for us while a button is held.
    void captureMouse() override {}
    void releaseMouse() override {}

    bool isFullscreen() override { return fullscreen_; }

    void toggleFullscreen() override {
        capture_.releaseAll();
        Display* d = display_.get();
        fullscreen_ = !fullscreen_;
        if (windowManagerPresent()) {
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = window_;
            event.xclient.message_type = netWmState_;
            event.xclient.format = 32;
            event.xclient.data.l[0] = fullscreen_ ? 1 : 0;  // _NET_WM_STATE_ADD / _REMOVE
            event.xclient.data.l[1] = static_cast<long>(netWmStateFullscreen_);
            event.xclient.data.l[3] = 1;  // a normal application
            XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        } else if (fullscreen_) {
            windowed_ = {x_, y_, width_, height_};
            XMoveResizeWindow(d, window_, 0, 0, static_cast<unsigned>(screenWidth_),
                              static_cast<unsigned>(screenHeight_));
            XRaiseWindow(d, window_);
        } else {
            XMoveResizeWindow(d, window_, windowed_.x, windowed_.y, static_cast<unsigned>(windowed_.width),
                              static_cast<unsigned>(windowed_.height));
        }
        focusSurface();
        XFlush(d);
    }

    void closeViewer() override { closed_ = true; }

    bool windowManagerPresent() {
        Display* d = display_.get();
        const Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", True);
        if (check == None) return false;
        Atom type = None;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        const bool present = XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, XA_WINDOW, &type,
                                                &format, &items, &after, &data) == Success &&
                             type == XA_WINDOW && items == 1;
        if (data != nullptr) XFree(data);
        return present;
    }

    void handle(XEvent& event) {
        switch (event.type) {
        case MotionNotify: {
            // Only the newest position of a burst matters.
            while (XCheckTypedWindowEvent(display_.get(), window_, MotionNotify, &event)) {
            }
            capture_.pointerMoved(event.xmotion.x, event.xmotion.y);
            break;
        }
        case ButtonPress:
        case ButtonRelease: {
            const bool down = event.type == ButtonPress;
            const XButtonEvent& b = event.xbutton;
            switch (b.button) {
            case Button1:
                capture_.buttonChanged(0, down, b.x, b.y);
                break;
            case Button3:
                capture_.buttonChanged(1, down, b.x, b.y);
                break;
            case Button2:
                capture_.buttonChanged(2, down, b.x, b.y);
                break;
            case Button4:
            case Button5:
                if (down) capture_.wheelTurned(b.x, b.y, b.button == Button4 ? 120 : -120);
                break;
            default:
                break;  // horizontal wheel and extra buttons are not forwarded
            }
            break;
        }
        case KeyPress:
        case KeyRelease:
            handleKey(event.xkey);
            break;
        case FocusIn:
            if (event.xfocus.detail != NotifyPointer && event.xfocus.detail != NotifyInferior) {
                focused_ = true;
                if (ic_ != nullptr) XSetICFocus(ic_);
            }
            break;
        case FocusOut:
            if (event.xfocus.detail != NotifyPointer && event.xfocus.detail != NotifyInferior) {
                focused_ = false;
                pressedKeys_.clear();
                if (ic_ != nullptr) XUnsetICFocus(ic_);
                capture_.focusLost();
            }
            break;
        case LeaveNotify:
            // Another client took the pointer while a button was held here.
            if (event.xcrossing.mode == NotifyGrab) capture_.captureLost();
            break;
        case ConfigureNotify:
            x_ = event.xconfigure.x;
            y_ = event.xconfigure.y;
            width_ = event.xconfigure.width;
            height_ = event.xconfigure.height;
            break;
        case MapNotify:
            mapped_ = true;
            break;
        case UnmapNotify:
            mapped_ = false;
            capture_.releaseAll();
            break;
        case Expose:
            if (event.xexpose.count == 0 && waitingForPicture_) paintPlaceholder();
            break;
        case ClientMessage:
            if (static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow_) closed_ = true;
            break;
        case DestroyNotify:
            closed_ = true;
            destroyed_ = true;
            break;
        case MappingNotify:
            // A tool typing a character the layout lacks binds it to a spare keycode first.
            if (event.xmapping.request != MappingPointer) XRefreshKeyboardMapping(&event.xmapping);
            break;
        default:
            break;
        }
    }

    void handleKey(XKeyEvent& key) {
        const bool down = key.type == KeyPress;
        const KeySym keysym = XLookupKeysym(&key, 0);

        std::string text;
        if (down) {
            char buffer[256];
            KeySym typed = NoSymbol;
            int length = 0;
            if (ic_ != nullptr) {
                int status = 0;
                length = Xutf8LookupString(ic_, &key, buffer, sizeof buffer - 1, &typed, &status);
                if (status != XLookupChars && status != XLookupBoth) length = 0;
            } else {
                length = XLookupString(&key, buffer, sizeof buffer - 1, &typed, nullptr);
                length = 0;  // Latin-1 here; the keysym below gives the character
                if (const char32_t cp = keysymCharacter(typed)) appendUtf8(text, cp);
            }
            if (length > 0) text.assign(buffer, static_cast<std::size_t>(length));
        }

        // An input method's commit: text without a key.
        if (key.keycode == 0) {
            if (printable(text)) capture_.textEntered(text);
            return;
        }

        bool repeat = false;
        if (down) {
            repeat = !pressedKeys_.insert(key.keycode).second;
        } else {
            pressedKeys_.erase(key.keycode);
        }

        const bool ctrl = (key.state & ControlMask) != 0;
        const bool alt = (key.state & Mod1Mask) != 0;
        if (keysym == XK_m) {
            // The key-up follows its key-down, whatever the modifiers are by then.
            if (down && ((ctrl && alt) || !surfaceHasFocus())) {
                modeKeyHeld_ = true;
                if (!repeat && handlers_.nextMode) handlers_.nextMode();
                return;
            }
            if (modeKeyHeld_) {
                if (!down) modeKeyHeld_ = false;
                return;
            }
        }

        const KeyEvent event = x11KeyEvent(key.keycode, keysym, key.state, down, repeat);
        const bool hasKeyCode = keyCodeForKeyMessage(event.scanCode, event.extended).has_value();
        if (!hasKeyCode && event.role == LocalKey::Character) {
            // A keysym bound to a keycode outside the key table (a tool typing a character the
            // layout lacks): the host can only type it as text.
            if (down && printable(text)) capture_.textEntered(text);
            return;
        }
        capture_.keyChanged(event);
    }

    void paintPlaceholder() {
        if (!mapped_) return;
        Display* d = display_.get();
        XClearWindow(d, window_);
        const std::string first = "Waiting for the first picture";
        const std::string second = placeholder_;
        XDrawString(d, window_, gc_, 24, height_ / 2 - 8, first.c_str(), static_cast<int>(first.size()));
        if (!second.empty()) {
            XDrawString(d, window_, gc_, 24, height_ / 2 + 16, second.c_str(), static_cast<int>(second.size()));
        }
        XFlush(d);
    }

    struct Geometry {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
    };

    ViewerWindowHandlers handlers_;
    ViewerInputCapture capture_;
    std::unique_ptr<Display, DisplayClose> display_;
    Window window_ = 0;
    GC gc_ = nullptr;
    XIM im_ = nullptr;
    XIC ic_ = nullptr;
    Atom deleteWindow_ = None;
    Atom netWmState_ = None;
    Atom netWmStateFullscreen_ = None;
    Atom netWmName_ = None;
    Atom utf8String_ = None;
    int screenWidth_ = 0;
    int screenHeight_ = 0;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
    Geometry windowed_;
    bool mapped_ = false;
    bool focused_ = false;
    bool released_ = false;
    bool fullscreen_ = false;
    bool closed_ = false;
    bool destroyed_ = false;
    bool modeKeyHeld_ = false;
    bool waitingForPicture_ = true;
    std::string placeholder_;
    std::string title_;
    std::set<unsigned> pressedKeys_;
};

}  // namespace

void initX11Threads() { XInitThreads(); }

std::unique_ptr<ViewerWindow> makeX11ViewerWindow(const ViewerWindowOptions& options, ViewerWindowHandlers handlers) {
    return std::make_unique<X11ViewerWindow>(options, std::move(handlers));
}

}  // namespace murel
