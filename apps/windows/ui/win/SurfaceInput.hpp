#pragma once
// The video surface's input: what the viewer keeps for itself and what it forwards to the host.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace murel::win {

// Handles the surface's keyboard, mouse, input-method, focus and capture messages; false for
// messages it does not take (the caller handles those).
bool handleSurfaceInput(HWND surface, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

// The input-forwarding check box changed.
void forwardingChanged(bool forwarding);

}  // namespace murel::win
