#pragma once
// The interface's state (interface thread only) and the operations the windows share.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Status.hpp"
#include "ui/AccountPanel.hpp"
#include "ui/ControllerPort.hpp"
#include "ui/StreamSettingsView.hpp"
#include "ui/win/WinTheme.hpp"

namespace murel::win {

inline constexpr const wchar_t* kAccountClass = L"MurelAccount";
inline constexpr const wchar_t* kHostListClass = L"MurelHostList";
inline constexpr const wchar_t* kViewerClass = L"MurelViewer";
inline constexpr const wchar_t* kSurfaceClass = L"MurelVideoSurface";
inline constexpr const wchar_t* kStreamSettingsClass = L"MurelStreamSettings";

inline constexpr UINT_PTR kStatusTimer = 1;
inline constexpr UINT kStatusIntervalMs = 50;

struct DeviceRowWindows {
    std::string hostId;
    HWND name = nullptr;
    HWND state = nullptr;
    HWND detail = nullptr;
    HWND button = nullptr;
};

struct Shell {
    HINSTANCE instance = nullptr;
    HWND main = nullptr;
    HWND hostList = nullptr;
    HWND viewer = nullptr;
    HWND surface = nullptr;
    HWND dialog = nullptr;
    ui::ControllerPort* controller = nullptr;

    app::Status status = ui::initialStatus();  // the last snapshot
    ui::PanelState panel;
    ui::PanelLayoutKey panelLayout;
    bool lineError = false;  // line 112 shows a local message or the snapshot's error

    std::vector<DeviceRowWindows> rows;
    int scroll = 0;  // device list, 96-dpi units

    bool fullscreen = false;
    bool forwarding = true;
    WINDOWPLACEMENT placement{};

    ui::DialogState dialogState;
    bool dialogMessageError = false;  // line 139 likewise

    ThemeInstance mainTheme;
    ThemeInstance viewerTheme;
    ThemeInstance dialogTheme;

    // Where a failure caught in a window procedure goes; empty: the message box. Tests record.
    std::function<void(const std::wstring&)> errorSink;
    bool reportingError = false;
};

Shell& shell();

// Shows an exception that reached a window procedure or the loop (one box at a time).
void reportFailure(const char* what) noexcept;

// Catches what a window procedure throws, so nothing crosses the system's dispatch: the failure is
// shown, creation fails, a paint is validated (or it would be asked again at once).
template <LRESULT (*Procedure)(HWND, UINT, WPARAM, LPARAM)>
LRESULT CALLBACK guardedProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    try {
        return Procedure(window, message, wParam, lParam);
    } catch (const std::exception& error) {
        reportFailure(error.what());
    } catch (...) {
        reportFailure("Unexpected failure");
    }
    if (message == WM_PAINT) ValidateRect(window, nullptr);
    if (message == WM_NCCREATE) return FALSE;
    if (message == WM_CREATE) return -1;
    return 0;
}

// Window procedures (the guarded forms are registered).
LRESULT accountProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT hostListProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT viewerProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT surfaceProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT streamSettingsProcedure(HWND, UINT, WPARAM, LPARAM);

// Registers the five classes in order; false when one fails.
bool registerWindowClasses(HINSTANCE instance);
// The main window, 1120 x 740 units at the system DPI; null on failure.
HWND createMainWindow();

// WM_GETMINMAXINFO: the smallest window whose client is width x height units at its DPI.
void setMinimumClientSize(HWND window, LPARAM minMaxInfo, int width, int height);

// Main window.
void refreshPanel();
// The posting helper of user commands: refused while closing, in flight, busy or pending.
bool postUserCommand(app::Command command);
void setLocalError(std::string text);
void closeMainWindow();
void pollStatus();

// Device list.
void rebuildDeviceRows();
void updateConnectButtons();
void scrollDeviceList(int position, bool force);
void revealDeviceButton(HWND button);
void connectToRow(std::size_t row);

// Viewer.
bool ensureViewer();
// Shown, in front, the keyboard on the video surface.
void showViewer();
// A new connection: pointer sequences start again.
void startViewing();
void toggleFullscreen();
// The key's key-up is not forwarded (its key-down was the interface's own).
void swallowKey(UINT virtualKey);
// Lets go of every key and button held on the host and of the mouse capture.
void releaseInput();
void hideViewer();
void invalidateViewer();
// After every poll: the viewer's view of the session (input active, picture rectangle).
void viewerStatusChanged();

// Stream settings dialog.
void openStreamSettings();
void destroyStreamSettings();
void refreshStreamSettings();

// The message loop and the shutdown that pumps until the worker has stopped.
void routeMessage(MSG& message);
int runMessageLoop();
void shutdownInterface();

}  // namespace murel::win
