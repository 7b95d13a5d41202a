#pragma once
// The X11-backed media objects of the Linux platform: capture of the root window through the
// shared-memory extension, and a presenter that letterboxes pictures into a window with
// XShmPutImage. Each object opens its own display connection and uses it from the Controller's
// worker only. X11 types stay inside X11Media.cpp.

#include <cstdint>
#include <memory>
#include <string>

#include "media/DesktopCapture.hpp"
#include "media/ViewerPresenter.hpp"

namespace murel {

// Captures the root window of display (empty: $DISPLAY) as BGRA pictures. The refresh rate comes
// from XRandR (the first active CRTC's mode, else the screen configuration's rate), else 60. A
// change of the root window's size is reported like lost access: the call throws the transient
// capture loss and the next one restarts at the new size.
std::unique_ptr<DesktopCapture> makeX11Capture(const std::string& display);

// Presents into window (an X11 window id) on display (empty: $DISPLAY). Visible means mapped and
// viewable; a fully obscured window reports Occluded. A picture is busy from XShmPutImage until the
// server's completion event; while busy, a present at an unchanged window size is not consumed.
std::unique_ptr<ViewerPresenter> makeX11Presenter(const std::string& display, std::uint64_t window);

}  // namespace murel
