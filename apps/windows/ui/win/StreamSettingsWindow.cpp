// The stream settings dialog: the host's modes in a combo box, the requested, received and
// presented lines, apply and close.

#include "ui/win/Shell.hpp"

#include <commctrl.h>

#include <algorithm>

#include "ui/ControlIds.hpp"
#include "ui/UiText.hpp"
#include "ui/ViewerView.hpp"

namespace murel::win {

namespace {

using ui::FontRole;
using ui::Role;

constexpr DWORD kDialogStyle = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kDialogExStyle = WS_EX_CONTROLPARENT | WS_EX_DLGMODALFRAME;

HWND item(int id) { return GetDlgItem(shell().dialog, id); }

void layoutDialog(HWND window) {
    const ThemeInstance& t = shell().dialogTheme;
    for (int id : {ui::kIdDialogTitle, ui::kIdNativeLine, ui::kIdModeLabel, ui::kIdModeHint, ui::kIdRequestedLine,
                   ui::kIdReceivedLine, ui::kIdPresentedLine, ui::kIdDialogMessage, ui::kIdDialogClose,
                   ui::kIdApply}) {
        const RECT r = t.rect(ui::dialogControlRect(id));
        SetWindowPos(GetDlgItem(window, id), nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    HWND combo = GetDlgItem(window, ui::kIdModeCombo);
    const int item = t.px(ui::kComboItemHeight);
    SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), item);
    SendMessageW(combo, CB_SETITEMHEIGHT, 0, item);
    ui::Rect target = ui::dialogControlRect(ui::kIdModeCombo);
    target.h += ui::kComboDropHeight;
    const RECT wanted = t.rect(target);
    RECT dropped{};
    SendMessageW(combo, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
    MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&dropped), 2);
    if (!EqualRect(&dropped, &wanted)) {
        SetWindowPos(combo, nullptr, wanted.left, wanted.top, wanted.right - wanted.left, wanted.bottom - wanted.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void createDialogControls(HWND window) {
    const DWORD line = WS_VISIBLE | SS_NOPREFIX;
    createControl(window, L"STATIC", wide(ui::text::kDialogTitle), ui::kIdDialogTitle, line, FontRole::Heading);
    createControl(window, L"STATIC", wide(ui::text::kNativeWaiting), ui::kIdNativeLine, line, FontRole::Small);
    // "(&M)" is the combo box's access key: this label keeps its prefix.
    createControl(window, L"STATIC", wide(ui::text::kModeLabel), ui::kIdModeLabel, WS_VISIBLE, FontRole::Body);
    HWND combo = createControl(window, L"COMBOBOX", L"", ui::kIdModeCombo,
                               WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, FontRole::Body);
    SendMessageW(combo, CB_SETCUEBANNER, 0, reinterpret_cast<LPARAM>(wide(ui::text::kModeCue).c_str()));
    createControl(window, L"STATIC", wide(ui::text::kModeHint), ui::kIdModeHint, line, FontRole::Small);
    createControl(window, L"STATIC", L"", ui::kIdRequestedLine, line, FontRole::Small);
    createControl(window, L"STATIC", L"", ui::kIdReceivedLine, line, FontRole::Small);
    createControl(window, L"STATIC", L"", ui::kIdPresentedLine, line, FontRole::Small);
    createControl(window, L"STATIC", L"", ui::kIdDialogMessage, line, FontRole::Small);
    ShowWindow(createOwnerButton(window, wide(ui::text::kClose), ui::kIdDialogClose, false, false), SW_SHOWNA);
    ShowWindow(createOwnerButton(window, wide(ui::text::kApply), ui::kIdApply, true, false), SW_SHOWNA);
    layoutDialog(window);
}

void apply() {
    Shell& s = shell();
    if (s.controller == nullptr) return;
    const auto candidate = ui::applyCandidate(s.status, s.dialogState, s.panel.commandInFlight, s.panel.closing);
    if (!candidate) return;
    app::Command command(app::CommandKind::ApplyStreamSettings);
    command.streamConfiguration = *candidate;
    const std::uint64_t counter = s.status.completedOperations;
    const bool accepted = s.controller->post(std::move(command));
    ui::noteApplyPosted(s.dialogState, accepted, counter, *candidate);
    refreshStreamSettings();
}

void closeDialog() {
    Shell& s = shell();
    destroyStreamSettings();
    if (s.viewer && IsWindowVisible(s.viewer)) {
        SetForegroundWindow(s.viewer);
        SetFocus(GetDlgItem(s.viewer, ui::kIdViewerSettings));
    }
}

void paintDialog(HWND window) {
    PAINTSTRUCT ps;
    HDC target = BeginPaint(window, &ps);
    { DoubleBuffer buffer(window, target, shell().dialogTheme.brush(Role::Window)); }
    EndPaint(window, &ps);
}

}  // namespace

void openStreamSettings() {
    Shell& s = shell();
    if (s.viewer == nullptr || s.panel.closing) return;
    releaseInput();
    if (!ui::settingsAvailable(s.status, s.panel.closing)) return;
    if (s.dialog == nullptr) {
        const int dpi = s.viewerTheme.dpi;
        RECT frame{0, 0, ui::scale(ui::kDialogWidth, dpi), ui::scale(ui::kDialogHeight, dpi)};
        AdjustWindowRectExForDpi(&frame, kDialogStyle, FALSE, kDialogExStyle, static_cast<UINT>(dpi));
        const int width = frame.right - frame.left;
        const int height = frame.bottom - frame.top;
        RECT viewer{};
        GetWindowRect(s.viewer, &viewer);
        int x = viewer.left + ((viewer.right - viewer.left) - width) / 2;
        int y = viewer.top + ((viewer.bottom - viewer.top) - height) / 2;
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        if (GetMonitorInfoW(MonitorFromWindow(s.viewer, MONITOR_DEFAULTTONEAREST), &monitor)) {
            const RECT& work = monitor.rcWork;
            x = std::max<int>(work.left, std::min<int>(x, work.right - width));
            y = std::max<int>(work.top, std::min<int>(y, work.bottom - height));
        }
        CreateWindowExW(kDialogExStyle, kStreamSettingsClass, wide(ui::text::kDialogTitle).c_str(), kDialogStyle, x, y,
                        width, height, s.viewer, nullptr, s.instance, nullptr);
        if (s.dialog == nullptr) return;
    }
    refreshStreamSettings();
    ShowWindow(s.dialog, SW_SHOWNORMAL);
    SetForegroundWindow(s.dialog);
    HWND combo = item(ui::kIdModeCombo);
    SetFocus(IsWindowEnabled(combo) ? combo : item(ui::kIdDialogClose));
}

void destroyStreamSettings() {
    Shell& s = shell();
    if (s.dialog) DestroyWindow(s.dialog);
}

void refreshStreamSettings() {
    Shell& s = shell();
    ui::endApplyIfDone(s.dialogState, s.status);
    if (s.viewer) {
        HWND button = GetDlgItem(s.viewer, ui::kIdViewerSettings);
        const bool enabled = ui::settingsAvailable(s.status, s.panel.closing);
        if (button && (IsWindowEnabled(button) != FALSE) != enabled) EnableWindow(button, enabled);
    }
    if (s.dialog == nullptr) return;
    HWND combo = item(ui::kIdModeCombo);
    if (ui::needsRebuild(s.dialogState, s.status)) {
        ui::rebuildList(s.dialogState, s.status);
        SendMessageW(combo, CB_RESETCONTENT, 0, 0);
        std::vector<StreamMode> added;
        std::optional<std::size_t> selection;
        const StreamModes capabilities = s.dialogState.builtFrom.value_or(StreamModes{});
        for (std::size_t i = 0; i < s.dialogState.listed.size(); ++i) {
            const StreamMode& mode = s.dialogState.listed[i];
            const std::wstring label = wide(ui::modeLabel(mode, capabilities));
            const LRESULT index = SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label.c_str()));
            if (index < 0) continue;  // left out of the list as well
            if (s.dialogState.selection == i) selection = added.size();
            added.push_back(mode);
        }
        s.dialogState.listed = std::move(added);
        s.dialogState.selection = selection;
        SendMessageW(combo, CB_SETCURSEL, selection ? static_cast<WPARAM>(*selection) : static_cast<WPARAM>(-1), 0);
    }
    const ui::DialogView view =
        ui::dialogView(s.status, s.dialogState, s.panel.commandInFlight, s.panel.closing);
    setText(item(ui::kIdNativeLine), wide(view.nativeLine));
    setText(item(ui::kIdRequestedLine), wide(view.requestedLine));
    setText(item(ui::kIdReceivedLine), wide(view.receivedLine));
    setText(item(ui::kIdPresentedLine), wide(view.presentedLine));
    HWND message = item(ui::kIdDialogMessage);
    setText(message, wide(view.message));
    if (s.dialogMessageError != view.messageIsError) {
        s.dialogMessageError = view.messageIsError;
        InvalidateRect(message, nullptr, TRUE);
    }
    if ((IsWindowEnabled(combo) != FALSE) != view.comboEnabled) EnableWindow(combo, view.comboEnabled);
    HWND applyButton = item(ui::kIdApply);
    if ((IsWindowEnabled(applyButton) != FALSE) != view.applyEnabled) EnableWindow(applyButton, view.applyEnabled);
}

LRESULT streamSettingsProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Shell& s = shell();
    switch (message) {
    case WM_CREATE: {
        s.dialog = window;
        s.dialogState.settingsMessage.clear();
        s.dialogState.listed.clear();
        s.dialogState.builtFrom.reset();
        s.dialogState.selection.reset();
        s.dialogTheme.build(window);
        createDialogControls(window);
        // The list starts empty; the first refresh fills it (also when there are no modes yet).
        s.dialogState.builtFrom = StreamModes{};
        refreshStreamSettings();
        return 0;
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (id == ui::kIdModeCombo && code == CBN_SELCHANGE) {
            const LRESULT index = SendMessageW(item(ui::kIdModeCombo), CB_GETCURSEL, 0, 0);
            s.dialogState.selection =
                index < 0 ? std::nullopt : std::optional<std::size_t>(static_cast<std::size_t>(index));
            s.dialogState.settingsMessage.clear();
            refreshStreamSettings();
        } else if (code == BN_CLICKED && (id == ui::kIdApply || id == IDOK)) {
            apply();
        } else if (code == BN_CLICKED && id == ui::kIdDialogClose) {
            closeDialog();
        }
        return 0;
    }
    case WM_CLOSE:
        closeDialog();
        return 0;
    case DM_GETDEFID:
        return MAKELRESULT(ui::kIdApply, DC_HASDEFID);
    case WM_DPICHANGED: {
        rebuildTheme(window, s.dialogTheme);
        moveToSuggestedRect(window, lParam);
        layoutDialog(window);
        return 0;
    }
    case WM_SETTINGCHANGE:
    case WM_THEMECHANGED:
        rebuildTheme(window, s.dialogTheme);
        layoutDialog(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        paintDialog(window);
        return 0;
    case WM_DRAWITEM:
        drawOwnerButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam), false);
        return TRUE;
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC: {
        HWND control = reinterpret_cast<HWND>(lParam);
        return controlColour(reinterpret_cast<HDC>(wParam), control, controlClassOf(control));
    }
    case WM_NCDESTROY:
        s.dialog = nullptr;
        s.dialogMessageError = false;
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace murel::win
