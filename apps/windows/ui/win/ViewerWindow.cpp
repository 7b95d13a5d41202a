// The viewer window: header with the session status and its four controls, the video surface the
// presenter draws into, the footer with the keyboard hints; borderless fullscreen on the nearest
// monitor.

#include "ui/ControlIds.hpp"
#include "ui/UiText.hpp"
#include "ui/ViewerView.hpp"
#include "ui/win/Shell.hpp"
#include "ui/win/SurfaceInput.hpp"

namespace murel::win {

namespace {

using ui::FontRole;
using ui::Role;

constexpr DWORD kWindowedStyle = WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPCHILDREN;
constexpr DWORD kFullscreenStyle = WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN;

void layoutViewer(HWND window) {
    Shell& s = shell();
    const ThemeInstance& t = s.viewerTheme;
    const ui::Size96 size = clientSize96(window, t.dpi);
    const ui::ViewerLayout l = ui::viewerLayout(size.w, size.h);
    bool moved = false;
    moved |= moveChild(window, GetDlgItem(window, ui::kIdForwarding), t.rect(l.forwarding));
    moved |= moveChild(window, GetDlgItem(window, ui::kIdViewerSettings), t.rect(l.settings));
    moved |= moveChild(window, GetDlgItem(window, ui::kIdFullscreen), t.rect(l.fullscreen));
    moved |= moveChild(window, GetDlgItem(window, ui::kIdViewerClose), t.rect(l.close));
    moved |= moveChild(window, s.surface, t.rect(l.surface));
    if (moved) InvalidateRect(window, nullptr, FALSE);
}

void paintViewer(HWND window) {
    const Shell& s = shell();
    const ThemeInstance& t = s.viewerTheme;
    PAINTSTRUCT ps;
    HDC target = BeginPaint(window, &ps);
    {
        DoubleBuffer buffer(window, target, t.brush(Role::Window));
        HDC dc = buffer.dc();
        const ui::Size96 size = clientSize96(window, t.dpi);
        const ui::ViewerLayout l = ui::viewerLayout(size.w, size.h);
        fillRect(dc, t, l.header, t.colour(Role::Window));
        fillRect(dc, t, l.footerBand, t.colour(Role::Window));
        const UINT oneLine = DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS;
        drawText(dc, t, wide(ui::viewerStatusText(s.status)), l.status, FontRole::Small,
                 t.colour(Role::SecondaryText), oneLine);
        drawText(dc, t, wide(ui::text::kFooterHint), l.footer, FontRole::Caption, t.colour(Role::SecondaryText),
                 oneLine);
    }
    EndPaint(window, &ps);
}

void paintSurface(HWND window) {
    const Shell& s = shell();
    PAINTSTRUCT ps;
    HDC target = BeginPaint(window, &ps);
    // Once the presenter has drawn a frame the surface is its alone.
    if (s.status.framesPresented == 0) {
        const ThemeInstance& t = s.viewerTheme;
        HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        DoubleBuffer buffer(window, target, black);
        const ui::Size96 size = clientSize96(window, t.dpi);
        const ui::SurfaceWaitRects r = ui::surfaceWaitRects(size.w, size.h);
        const UINT oneLine = DT_CENTER | DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS;
        drawText(buffer.dc(), t, wide(ui::text::kWaitingFirstFrame), r.title, FontRole::Heading,
                 ui::rgb(0xEE, 0xF0, 0xF4), oneLine);
        drawText(buffer.dc(), t, wide(ui::text::kWaitingDetail), r.detail, FontRole::Small,
                 ui::rgb(0xAF, 0xB6, 0xC1), oneLine);
    }
    EndPaint(window, &ps);
}

void createViewerControls(HWND window) {
    Shell& s = shell();
    s.surface = CreateWindowExW(0, kSurfaceClass, wide(ui::text::kSurfaceName).c_str(),
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 0, 1, 1, window, nullptr, s.instance, nullptr);
    HWND forwarding = createControl(window, L"BUTTON", wide(ui::text::kForwarding), ui::kIdForwarding,
                                    WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, FontRole::Body);
    SendMessageW(forwarding, BM_SETCHECK, s.forwarding ? BST_CHECKED : BST_UNCHECKED, 0);
    ShowWindow(createOwnerButton(window, wide(ui::text::kStreamSettings), ui::kIdViewerSettings, false, false),
               SW_SHOWNA);
    ShowWindow(createOwnerButton(window, wide(ui::text::kFullscreen), ui::kIdFullscreen, false, false), SW_SHOWNA);
    ShowWindow(createOwnerButton(window, wide(ui::text::kEndSession), ui::kIdViewerClose, false, true), SW_SHOWNA);
    layoutViewer(window);
}

void viewerCommand(HWND window, int id) {
    Shell& s = shell();
    switch (id) {
    case ui::kIdFullscreen:
        toggleFullscreen();
        break;
    case ui::kIdViewerSettings:
        openStreamSettings();
        break;
    case ui::kIdViewerClose:
        SendMessageW(window, WM_CLOSE, 0, 0);
        break;
    case ui::kIdForwarding:
        // Releases everything, takes the box's state and gives the keyboard back to the surface.
        s.forwarding = SendMessageW(GetDlgItem(window, ui::kIdForwarding), BM_GETCHECK, 0, 0) == BST_CHECKED;
        forwardingChanged(s.forwarding);
        break;
    default:
        break;
    }
}

void closeViewer() {
    Shell& s = shell();
    destroyStreamSettings();
    releaseInput();
    // A plain post: ending a session is not a user command that waits for its completion.
    if (s.controller) s.controller->post(app::Command(app::CommandKind::EndSession));
    hideViewer();
    if (s.main) SetForegroundWindow(s.main);
}

}  // namespace

bool ensureViewer() {
    Shell& s = shell();
    if (s.viewer == nullptr) {
        CreateWindowExW(WS_EX_CONTROLPARENT, kViewerClass, wide(ui::text::kViewerTitle).c_str(),
                        WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT, ui::kViewerWidth,
                        ui::kViewerHeight, nullptr, nullptr, s.instance, nullptr);
    }
    return s.viewer != nullptr && s.surface != nullptr;
}

void showViewer() {
    Shell& s = shell();
    if (s.viewer == nullptr) return;
    ShowWindow(s.viewer, SW_SHOW);
    SetForegroundWindow(s.viewer);
    if (s.surface) SetFocus(s.surface);
}

void hideViewer() {
    Shell& s = shell();
    if (s.viewer) ShowWindow(s.viewer, SW_HIDE);
}

void invalidateViewer() {
    Shell& s = shell();
    if (s.viewer) InvalidateRect(s.viewer, nullptr, FALSE);
    if (s.surface) InvalidateRect(s.surface, nullptr, FALSE);
}

void toggleFullscreen() {
    Shell& s = shell();
    if (s.viewer == nullptr) return;
    releaseInput();
    if (!s.fullscreen) {
        s.placement.length = sizeof s.placement;
        GetWindowPlacement(s.viewer, &s.placement);
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(s.viewer, MONITOR_DEFAULTTONEAREST), &monitor);
        SetWindowLongPtrW(s.viewer, GWL_STYLE, kFullscreenStyle);
        const RECT& r = monitor.rcMonitor;
        SetWindowPos(s.viewer, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
    } else {
        SetWindowLongPtrW(s.viewer, GWL_STYLE, kWindowedStyle);
        SetWindowPlacement(s.viewer, &s.placement);
        SetWindowPos(s.viewer, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
    }
    s.fullscreen = !s.fullscreen;
    HWND button = GetDlgItem(s.viewer, ui::kIdFullscreen);
    setButtonLabel(button, wide(s.fullscreen ? ui::text::kWindowed : ui::text::kFullscreen));
    setText(button, wide(s.fullscreen ? ui::text::kWindowedTip : ui::text::kFullscreenTip));
    if (s.surface) SetFocus(s.surface);
}

LRESULT viewerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Shell& s = shell();
    switch (message) {
    case WM_CREATE:
        s.viewer = window;
        s.viewerTheme.build(window);
        createViewerControls(window);
        return 0;
    case WM_SIZE:
        layoutViewer(window);
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) viewerCommand(window, LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        closeViewer();
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) releaseInput();
        break;
    case WM_GETMINMAXINFO:
        setMinimumClientSize(window, lParam, ui::kViewerMinWidth, ui::kViewerMinHeight);
        return 0;
    case WM_DPICHANGED: {
        rebuildTheme(window, s.viewerTheme);
        moveToSuggestedRect(window, lParam);
        layoutViewer(window);
        return 0;
    }
    case WM_SETTINGCHANGE:
    case WM_THEMECHANGED:
        rebuildTheme(window, s.viewerTheme);
        layoutViewer(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        paintViewer(window);
        return 0;
    case WM_DRAWITEM:
        drawOwnerButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam), false);
        return TRUE;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC: {
        HWND control = reinterpret_cast<HWND>(lParam);
        return controlColour(reinterpret_cast<HDC>(wParam), control, controlClassOf(control));
    }
    case WM_NCDESTROY:
        s.viewer = nullptr;
        s.fullscreen = false;
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT surfaceProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Shell& s = shell();
    LRESULT result = 0;
    if (handleSurfaceInput(window, message, wParam, lParam, result)) return result;
    switch (message) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        paintSurface(window);
        return 0;
    case WM_GETDLGCODE:
        // Every key reaches the surface, Tab and arrows included.
        return DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTTAB | DLGC_WANTCHARS;
    case WM_NCDESTROY:
        s.surface = nullptr;
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace murel::win
