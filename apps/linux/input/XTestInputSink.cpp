#include "XTestInputSink.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <list>
#include <optional>
#include <vector>

#include "EvdevKeys.hpp"
#include "protocol/Wire.hpp"

namespace murel {
namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayHandle = std::unique_ptr<Display, DisplayCloser>;

struct KeySymsFree {
    void operator()(KeySym* syms) const { XFree(syms); }
};

KeySym keysymFor(char32_t c) {
    if (c == U'\t') return XK_Tab;
    if (c == U'\n' || c == U'\r') return XK_Return;
    if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF)) return c;  // Latin-1 keysyms
    return 0x01000000 | c;  // the Unicode keysym range
}

}  // namespace

struct XTestInputSink::Impl {
    DisplayHandle display;
    int minKeycode = 0;
    int maxKeycode = 0;
    int symsPerKeycode = 0;
    // Spare keycodes, least recently used first, each with the keysym it now carries (0: none).
    std::list<std::pair<KeyCode, KeySym>> spare;
    std::int32_t wheelRemainder = 0;
    bool afterCarriageReturn = false;

    bool flushed(Bool sent) {
        if (!sent) return false;
        XFlush(display.get());
        return true;
    }

    bool assign(KeyCode keycode, KeySym keysym) {
        std::vector<KeySym> syms(static_cast<std::size_t>(symsPerKeycode), keysym);
        XChangeKeyboardMapping(display.get(), keycode, symsPerKeycode, syms.data(), 1);
        return true;
    }

    // A spare keycode that carries `keysym`, reusing one that already does.
    std::optional<KeyCode> keycodeFor(KeySym keysym) {
        auto it = std::find_if(spare.begin(), spare.end(), [&](const auto& e) { return e.second == keysym; });
        if (it == spare.end()) {
            if (spare.empty()) return std::nullopt;
            it = spare.begin();  // least recently used
            it->second = keysym;
            assign(it->first, keysym);
        }
        spare.splice(spare.end(), spare, it);  // now the most recently used
        return spare.back().first;
    }
};

XTestInputSink::XTestInputSink(const std::string& display) : impl_(std::make_unique<Impl>()) {
    impl_->display.reset(XOpenDisplay(display.empty() ? nullptr : display.c_str()));
    if (!impl_->display) throw ProtocolError("Unable to open the X display for remote input");
    Display* d = impl_->display.get();
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(d, &eventBase, &errorBase, &major, &minor)) {
        throw ProtocolError("The X display has no XTest extension for remote input");
    }
    // Injected input must not wait behind another client's server grab.
    XTestGrabControl(d, True);

    XDisplayKeycodes(d, &impl_->minKeycode, &impl_->maxKeycode);
    const int count = impl_->maxKeycode - impl_->minKeycode + 1;
    std::unique_ptr<KeySym, KeySymsFree> map(
        XGetKeyboardMapping(d, static_cast<KeyCode>(impl_->minKeycode), count, &impl_->symsPerKeycode));
    if (!map || impl_->symsPerKeycode <= 0) {
        throw ProtocolError("Unable to read the X keyboard mapping for remote input");
    }
    for (int k = 0; k < count; ++k) {
        const KeySym* syms = map.get() + static_cast<std::ptrdiff_t>(k) * impl_->symsPerKeycode;
        const bool empty = std::all_of(syms, syms + impl_->symsPerKeycode, [](KeySym s) { return s == NoSymbol; });
        if (empty) impl_->spare.emplace_back(static_cast<KeyCode>(impl_->minKeycode + k), NoSymbol);
    }
}

XTestInputSink::~XTestInputSink() {
    for (const auto& [keycode, keysym] : impl_->spare) {
        if (keysym != NoSymbol) impl_->assign(keycode, NoSymbol);
    }
    XSync(impl_->display.get(), False);
}

DesktopRect XTestInputSink::virtualDesktop() {
    Display* d = impl_->display.get();
    Window root = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    // Asked each time: the root grows and shrinks with the monitors (RandR).
    if (!XGetGeometry(d, DefaultRootWindow(d), &root, &x, &y, &width, &height, &border, &depth)) {
        return {};
    }
    return {0, 0, static_cast<double>(width), static_cast<double>(height)};
}

bool XTestInputSink::moveTo(std::int32_t ax, std::int32_t ay) {
    const DesktopRect desktop = virtualDesktop();
    if (!(desktop.width > 1) || !(desktop.height > 1)) return false;
    const auto px = static_cast<int>(std::lround(ax * (desktop.width - 1) / kAbsoluteCoordinateMax));
    const auto py = static_cast<int>(std::lround(ay * (desktop.height - 1) / kAbsoluteCoordinateMax));
    Display* d = impl_->display.get();
    return impl_->flushed(XTestFakeMotionEvent(d, DefaultScreen(d), px, py, CurrentTime));
}

bool XTestInputSink::button(MouseButton button, bool down) {
    unsigned xButton = 0;
    switch (button) {
    case MouseButton::Left:
        xButton = 1;
        break;
    case MouseButton::Right:
        xButton = 3;
        break;
    case MouseButton::Middle:
        xButton = 2;
        break;
    default:
        return false;
    }
    return impl_->flushed(XTestFakeButtonEvent(impl_->display.get(), xButton, down ? True : False, CurrentTime));
}

bool XTestInputSink::key(ScanKey key, bool down) {
    const auto evdev = evdevKeyForScan(key);
    if (!evdev) return false;
    const auto keycode = static_cast<int>(*evdev + kX11KeycodeOffset);
    if (keycode < impl_->minKeycode || keycode > impl_->maxKeycode) return false;
    return impl_->flushed(XTestFakeKeyEvent(impl_->display.get(), static_cast<unsigned>(keycode),
                                            down ? True : False, CurrentTime));
}

bool XTestInputSink::wheel(std::int32_t amount) {
    impl_->wheelRemainder += amount;
    const std::int32_t notches = impl_->wheelRemainder / kWheelNotch;  // towards zero
    impl_->wheelRemainder -= notches * kWheelNotch;
    Display* d = impl_->display.get();
    const unsigned xButton = notches > 0 ? 4 : 5;
    for (std::int32_t i = 0; i < std::abs(notches); ++i) {
        if (!XTestFakeButtonEvent(d, xButton, True, CurrentTime) ||
            !XTestFakeButtonEvent(d, xButton, False, CurrentTime)) {
            return false;
        }
    }
    XFlush(d);
    return true;
}

bool XTestInputSink::character(char32_t codePoint) {
    const bool lineFeedOfPair = codePoint == U'\n' && impl_->afterCarriageReturn;
    impl_->afterCarriageReturn = codePoint == U'\r';
    if (lineFeedOfPair) return true;
    if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return false;
    const auto keycode = impl_->keycodeFor(keysymFor(codePoint));
    if (!keycode) return false;
    Display* d = impl_->display.get();
    return impl_->flushed(XTestFakeKeyEvent(d, *keycode, True, CurrentTime) &&
                          XTestFakeKeyEvent(d, *keycode, False, CurrentTime));
}

std::size_t XTestInputSink::spareKeycodes() const { return impl_->spare.size(); }

}  // namespace murel
