#include "XProbe.hpp"

#include <cstring>
#include <stdexcept>
#include <thread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace murel::test {
namespace {

int ignoreXError(Display*, XErrorEvent*) { return 0; }

}  // namespace

XProbe::XProbe(const std::string& displayName) {
    XSetErrorHandler(ignoreXError);  // a window may vanish between two requests
    display_ = XOpenDisplay(displayName.c_str());
    if (display_ == nullptr) throw std::runtime_error("cannot open display " + displayName);
}

XProbe::~XProbe() { XCloseDisplay(display_); }

std::optional<unsigned long> XProbe::findWindow(const std::string& className, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        std::optional<unsigned long> found;
        if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count) != 0) {
            for (unsigned i = 0; i < count && !found; ++i) {
                XClassHint hint{};
                if (XGetClassHint(display_, children[i], &hint) == 0) continue;
                XWindowAttributes attributes{};
                if (hint.res_name != nullptr && className == hint.res_name &&
                    XGetWindowAttributes(display_, children[i], &attributes) != 0 &&
                    attributes.map_state == IsViewable) {
                    found = children[i];
                }
                if (hint.res_name != nullptr) XFree(hint.res_name);
                if (hint.res_class != nullptr) XFree(hint.res_class);
            }
            if (children != nullptr) XFree(children);
        }
        if (found || std::chrono::steady_clock::now() >= deadline) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool XProbe::exists(unsigned long window) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display_, window, &attributes) != 0;
}

std::optional<Grabbed> XProbe::grab(unsigned long window) {
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display_, window, &attributes) == 0 || attributes.depth != 24) return std::nullopt;
    XImage* image = XGetImage(display_, window, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (image == nullptr) return std::nullopt;
    Grabbed grabbed;
    grabbed.width = static_cast<std::uint32_t>(attributes.width);
    grabbed.height = static_cast<std::uint32_t>(attributes.height);
    grabbed.bgra.resize(static_cast<std::size_t>(grabbed.width) * grabbed.height * 4);
    for (std::uint32_t y = 0; y < grabbed.height; ++y) {
        for (std::uint32_t x = 0; x < grabbed.width; ++x) {
            const unsigned long pixel = XGetPixel(image, static_cast<int>(x), static_cast<int>(y));
            std::uint8_t* out = grabbed.bgra.data() + (static_cast<std::size_t>(y) * grabbed.width + x) * 4;
            out[0] = static_cast<std::uint8_t>(pixel & 0xFF);
            out[1] = static_cast<std::uint8_t>((pixel >> 8) & 0xFF);
            out[2] = static_cast<std::uint8_t>((pixel >> 16) & 0xFF);
            out[3] = 0xFF;
        }
    }
    XDestroyImage(image);
    return grabbed;
}

void XProbe::requestClose(unsigned long window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
}

void XProbe::dropFocus() {
    XSetInputFocus(display_, None, RevertToNone, CurrentTime);
    XSync(display_, False);
}

std::pair<int, int> XProbe::pointer() {
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int x = 0;
    int y = 0;
    unsigned mask = 0;
    XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &x, &y, &mask);
    return {rootX, rootY};
}

void XProbe::bindKeysyms(const std::vector<unsigned long>& keysyms) {
    int first = 0;
    int last = 0;
    XDisplayKeycodes(display_, &first, &last);
    int perKeycode = 0;
    KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(first), last - first + 1, &perKeycode);
    if (map == nullptr) throw std::runtime_error("no keyboard mapping");
    std::size_t next = 0;
    // From the top, as the free keycodes of a standard layout are there.
    for (int keycode = last; keycode >= first && next < keysyms.size(); --keycode) {
        const KeySym* row = map + static_cast<std::ptrdiff_t>(keycode - first) * perKeycode;
        bool unused = true;
        for (int i = 0; i < perKeycode; ++i) unused = unused && row[i] == NoSymbol;
        if (!unused) continue;
        std::vector<KeySym> bound(static_cast<std::size_t>(perKeycode), NoSymbol);
        bound[0] = keysyms[next];
        if (perKeycode > 1) bound[1] = keysyms[next];
        XChangeKeyboardMapping(display_, keycode, perKeycode, bound.data(), 1);
        ++next;
    }
    XFree(map);
    XSync(display_, False);
    if (next < keysyms.size()) throw std::runtime_error("no free keycode to bind a keysym to");
}

}  // namespace murel::test
