#include "ui/win/Interface.hpp"

#include <commctrl.h>

#include <gdiplus.h>

#include "ui/ControlIds.hpp"
#include "ui/ViewerView.hpp"
#include "ui/win/Shell.hpp"

namespace murel::win {

Shell& shell() {
    static Shell state;
    return state;
}

void reportFailure(const char* what) noexcept {
    try {
        Shell& s = shell();
        std::wstring text = wide(what ? what : "");
        if (text.empty()) text = L"Unexpected failure";
        if (s.errorSink) {
            s.errorSink(text);
            return;
        }
        // A box is already up (its modal loop keeps dispatching): one is enough.
        if (s.reportingError) return;
        s.reportingError = true;
        MessageBoxW(s.main, text.c_str(), L"Murel", MB_ICONERROR);
        s.reportingError = false;
    } catch (...) {
    }
}

bool registerWindowClasses(HINSTANCE instance) {
    struct Entry {
        const wchar_t* name;
        WNDPROC procedure;
    };
    const Entry entries[] = {
        {kAccountClass, guardedProcedure<accountProcedure>},
        {kHostListClass, guardedProcedure<hostListProcedure>},
        {kViewerClass, guardedProcedure<viewerProcedure>},
        {kSurfaceClass, guardedProcedure<surfaceProcedure>},
        {kStreamSettingsClass, guardedProcedure<streamSettingsProcedure>},
    };
    for (const Entry& entry : entries) {
        WNDCLASSW windowClass{};
        windowClass.style = 0;
        windowClass.lpfnWndProc = entry.procedure;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.lpszClassName = entry.name;
        if (RegisterClassW(&windowClass) == 0) return false;
    }
    return true;
}

HWND createMainWindow() {
    const UINT dpi = GetDpiForSystem();
    RECT frame{0, 0, MulDiv(ui::kMainWidth, static_cast<int>(dpi), 96), MulDiv(ui::kMainHeight, static_cast<int>(dpi), 96)};
    AdjustWindowRectExForDpi(&frame, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, FALSE, WS_EX_CONTROLPARENT, dpi);
    return CreateWindowExW(WS_EX_CONTROLPARENT, kAccountClass, L"Murel", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                           CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                           nullptr, shell().instance, nullptr);
}

void routeMessage(MSG& message) {
    Shell& s = shell();
    const auto dispatch = [&message] {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    };
    const auto within = [&message](HWND root) {
        return root != nullptr && (message.hwnd == root || IsChild(root, message.hwnd));
    };
    ui::LoopTarget target = ui::LoopTarget::Other;
    if (within(s.dialog)) {
        target = ui::LoopTarget::SettingsDialog;
    } else if (s.surface != nullptr && message.hwnd == s.surface) {
        target = ui::LoopTarget::Surface;
    } else if (within(s.viewer)) {
        target = ui::LoopTarget::Viewer;
    }
    ui::LoopKey key;
    key.keyDown = message.message == WM_KEYDOWN;
    if (key.keyDown && target == ui::LoopTarget::Viewer) {
        key.virtualKey = static_cast<unsigned>(message.wParam);
        key.autoRepeat = (message.lParam & (1 << 30)) != 0;
        key.ctrlDown = GetKeyState(VK_CONTROL) < 0;
        key.altDown = GetKeyState(VK_MENU) < 0;
    }
    switch (ui::routeLoopMessage(target, key, s.fullscreen)) {
    case ui::LoopAction::SettingsDialogMessage:
        if (!IsDialogMessageW(s.dialog, &message)) dispatch();
        break;
    case ui::LoopAction::DispatchDirectly:
        dispatch();
        break;
    case ui::LoopAction::ToggleFullscreen:
        toggleFullscreen();
        swallowKey(key.virtualKey);
        break;
    case ui::LoopAction::Drop:
        break;
    case ui::LoopAction::ViewerDialogMessage:
        if (!IsDialogMessageW(s.viewer, &message)) dispatch();
        break;
    case ui::LoopAction::MainDialogMessage:
        if (s.main == nullptr || !IsDialogMessageW(s.main, &message)) dispatch();
        break;
    }
}

int runMessageLoop() {
    MSG message{};
    for (;;) {
        const BOOL result = GetMessageW(&message, nullptr, 0, 0);
        if (result == 0) return static_cast<int>(message.wParam);
        if (result == -1) return 1;
        routeMessage(message);
    }
}

void shutdownInterface() {
    Shell& s = shell();
    if (s.controller == nullptr) return;
    s.panel.closing = true;
    s.status.viewerInputActive = false;
    s.controller->requestStop();
    // The windows keep repainting while the worker ends its session and releases what it holds.
    while (!s.controller->workerStopped()) {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (s.controller->workerStopped()) break;
        MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

int runInterface(HINSTANCE instance, int showCommand, const ControllerFactory& makeController) {
    Shell& s = shell();
    s.instance = instance;
    Gdiplus::GdiplusStartupInput startup;
    ULONG_PTR gdiplus = 0;
    if (Gdiplus::GdiplusStartup(&gdiplus, &startup, nullptr) != Gdiplus::Ok) return 1;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    if (!registerWindowClasses(instance)) {
        Gdiplus::GdiplusShutdown(gdiplus);
        return 1;
    }

    std::unique_ptr<ui::ControllerPort> controller;
    int exitCode = 1;
    try {
        controller = makeController();
        s.controller = controller.get();
        if (createMainWindow() != nullptr) {
            ShowWindow(s.main, showCommand);
            SetFocus(GetDlgItem(s.main, ui::kIdEmail));
            exitCode = runMessageLoop();
        }
    } catch (const std::exception& error) {
        reportFailure(error.what());
        exitCode = 1;
    } catch (...) {
        reportFailure("Unexpected failure");
        exitCode = 1;
    }

    try {
        shutdownInterface();
    } catch (const std::exception& error) {
        reportFailure(error.what());
    }
    s.controller = nullptr;
    controller.reset();
    if (s.viewer) DestroyWindow(s.viewer);
    if (s.main) DestroyWindow(s.main);
    Gdiplus::GdiplusShutdown(gdiplus);
    return exitCode;
}

}  // namespace murel::win
