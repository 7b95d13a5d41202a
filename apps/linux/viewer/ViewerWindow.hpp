#pragma once
// The viewer's window on Linux: a top-level X11 window whose id the Controller's presenter draws
// into (from the worker thread, over its own display connection), and whose events feed the
// portable ViewerInputCapture on the front end's thread. X11 itself stays in X11ViewerWindow.cpp.
//
// Keys the window keeps for itself, besides the capture's own (Ctrl+Alt+Esc, F11, Escape in full
// screen, Alt+F4): Ctrl+Alt+M, and M while the keyboard is released, ask for the next stream mode.
// A key without a place in the key table that types text (an input method's commit, a keysym a
// tool bound to a spare keycode) is sent as text.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/Command.hpp"
#include "app/Status.hpp"

namespace murel {

struct ViewerWindowOptions {
    std::string display;  // empty: $DISPLAY
    int width = 1280;     // the first client size, shrunk to fit the screen
    int height = 720;
    std::string title = "Murel";
};

struct ViewerWindowHandlers {
    // The Controller's post.
    std::function<bool(app::Command)> post;
    // The user asked for the next stream mode.
    std::function<void()> nextMode;
};

class ViewerWindow {
public:
    virtual ~ViewerWindow() = default;

    // The X11 window id (the Connect command's surface).
    virtual std::uint64_t surface() const = 0;
    // Handles what the server sent, waiting at most `wait` for the first event.
    virtual void pump(std::chrono::milliseconds wait) = 0;
    // From each status snapshot: input state, picture rectangle, the placeholder text.
    virtual void update(const app::Status& status) = 0;
    virtual void setTitle(const std::string& title) = 0;
    // The window was closed (its close box, Alt+F4) or its display went away.
    virtual bool closed() const = 0;
    // A new connection: pointer sequences restart.
    virtual void startViewing() = 0;
};

// Opens the display, creates and maps the window. Throws std::runtime_error when the display
// cannot be opened.
std::unique_ptr<ViewerWindow> makeX11ViewerWindow(const ViewerWindowOptions& options, ViewerWindowHandlers handlers);

// Must run before any other X11 call of the process: the viewer, the presenter and the input
// sink each use their own connection from their own thread.
void initX11Threads();

}  // namespace murel
