// The device list: one card per device of the account, each with its connect button.

#include <windowsx.h>

#include "ui/ControlIds.hpp"
#include "ui/DeviceList.hpp"
#include "ui/UiText.hpp"
#include "ui/win/Shell.hpp"

namespace murel::win {

namespace {

using ui::FontRole;
using ui::Role;

ui::Size96 listSize() { return clientSize96(shell().hostList, shell().mainTheme.dpi); }

// Rows move without redrawing each control; the list is redrawn once afterwards.
bool place(HWND window, const RECT& target) { return moveChild(shell().hostList, window, target, SWP_NOREDRAW); }

bool placeRows(int listWidth) {
    Shell& s = shell();
    const ThemeInstance& theme = s.mainTheme;
    bool moved = false;
    for (std::size_t i = 0; i < s.rows.size(); ++i) {
        const ui::RowRects r = ui::rowRects(i, s.scroll, listWidth);
        moved |= place(s.rows[i].name, theme.rect(r.name));
        moved |= place(s.rows[i].state, theme.rect(r.state));
        moved |= place(s.rows[i].detail, theme.rect(r.detail));
        moved |= place(s.rows[i].button, theme.rect(r.button));
    }
    return moved;
}

void paint(HWND window, HDC target) {
    const Shell& s = shell();
    const ThemeInstance& t = s.mainTheme;
    DoubleBuffer buffer(window, target, t.brush(Role::Window));
    HDC dc = buffer.dc();
    const ui::Size96 size = listSize();
    if (s.rows.empty()) {
        const ui::EmptyListRects r = ui::emptyListRects(size.w, size.h);
        drawGlyph(dc, t, r.glyph, t.colour(Role::SecondaryText));
        drawText(dc, t, wide(ui::text::kEmptyTitle), r.title, FontRole::Heading, t.colour(Role::Text),
                 DT_CENTER | DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
        drawText(dc, t, wide(ui::text::kEmptyBody), r.body, FontRole::Body, t.colour(Role::SecondaryText),
                 DT_CENTER | DT_WORDBREAK);
        return;
    }
    const ui::Colour divider = ui::dividerColour(t.palette);
    for (std::size_t i = 0; i < s.rows.size(); ++i) {
        const ui::RowRects r = ui::rowRects(i, s.scroll, size.w);
        if (r.card.y + r.card.h <= 0 || r.card.y >= size.h) continue;
        fillRect(dc, t, r.card, t.colour(Role::Card), 14, &divider);
        fillRect(dc, t, r.iconTile, t.colour(Role::AccentTint), 12);
        drawGlyph(dc, t, r.glyph, t.colour(Role::Accent));
    }
}

void destroyRows() {
    Shell& s = shell();
    for (DeviceRowWindows& row : s.rows) {
        for (HWND window : {row.name, row.state, row.detail, row.button}) {
            if (window) DestroyWindow(window);
        }
    }
    s.rows.clear();
}

}  // namespace

void rebuildDeviceRows() {
    Shell& s = shell();
    if (s.hostList == nullptr) return;
    std::string focusedHost;
    HWND focus = GetFocus();
    for (const DeviceRowWindows& row : s.rows) {
        if (row.button == focus) focusedHost = row.hostId;
    }
    destroyRows();
    const std::vector<ui::DeviceRow> rows = ui::deviceRows(s.status);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ui::DeviceRow& row = rows[i];
        DeviceRowWindows windows;
        windows.hostId = row.hostId;
        const DWORD label = SS_ENDELLIPSIS | SS_NOPREFIX;
        windows.name = createControl(s.hostList, L"STATIC", wide(row.name), 0, label, FontRole::Heading);
        windows.state = createControl(s.hostList, L"STATIC", wide(row.state), 0, label, FontRole::Small);
        windows.detail = createControl(s.hostList, L"STATIC", wide(row.detail), 0, label, FontRole::Caption);
        windows.button = createOwnerButton(s.hostList, wide(row.buttonText), ui::kIdFirstConnect + static_cast<int>(i),
                                           true, false);
        setButtonLabel(windows.button, wide(row.buttonLabel));
        s.rows.push_back(windows);
        for (HWND window : {windows.name, windows.state, windows.detail, windows.button}) ShowWindow(window, SW_SHOWNA);
    }
    scrollDeviceList(s.scroll, true);
    updateConnectButtons();
    for (const DeviceRowWindows& row : s.rows) {
        if (!focusedHost.empty() && row.hostId == focusedHost) SetFocus(row.button);
    }
}

void updateConnectButtons() {
    const Shell& s = shell();
    for (std::size_t i = 0; i < s.rows.size(); ++i) {
        const bool enabled = ui::mayConnect(s.status, s.panel, i);
        if ((IsWindowEnabled(s.rows[i].button) != FALSE) != enabled) EnableWindow(s.rows[i].button, enabled);
    }
}

void scrollDeviceList(int position, bool force) {
    Shell& s = shell();
    if (s.hostList == nullptr) return;
    const ui::Size96 size = listSize();
    const int clamped = ui::clampScroll(position, s.rows.size(), size.h);
    const ui::ScrollBar bar = ui::scrollBar(s.rows.size(), size.h, clamped);
    SCROLLINFO current{};
    current.cbSize = sizeof current;
    current.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    GetScrollInfo(s.hostList, SB_VERT, &current);
    const bool barChanged = current.nMin != bar.min || current.nMax != bar.max ||
                            current.nPage != static_cast<UINT>(bar.page) || current.nPos != bar.pos;
    const bool positionChanged = clamped != s.scroll;
    s.scroll = clamped;
    if (barChanged) {
        SCROLLINFO info{};
        info.cbSize = sizeof info;
        info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
        info.nMin = bar.min;
        info.nMax = bar.max;
        info.nPage = static_cast<UINT>(bar.page);
        info.nPos = bar.pos;
        SetScrollInfo(s.hostList, SB_VERT, &info, TRUE);
    }
    // Showing or hiding the scroll bar changes the width the rows are placed in.
    const bool moved = placeRows(listSize().w);
    if (moved || positionChanged || barChanged || force) {
        RedrawWindow(s.hostList, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    }
}

void revealDeviceButton(HWND button) {
    Shell& s = shell();
    for (std::size_t i = 0; i < s.rows.size(); ++i) {
        if (s.rows[i].button != button) continue;
        if (const auto target = ui::revealRow(i, s.scroll, listSize().h)) scrollDeviceList(*target, false);
        return;
    }
}

void connectToRow(std::size_t row) {
    Shell& s = shell();
    if (!ui::mayConnect(s.status, s.panel, row)) return;
    if (!ensureViewer()) {
        setLocalError(std::string(ui::text::kViewerUnavailable));
        return;
    }
    const HostInfo host = s.status.hosts[row];
    SetWindowTextW(s.viewer, (wide(ui::text::kViewerTitlePrefix) + wide(host.name)).c_str());
    showViewer();
    startViewing();
    app::Command connect(app::CommandKind::Connect);
    connect.hostId = host.id;
    connect.surface = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(s.surface));
    if (!postUserCommand(std::move(connect))) {
        hideViewer();
        SetForegroundWindow(s.main);
    }
}

LRESULT hostListProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Shell& s = shell();
    switch (message) {
    case WM_SIZE:
        scrollDeviceList(s.scroll, true);
        return 0;
    case WM_VSCROLL: {
        SCROLLINFO info{};
        info.cbSize = sizeof info;
        info.fMask = SIF_ALL;
        GetScrollInfo(window, SB_VERT, &info);
        ui::ScrollRequest request;
        switch (LOWORD(wParam)) {
        case SB_LINEUP: request = ui::ScrollRequest::LineUp; break;
        case SB_LINEDOWN: request = ui::ScrollRequest::LineDown; break;
        case SB_PAGEUP: request = ui::ScrollRequest::PageUp; break;
        case SB_PAGEDOWN: request = ui::ScrollRequest::PageDown; break;
        case SB_THUMBPOSITION:
        case SB_THUMBTRACK: request = ui::ScrollRequest::Track; break;
        case SB_TOP: request = ui::ScrollRequest::Top; break;
        case SB_BOTTOM: request = ui::ScrollRequest::Bottom; break;
        default: return 0;
        }
        const int maximum = ui::maxScroll(s.rows.size(), listSize().h);
        scrollDeviceList(ui::scrollRequestTarget(request, s.scroll, static_cast<int>(info.nPage), info.nTrackPos,
                                                 maximum),
                         false);
        return 0;
    }
    case WM_MOUSEWHEEL:
        scrollDeviceList(ui::wheelTarget(s.scroll, GET_WHEEL_DELTA_WPARAM(wParam)), false);
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) >= ui::kIdFirstConnect) {
            connectToRow(static_cast<std::size_t>(LOWORD(wParam) - ui::kIdFirstConnect));
        }
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        paint(window, dc);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        if ((lParam & PRF_CLIENT) != 0) paint(window, reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_DRAWITEM:
        drawOwnerButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam), true);
        return TRUE;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC: {
        HWND control = reinterpret_cast<HWND>(lParam);
        return controlColour(reinterpret_cast<HDC>(wParam), control, controlClassOf(control));
    }
    case WM_NCDESTROY:
        s.rows.clear();
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace murel::win
