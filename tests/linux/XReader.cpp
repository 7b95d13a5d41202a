#include "XReader.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <stdexcept>

#include "EvdevKeys.hpp"

namespace murel::test {
namespace {

char32_t characterOf(KeySym keysym) {
    if (keysym == XK_Return) return U'\n';
    if (keysym == XK_Tab) return U'\t';
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) return static_cast<char32_t>(keysym);
    if ((keysym & 0xFF000000) == 0x01000000) return static_cast<char32_t>(keysym & 0x00FFFFFF);
    return 0;
}

void translate(XEvent& event, std::vector<Arrived>& into) {
    switch (event.type) {
    case MappingNotify:
        XRefreshKeyboardMapping(&event.xmapping);
        break;
    case KeyPress:
    case KeyRelease: {
        const bool down = event.type == KeyPress;
        if (const auto scan = scanForEvdevKey(event.xkey.keycode - kX11KeycodeOffset)) {
            into.push_back(down ? Arrived::keyDown(*scan) : Arrived::keyUp(*scan));
        } else if (down) {
            into.push_back(Arrived::typed(characterOf(XLookupKeysym(&event.xkey, 0))));
        }
        break;
    }
    case ButtonPress:
    case ButtonRelease: {
        const unsigned b = event.xbutton.button;
        const bool down = event.type == ButtonPress;
        if (b == 4 || b == 5) {
            if (down) {
                Arrived wheel;
                wheel.kind = Arrived::Kind::Wheel;
                wheel.notches = b == 4 ? 1 : -1;
                into.push_back(wheel);
            }
            break;
        }
        const int button = b == 1 ? 0 : b == 3 ? 1 : b == 2 ? 2 : -1;
        if (button < 0) break;
        into.push_back(down ? Arrived::buttonDown(button, event.xbutton.x_root, event.xbutton.y_root)
                            : Arrived::buttonUp(button, event.xbutton.x_root, event.xbutton.y_root));
        break;
    }
    default:
        break;
    }
}

}  // namespace

XReader::XReader(const std::string& displayName, int width, int height) {
    display_ = XOpenDisplay(displayName.c_str());
    if (!display_) throw std::runtime_error("cannot open " + displayName);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(display_, window_);
    XEvent event;
    do {
        XWindowEvent(display_, window_, StructureNotifyMask, &event);
    } while (event.type != MapNotify);
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    // Load the keymap now, as a running desktop application has: from here on Xlib follows the
    // server's changes through the events it receives before the keys that depend on them.
    XKeyEvent probe{};
    probe.type = KeyPress;
    probe.display = display_;
    probe.keycode = 38;
    XLookupKeysym(&probe, 0);
    XSync(display_, False);
}

XReader::~XReader() {
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
}

void XReader::read(std::vector<Arrived>& into, std::chrono::milliseconds wait) {
    if (XPending(display_) == 0) {
        pollfd p{ConnectionNumber(display_), POLLIN, 0};
        poll(&p, 1, static_cast<int>(wait.count()));
    }
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        translate(event, into);
    }
}

std::vector<std::uint8_t> XReader::keycodesWithSymbols() {
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display_, &minKeycode, &maxKeycode);
    KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(minKeycode), maxKeycode - minKeycode + 1,
                                      &perKeycode);
    std::vector<std::uint8_t> used;
    for (int k = 0; k <= maxKeycode - minKeycode; ++k) {
        for (int c = 0; c < perKeycode; ++c) {
            if (map[k * perKeycode + c] != NoSymbol) {
                used.push_back(static_cast<std::uint8_t>(minKeycode + k));
                break;
            }
        }
    }
    XFree(map);
    return used;
}

}  // namespace murel::test
