#include "ui/win/SurfaceInput.hpp"

#include "ui/ControlIds.hpp"
#include "ui/ViewerView.hpp"
#include "ui/win/Shell.hpp"

namespace murel::win {

namespace {

bool autoRepeat(LPARAM lParam) { return (lParam & (1 << 30)) != 0; }

}  // namespace

void releaseInput() {
    Shell& s = shell();
    s.heldButtons = 0;
    if (s.controller) s.controller->post(app::Command(app::CommandKind::ReleaseInput));
    if (s.surface != nullptr && GetCapture() == s.surface) ReleaseCapture();
}

void swallowKey(UINT virtualKey) { shell().swallowedKeys.insert(virtualKey); }

void startViewing() { shell().pointerSequence = 0; }

void forwardingChanged(bool) {}

void viewerStatusChanged() {}

bool handleSurfaceInput(HWND surface, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    Shell& s = shell();
    result = 0;
    switch (message) {
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
        SetFocus(surface);
        return true;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: {
        const UINT key = static_cast<UINT>(wParam);
        if (key == VK_ESCAPE && GetKeyState(VK_CONTROL) < 0 && GetKeyState(VK_MENU) < 0) {
            releaseInput();
            if (s.viewer) SetFocus(GetDlgItem(s.viewer, ui::kIdForwarding));
            return true;
        }
        if (key == VK_F11 || (key == VK_ESCAPE && s.fullscreen)) {
            if (!autoRepeat(lParam)) {
                toggleFullscreen();
                swallowKey(key);
            }
            return true;
        }
        if (key == VK_F4 && (lParam & (1 << 29)) != 0) {
            if (s.viewer) PostMessageW(s.viewer, WM_CLOSE, 0, 0);
            return true;
        }
        return true;
    }
    case WM_KEYUP:
    case WM_SYSKEYUP:
        s.swallowedKeys.erase(static_cast<UINT>(wParam));
        return true;
    case WM_CHAR:
    case WM_SYSCHAR:
    case WM_IME_STARTCOMPOSITION:
    case WM_IME_ENDCOMPOSITION:
    case WM_IME_COMPOSITION:
        return true;
    case WM_KILLFOCUS:
        releaseInput();
        s.swallowedKeys.clear();
        return true;
    case WM_CAPTURECHANGED:
        if (s.heldButtons != 0) releaseInput();
        return true;
    default:
        return false;
    }
}

}  // namespace murel::win
