// The main window: account panel, connection settings and the signed-in shell.

#include "ui/win/Shell.hpp"

#include <commctrl.h>

#include <utility>

#include "app/CommandQueue.hpp"
#include "platform/win/TextConversion.hpp"
#include "ui/ControlIds.hpp"
#include "ui/DeviceList.hpp"
#include "ui/UiText.hpp"

namespace murel::win {

namespace {

using ui::FontRole;
using ui::Role;

HWND item(int id) { return GetDlgItem(shell().main, id); }

std::wstring w(std::string_view utf8) { return wide(utf8); }

void createControls(HWND window) {
    const DWORD label = SS_ENDELLIPSIS | SS_NOPREFIX;
    const DWORD edit = WS_TABSTOP | ES_AUTOHSCROLL;
    createControl(window, L"STATIC", w(ui::text::kEmailLabel), ui::kIdEmailLabel, label, FontRole::Body);
    SendMessageW(createControl(window, L"EDIT", L"", ui::kIdEmail, edit, FontRole::Body), EM_LIMITTEXT, 254, 0);
    createControl(window, L"STATIC", w(ui::text::kPasswordLabel), ui::kIdPasswordLabel, label, FontRole::Body);
    HWND password = createControl(window, L"EDIT", L"", ui::kIdPassword, edit | ES_PASSWORD, FontRole::Body);
    SendMessageW(password, EM_LIMITTEXT, 256, 0);
    SendMessageW(password, EM_SETCUEBANNER, FALSE, reinterpret_cast<LPARAM>(w(ui::text::kPasswordCue).c_str()));
    createControl(window, L"STATIC", w(ui::text::kPasswordHint), ui::kIdPasswordHint, label, FontRole::Small);
    createOwnerButton(window, w(ui::text::kSignIn), ui::kIdSubmit, true, false);
    createOwnerButton(window, w(ui::text::kToSignUp), ui::kIdToggleSignUp, false, false);
    createOwnerButton(window, w(ui::text::kUseSaved), ui::kIdRestore, false, false);
    createOwnerButton(window, w(ui::text::kConnectionSettings), ui::kIdOpenSettings, false, false);
    createControl(window, L"STATIC", w(ui::text::kDefaultServerOrigin), ui::kIdOriginCaption, label,
                  FontRole::Caption);
    createControl(window, L"STATIC", w(ui::text::kServerLabel), ui::kIdServerLabel, label, FontRole::Body);
    SendMessageW(createControl(window, L"EDIT", w(ui::text::kDefaultServerOrigin), ui::kIdServer, edit, FontRole::Body),
                 EM_LIMITTEXT, 2048, 0);
    createControl(window, L"STATIC", w(ui::text::kDeviceNameLabel), ui::kIdDeviceNameLabel, label, FontRole::Body);
    SendMessageW(createControl(window, L"EDIT", w(ui::text::kDefaultDeviceName), ui::kIdDeviceName, edit,
                               FontRole::Body),
                 EM_LIMITTEXT, 80, 0);
    HWND hostRole = createControl(window, L"BUTTON", w(ui::text::kHostRole), ui::kIdHostRole,
                                  WS_TABSTOP | BS_AUTOCHECKBOX, FontRole::Body);
    SendMessageW(hostRole, BM_SETCHECK, BST_CHECKED, 0);
    createOwnerButton(window, w(ui::text::kDone), ui::kIdSettingsDone, true, false);
    // The message line wraps: a plain static without ellipsis.
    HWND line = createControl(window, L"STATIC", L"", ui::kIdLine, SS_NOPREFIX, FontRole::Small);
    SetWindowLongPtrW(line, GWL_STYLE, WS_CHILD | SS_NOPREFIX);
    createControl(window, L"STATIC", w(ui::text::kDefaultDeviceName), ui::kIdThisPcName, label, FontRole::Body);
    createControl(window, L"STATIC", w(ui::text::kRemoteAccessOff), ui::kIdThisPcState, label, FontRole::Small);
    createControl(window, L"STATIC", L"", ui::kIdAccountLine, label, FontRole::Small);
    createOwnerButton(window, w(ui::text::kHostingOn), ui::kIdHosting, false, false);
    createOwnerButton(window, w(ui::text::kSignOut), ui::kIdSignOut, false, false);
    createOwnerButton(window, w(ui::text::kRefresh), ui::kIdRefresh, false, false);
    createControl(window, L"STATIC", L"", ui::kIdSessionLine, label, FontRole::Small);
    createOwnerButton(window, w(ui::text::kShowViewer), ui::kIdShowViewer, false, false);
    createOwnerButton(window, w(ui::text::kEndSession), ui::kIdEndSession, false, true);

    Shell& s = shell();
    s.hostList = CreateWindowExW(WS_EX_CONTROLPARENT, kHostListClass, w(ui::text::kHostListTitle).c_str(),
                                 WS_CHILD | WS_CLIPCHILDREN | WS_VSCROLL, 0, 0, 1, 1, window, nullptr, s.instance,
                                 nullptr);
    if (s.hostList == nullptr) throw ProtocolError("Could not create the host list");
    SendMessageW(item(ui::kIdEmail), EM_SETCUEBANNER, FALSE, reinterpret_cast<LPARAM>(w(ui::text::kEmailCue).c_str()));
}

void layoutPanel() {
    Shell& s = shell();
    if (s.main == nullptr) return;
    const ThemeInstance& theme = s.mainTheme;
    const ui::Size96 size = clientSize96(s.main, theme.dpi);
    const ui::PanelLayoutKey key{size.w, size.h, theme.dpi, s.status.signedIn, s.panel.settingsMode,
                                 s.status.sessionActive};
    if (key == s.panelLayout) return;
    s.panelLayout = key;
    const ui::PanelLayout layout =
        ui::panelLayout(ui::screenOf(s.status, s.panel), size.w, size.h, s.status.sessionActive);
    for (const auto& [id, rect] : layout.controls) {
        const RECT r = theme.rect(rect);
        SetWindowPos(item(id), nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (layout.hostList) {
        const RECT r = theme.rect(*layout.hostList);
        SetWindowPos(s.hostList, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

// Hiding or disabling the focused control leaves the keyboard nowhere; give it to the first
// control of the screen now shown, but only while the main window is the active one.
void keepKeyboardFocus(const ui::PanelView& view) {
    Shell& s = shell();
    if (GetActiveWindow() != s.main) return;
    HWND focus = GetFocus();
    if (focus != nullptr && focus != s.main && IsWindowVisible(focus) && IsWindowEnabled(focus)) return;
    int id = 0;
    switch (view.screen) {
    case ui::Screen::SignIn: id = ui::kIdEmail; break;
    case ui::Screen::Settings: id = ui::kIdServer; break;
    case ui::Screen::SignedIn: id = ui::kIdRefresh; break;
    }
    HWND target = item(id);
    if (target && IsWindowVisible(target) && IsWindowEnabled(target)) SetFocus(target);
}

void submit(app::CommandKind kind) {
    Shell& s = shell();
    if (s.panel.closing || ui::commandBlocked(s.panel, s.status)) return;
    std::string server = utf16ToUtf8(windowText(item(ui::kIdServer)));
    std::string email = utf16ToUtf8(windowText(item(ui::kIdEmail)));
    std::string deviceName = utf16ToUtf8(windowText(item(ui::kIdDeviceName)));
    std::wstring typed = windowText(item(ui::kIdPassword));
    std::string password;
    try {
        password = utf16ToUtf8(typed);
    } catch (...) {
        typed.resize(typed.capacity());
        SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
        throw;
    }
    typed.resize(typed.capacity());
    SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
    app::WipePasswordOnExit wipeOnExit(password);
    const bool hostRole = SendMessageW(item(ui::kIdHostRole), BM_GETCHECK, 0, 0) == BST_CHECKED;

    s.panel.localError.clear();
    const ui::SubmitCheck check = ui::checkSubmit(kind, email, password);
    if (!check.error.empty()) {
        s.panel.localError = check.error;
        refreshPanel();
        SetFocus(item(check.focus));
        return;
    }
    postUserCommand(ui::accountCommand(kind, std::move(server), std::move(email), std::move(password),
                                       std::move(deviceName), hostRole));
}

void command(int id) {
    Shell& s = shell();
    if (s.panel.closing) return;
    switch (id) {
    case ui::kIdSubmit:
    case IDOK:
        if (!s.status.signedIn && !s.panel.settingsMode) submit(ui::submitKind(s.panel));
        break;
    case ui::kIdToggleSignUp:
        if (ui::toggleSignUp(s.panel, s.status)) {
            refreshPanel();
            SetFocus(item(ui::kIdEmail));
        }
        break;
    case ui::kIdRestore:
        if (!s.status.signedIn && !s.panel.settingsMode) submit(app::CommandKind::Restore);
        break;
    case ui::kIdSignOut:
        postUserCommand(app::Command(app::CommandKind::SignOut));
        break;
    case ui::kIdRefresh:
        postUserCommand(app::Command(app::CommandKind::RefreshDevices));
        break;
    case ui::kIdHosting:
        postUserCommand(app::Command(s.status.hostReady ? app::CommandKind::DisableHosting
                                                        : app::CommandKind::EnableHosting));
        break;
    case ui::kIdOpenSettings:
        s.panel.settingsMode = true;
        s.panel.localError.clear();
        refreshPanel();
        SetFocus(item(ui::kIdServer));
        break;
    case ui::kIdSettingsDone:
        s.panel.settingsMode = false;
        s.panel.localError.clear();
        refreshPanel();
        SetFocus(item(ui::kIdEmail));
        break;
    case ui::kIdShowViewer:
        if (s.viewer) {
            ShowWindow(s.viewer, SW_RESTORE);
            SetForegroundWindow(s.viewer);
            if (s.surface) SetFocus(s.surface);
        }
        break;
    case ui::kIdEndSession:
        destroyStreamSettings();
        releaseInput();
        postUserCommand(app::Command(app::CommandKind::EndSession));
        break;
    default:
        break;
    }
}

void paintSignedOut(HDC dc, const ThemeInstance& t, int W, int H) {
    const Shell& s = shell();
    fillRect(dc, t, {0, 0, W - 440, H}, t.colour(Role::AccentTint));
    const int L = std::max(48, (W - 790) / 2);
    drawText(dc, t, w(ui::text::kLogo), {L, 44, 220, 28}, FontRole::Logo, t.colour(Role::Text),
             DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    drawGlyph(dc, t, {L, H / 2 - 188, 58, 58}, t.colour(Role::Accent));
    drawText(dc, t, w(ui::text::kHeroTitle), {L, H / 2 - 112, 380, 144}, FontRole::Display, t.colour(Role::Text),
             DT_WORDBREAK | DT_LEFT);
    drawText(dc, t, w(ui::text::kHeroBody), {L, H / 2 + 52, 380, 64}, FontRole::Body, t.colour(Role::SecondaryText),
             DT_WORDBREAK | DT_LEFT);
    drawText(dc, t, w(ui::text::kHeroFooter), {L, H - 58, W - L - 468, 22}, FontRole::Caption,
             t.colour(Role::SecondaryText), DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);

    const ui::PanelView view = ui::panelView(s.status, s.panel, "");
    const ui::PanelLayout layout = ui::panelLayout(view.screen, W, H, s.status.sessionActive);
    drawText(dc, t, w(view.formTitle), layout.title, FontRole::Title, t.colour(Role::Text),
             DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
    drawText(dc, t, w(view.formSubtitle), layout.subtitle, FontRole::Body, t.colour(Role::SecondaryText),
             DT_WORDBREAK);
    const HWND focus = GetFocus();
    for (const ui::FieldFrame& field : layout.fields) {
        const ui::Colour outline = t.colour(focus == item(field.editId) ? Role::Accent : Role::Border);
        fillRect(dc, t, field.frame, t.colour(Role::Input), 8, &outline);
    }
}

void paintSignedIn(HDC dc, const ThemeInstance& t, int W, int H) {
    const Shell& s = shell();
    const int D = W < 310 ? 0 : W - 309;
    fillRect(dc, t, {0, 0, 245, H}, t.colour(Role::Sidebar));
    drawText(dc, t, w(ui::text::kLogo), {28, 32, 180, 32}, FontRole::Logo, t.colour(Role::Text),
             DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    fillRect(dc, t, {20, 94, 205, 46}, t.colour(Role::AccentLight), 8);
    drawGlyph(dc, t, {32, 102, 30, 30}, t.colour(Role::Accent));
    drawText(dc, t, w(ui::text::kMyDevices), {76, 98, 136, 38}, FontRole::Body, t.colour(Role::Text),
             DT_SINGLELINE | DT_VCENTER);
    drawText(dc, t, w(ui::text::kMyDevices), {277, 30, W - 485, 42}, FontRole::Title, t.colour(Role::Text),
             DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
    fillRect(dc, t, {20, H - 232, 205, 140}, t.colour(Role::Card), 10);
    drawText(dc, t, w(ui::text::kThisPc), {34, H - 220, 170, 20}, FontRole::Small, t.colour(Role::SecondaryText),
             DT_SINGLELINE | DT_VCENTER);
    drawLine(dc, t, 24, H - 76, 221, H - 76, ui::dividerColour(t.palette));
    drawText(dc, t, w(ui::text::kListNote), {277, H - 36, D, 24}, FontRole::Caption, t.colour(Role::SecondaryText),
             DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
    if (s.status.sessionActive) fillRect(dc, t, {277, 123, D, 64}, t.colour(Role::AccentLight), 10);
    drawText(dc, t, w(s.status.online ? ui::text::kOnline : ui::text::kOffline), {W - 260, 39, 120, 28},
             FontRole::Small, t.colour(s.status.online ? Role::Success : Role::SecondaryText),
             DT_SINGLELINE | DT_VCENTER);
}

void paint(HWND window) {
    Shell& s = shell();
    PAINTSTRUCT ps;
    HDC target = BeginPaint(window, &ps);
    {
        const ThemeInstance& theme = s.mainTheme;
        DoubleBuffer buffer(window, target, theme.brush(Role::Window));
        const ui::Size96 size = clientSize96(window, theme.dpi);
        if (s.status.signedIn) {
            paintSignedIn(buffer.dc(), theme, size.w, size.h);
        } else {
            paintSignedOut(buffer.dc(), theme, size.w, size.h);
        }
    }
    EndPaint(window, &ps);
}

void minimumSize(HWND window, MINMAXINFO& info, int width, int height) {
    const UINT dpi = GetDpiForWindow(window);
    RECT frame{0, 0, MulDiv(width, static_cast<int>(dpi), 96), MulDiv(height, static_cast<int>(dpi), 96)};
    AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
                             static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)), dpi);
    info.ptMinTrackSize = {frame.right - frame.left, frame.bottom - frame.top};
}

}  // namespace

void setMinimumClientSize(HWND window, LPARAM minMaxInfo, int width, int height) {
    minimumSize(window, *reinterpret_cast<MINMAXINFO*>(minMaxInfo), width, height);
}

void setLocalError(std::string text) {
    shell().panel.localError = std::move(text);
    refreshPanel();
}

bool postUserCommand(app::Command command) {
    Shell& s = shell();
    if (s.panel.closing || s.controller == nullptr || ui::commandBlocked(s.panel, s.status)) {
        app::wipePassword(command.password);
        return false;
    }
    const std::uint64_t counter = s.status.completedOperations;
    const bool accepted = s.controller->post(std::move(command));
    ui::notePosted(s.panel, accepted, counter);
    refreshPanel();
    return accepted;
}

void refreshPanel() {
    Shell& s = shell();
    if (s.main == nullptr) return;
    const ui::PanelView view = ui::panelView(s.status, s.panel, narrow(windowText(item(ui::kIdServer))));
    for (const auto& [id, control] : view.controls) {
        HWND window = item(id);
        if (window == nullptr) continue;
        if (control.text) {
            if (isOwnerButton(window)) {
                setButtonLabel(window, wide(*control.text));
            } else {
                setText(window, wide(*control.text));
            }
        }
        if ((IsWindowEnabled(window) != FALSE) != control.enabled) EnableWindow(window, control.enabled);
        const bool visible = (GetWindowLongPtrW(window, GWL_STYLE) & WS_VISIBLE) != 0;
        if (visible != control.visible) ShowWindow(window, control.visible ? SW_SHOWNA : SW_HIDE);
    }
    HWND line = item(ui::kIdLine);
    setText(line, wide(view.line));
    if (s.lineError != view.lineIsError) {
        s.lineError = view.lineIsError;
        InvalidateRect(line, nullptr, TRUE);
    }
    if (s.hostList) {
        const bool visible = (GetWindowLongPtrW(s.hostList, GWL_STYLE) & WS_VISIBLE) != 0;
        if (visible != view.hostListVisible) ShowWindow(s.hostList, view.hostListVisible ? SW_SHOWNA : SW_HIDE);
    }
    updateConnectButtons();
    layoutPanel();
    keepKeyboardFocus(view);
    InvalidateRect(s.main, nullptr, FALSE);
}

void closeMainWindow() {
    Shell& s = shell();
    if (s.panel.closing) return;
    s.panel.closing = true;
    destroyStreamSettings();
    releaseInput();
    s.status.viewerInputActive = false;
    EnableWindow(s.main, FALSE);
    if (s.viewer) ShowWindow(s.viewer, SW_HIDE);
    if (s.controller) s.controller->requestStop();
}

void pollStatus() {
    Shell& s = shell();
    if (s.panel.closing) {
        if (s.controller == nullptr || s.controller->workerStopped()) {
            KillTimer(s.main, kStatusTimer);
            PostQuitMessage(0);
        }
        return;
    }
    if (s.controller == nullptr) return;
    app::Status previous = std::exchange(s.status, s.controller->snapshot());
    const ui::PollOutcome outcome = ui::applySnapshot(s.panel, previous, s.status, s.viewer != nullptr);
    if (outcome.signedInNow) SetWindowTextW(item(ui::kIdPassword), L"");
    if (outcome.rebuildRows) rebuildDeviceRows();
    if (outcome.endViewer) {
        destroyStreamSettings();
        releaseInput();
        hideViewer();
    }
    if (outcome.dropViewerOnError) {
        destroyStreamSettings();
        hideViewer();
    }
    if (outcome.refreshPanel) refreshPanel();
    if (outcome.invalidateViewer) invalidateViewer();
    viewerStatusChanged();
    refreshStreamSettings();
}

LRESULT accountProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Shell& s = shell();
    switch (message) {
    case WM_CREATE:
        s.main = window;
        s.mainTheme.build(window);
        createControls(window);
        refreshPanel();
        SetTimer(window, kStatusTimer, kStatusIntervalMs, nullptr);
        return 0;
    case WM_TIMER:
        if (wParam == kStatusTimer) pollStatus();
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) command(LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        closeMainWindow();
        return 0;
    case WM_SIZE:
        layoutPanel();
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    case WM_GETMINMAXINFO:
        setMinimumClientSize(window, lParam, ui::kMainMinWidth, ui::kMainMinHeight);
        return 0;
    case WM_DPICHANGED: {
        rebuildTheme(window, s.mainTheme);
        moveToSuggestedRect(window, lParam);
        s.panelLayout = {};
        layoutPanel();
        scrollDeviceList(s.scroll, true);
        return 0;
    }
    case WM_SETTINGCHANGE:
    case WM_THEMECHANGED:
        rebuildTheme(window, s.mainTheme);
        s.panelLayout = {};
        layoutPanel();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        paint(window);
        return 0;
    case WM_DRAWITEM:
        drawOwnerButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam), false);
        return TRUE;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC: {
        HWND control = reinterpret_cast<HWND>(lParam);
        return controlColour(reinterpret_cast<HDC>(wParam), control, controlClassOf(control));
    }
    case DM_GETDEFID: {
        const ui::PanelView view = ui::panelView(s.status, s.panel, "");
        return MAKELRESULT(view.defaultButton, DC_HASDEFID);
    }
    case WM_DESTROY:
        KillTimer(window, kStatusTimer);
        return 0;
    case WM_NCDESTROY:
        s.main = nullptr;
        s.hostList = nullptr;
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace murel::win
