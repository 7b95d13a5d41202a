#include "ui/win/SurfaceInput.hpp"

#include <windowsx.h>
#include <imm.h>

#include <memory>
#include <set>
#include <string>

#include "input/ViewerInputCapture.hpp"
#include "ui/ControlIds.hpp"
#include "ui/win/Shell.hpp"

namespace murel::win {

namespace {

// What only the viewer window can do for the capture.
class ViewerPort final : public ViewerInputPort {
public:
    bool post(app::Command command) override {
        ui::ControllerPort* controller = shell().controller;
        return controller != nullptr && controller->post(std::move(command));
    }
    bool surfaceHasFocus() override {
        HWND surface = shell().surface;
        return surface != nullptr && GetFocus() == surface;
    }
    void focusSurface() override {
        if (HWND surface = shell().surface) SetFocus(surface);
    }
    void focusForwardingToggle() override {
        if (HWND viewer = shell().viewer) SetFocus(GetDlgItem(viewer, ui::kIdForwarding));
    }
    void captureMouse() override {
        if (HWND surface = shell().surface) SetCapture(surface);
    }
    void releaseMouse() override {
        HWND surface = shell().surface;
        if (surface != nullptr && GetCapture() == surface) ReleaseCapture();
    }
    bool isFullscreen() override { return shell().fullscreen; }
    void toggleFullscreen() override { win::toggleFullscreen(); }
    void closeViewer() override {
        if (HWND viewer = shell().viewer) SendMessageW(viewer, WM_CLOSE, 0, 0);
    }
};

struct SurfaceInputState {
    ViewerPort port;
    ViewerInputCapture capture{port, true};
    // Keys whose key-down the message loop used on one of the viewer's other controls (F11,
    // Escape in fullscreen): their key-ups arrive at the surface, which then has the focus.
    std::set<UINT> loopSwallowed;
};

SurfaceInputState& state() {
    static SurfaceInputState instance;
    return instance;
}

bool inputMethodNative(HWND surface) {
    HIMC context = ImmGetContext(surface);
    if (context == nullptr) return false;
    DWORD conversion = 0;
    DWORD sentence = 0;
    const bool native = ImmGetOpenStatus(context) && ImmGetConversionStatus(context, &conversion, &sentence) &&
                        (conversion & IME_CMODE_NATIVE) != 0;
    ImmReleaseContext(surface, context);
    return native;
}

// The committed composition as UTF-8, or nothing when it is empty, too long, changes between the
// two reads or is not valid UTF-16.
std::string compositionResult(HWND surface) {
    HIMC context = ImmGetContext(surface);
    if (context == nullptr) return {};
    std::string utf8;
    const LONG bytes = ImmGetCompositionStringW(context, GCS_RESULTSTR, nullptr, 0);
    if (bytes >= 1 && bytes <= 4096 && bytes % 2 == 0) {
        std::wstring text(static_cast<std::size_t>(bytes) / 2, L'\0');
        if (ImmGetCompositionStringW(context, GCS_RESULTSTR, text.data(), static_cast<DWORD>(bytes)) == bytes) {
            const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                                                   static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
            if (length > 0) {
                utf8.resize(static_cast<std::size_t>(length));
                if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                        utf8.data(), length, nullptr, nullptr) != length) {
                    utf8.clear();
                }
            }
        }
    }
    ImmReleaseContext(surface, context);
    return utf8;
}

int buttonOf(UINT message) {
    switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
        return 0;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
        return 1;
    default:
        return 2;
    }
}

}  // namespace

void releaseInput() { state().capture.releaseAll(); }

void swallowKey(UINT virtualKey) { state().loopSwallowed.insert(virtualKey); }

void startViewing() { state().capture.startViewing(); }

void forwardingChanged(bool forwarding) { state().capture.forwardingToggled(forwarding); }

void viewerStatusChanged() {
    const app::Status& status = shell().status;
    state().capture.sessionChanged(status.viewerInputActive, status.videoRect);
}

bool handleSurfaceInput(HWND surface, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    ViewerInputCapture& capture = state().capture;
    result = 0;
    switch (message) {
    case WM_MOUSEMOVE:
        capture.pointerMoved(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        return true;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP: {
        const bool down = message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN || message == WM_MBUTTONDOWN;
        capture.buttonChanged(buttonOf(message), down, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        return true;
    }
    case WM_MOUSEWHEEL: {
        POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ScreenToClient(surface, &point);
        capture.wheelTurned(point.x, point.y, GET_WHEEL_DELTA_WPARAM(wParam));
        return true;
    }
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP: {
        const bool down = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
        const UINT virtualKey = static_cast<UINT>(wParam);
        if (!down && state().loopSwallowed.erase(virtualKey) != 0) return true;
        capture.keyChanged(windowsKeyEvent(virtualKey, static_cast<std::uint32_t>(lParam), down,
                                           GetKeyState(VK_CONTROL) < 0, GetKeyState(VK_MENU) < 0,
                                           inputMethodNative(surface)));
        return true;
    }
    case WM_CHAR:
    case WM_SYSCHAR:
    case WM_IME_STARTCOMPOSITION:
    case WM_IME_ENDCOMPOSITION:
        return true;
    case WM_IME_COMPOSITION:
        if ((lParam & GCS_RESULTSTR) != 0) {
            const std::string text = compositionResult(surface);
            if (!text.empty()) capture.textEntered(text);
        }
        return true;
    case WM_KILLFOCUS:
        state().loopSwallowed.clear();
        capture.focusLost();
        return true;
    case WM_CAPTURECHANGED:
        capture.captureLost();
        return true;
    default:
        return false;
    }
}

}  // namespace murel::win
