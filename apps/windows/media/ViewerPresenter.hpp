#pragma once
// Draws the remote desktop into the viewer's video surface window, letterboxed with fitRect on
// black. It never blocks the worker: a picture that cannot be shown yet (the previous one is still
// on its way to the screen and the window kept its size) is reported as not consumed and offered
// again later. Backends: a flip-model swap chain on Windows; an X11 window (XShmPutImage) or a
// recording presenter on Linux.
//
// Threads: the Controller's worker only. The window belongs to the interface; the presenter only
// reads its size, visibility and minimised state.

#include <cstdint>

#include "media/MediaTypes.hpp"

namespace murel {

// Where content of contentWidth x contentHeight goes inside a box, keeping its aspect and centred
// along the other axis. All four inputs finite and above 0, else "Invalid frame size".
FrameRect fitRect(double boxWidth, double boxHeight, double contentWidth, double contentHeight);

// Throws "Viewer requires one BGRA texture" unless the picture is BGRA with one slice.
void checkPresentable(const Picture& picture);

class ViewerPresenter {
public:
    virtual ~ViewerPresenter() = default;

    // Shows one BGRA picture. Throws "Cannot present an absent frame" for a null picture. Results:
    // {Presented, consumed}; {NotShown, consumed} for a hidden, minimised or empty window, or when
    // the window changed size while busy; {Occluded, consumed}; {not consumed} while busy.
    PresentResult present(const PictureHandle& picture);

    // A black picture (when a session begins and before the presenter goes away).
    virtual void presentEmpty() = 0;

    // Where the last picture was drawn, in client pixels; all zero when nothing is shown. The
    // Controller maps viewer pointer positions with it.
    virtual FrameRect destination() const = 0;

protected:
    ViewerPresenter() = default;
    ViewerPresenter(const ViewerPresenter&) = delete;
    ViewerPresenter& operator=(const ViewerPresenter&) = delete;

    // Called with a picture only; checkPresentable belongs at the backend's step where the window
    // is known to be ready and visible.
    virtual PresentResult presentPicture(const Picture& picture) = 0;
};

}  // namespace murel
