#include "ui/win/WinTheme.hpp"

#include <commctrl.h>
#include <dwmapi.h>
#include <uxtheme.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <optional>

#include <gdiplus.h>

#include "protocol/Wire.hpp"
#include "ui/win/Shell.hpp"

namespace murel::win {

namespace {

// Not in mingw-w64's dwmapi.h.
constexpr DWORD kDwmUseImmersiveDarkMode = 20;
constexpr DWORD kDwmCaptionColour = 35;
constexpr COLORREF kDwmColourDefault = 0xFFFFFFFF;

constexpr const wchar_t* kFontProperty = L"Murel.Font";
constexpr UINT_PTR kSubclassId = 1;

struct ButtonRecord {
    std::wstring label;
    bool primary = false;
    bool danger = false;
    bool hover = false;
};

std::map<HWND, ButtonRecord>& buttons() {
    static std::map<HWND, ButtonRecord> records;
    return records;
}

ButtonRecord* recordOf(HWND button) {
    auto found = buttons().find(button);
    return found == buttons().end() ? nullptr : &found->second;
}

int brushIndex(ui::Role role) {
    switch (role) {
    case ui::Role::Input: return 1;
    case ui::Role::Card: return 2;
    case ui::Role::Sidebar: return 3;
    default: return 0;
    }
}

Gdiplus::Color gdiplusColour(ui::Colour c) {
    return Gdiplus::Color(255, static_cast<BYTE>(ui::redOf(c)), static_cast<BYTE>(ui::greenOf(c)),
                          static_cast<BYTE>(ui::blueOf(c)));
}

LRESULT subclassBody(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
        InvalidateRect(window, nullptr, FALSE);
        HWND parent = GetParent(window);
        if (parent != nullptr) InvalidateRect(parent, nullptr, FALSE);
        const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
        if (message == WM_SETFOCUS && parent != nullptr && parent == shell().hostList && recordOf(window)) {
            revealDeviceButton(window);
        }
        return result;
    }
    case WM_MOUSEMOVE:
        if (ButtonRecord* record = recordOf(window); record && !record->hover) {
            record->hover = true;
            TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window, 0};
            TrackMouseEvent(&track);
            InvalidateRect(window, nullptr, FALSE);
        }
        break;
    case WM_MOUSELEAVE:
        if (ButtonRecord* record = recordOf(window)) {
            record->hover = false;
            InvalidateRect(window, nullptr, FALSE);
        }
        break;
    case BM_SETSTYLE:
        // The default-button style would turn an owner-drawn button into a push button.
        if (recordOf(window)) return 0;
        break;
    default:
        break;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

LRESULT CALLBACK subclassProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                   DWORD_PTR) noexcept {
    if (message == WM_NCDESTROY) {
        buttons().erase(window);
        RemovePropW(window, kFontProperty);
        RemoveWindowSubclass(window, subclassProcedure, id);
        return DefSubclassProc(window, message, wParam, lParam);
    }
    try {
        return subclassBody(window, message, wParam, lParam);
    } catch (const std::exception& error) {
        reportFailure(error.what());
    } catch (...) {
        reportFailure("Unexpected failure");
    }
    return 0;
}

}  // namespace

ThemeInstance::~ThemeInstance() {
    for (HFONT font : fonts_)
        if (font) DeleteObject(font);
    for (HBRUSH brush : brushes_)
        if (brush) DeleteObject(brush);
    deleteReplacedFonts();
}

HBRUSH ThemeInstance::brush(ui::Role role) const {
    HBRUSH result = brushes_[brushIndex(role)];
    return result ? result : static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
}

RECT ThemeInstance::rect(const ui::Rect& r) const {
    return RECT{px(r.x), px(r.y), px(r.x) + px(r.w), px(r.y) + px(r.h)};
}

void ThemeInstance::build(HWND window) {
    const UINT windowDpi = window ? GetDpiForWindow(window) : 0;
    dpi = ui::effectiveDpi(static_cast<int>(windowDpi));
    palette = systemPalette();
    for (int i = 0; i < ui::kFontRoleCount; ++i) {
        const auto role = static_cast<ui::FontRole>(i);
        const ui::FontStyle style = ui::fontStyle(role);
        const std::wstring face(style.face.begin(), style.face.end());
        HFONT font = CreateFontW(ui::fontHeight(role, dpi), 0, 0, 0, style.weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                 OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH,
                                 face.c_str());
        if (fonts_[i]) replaced_.push_back(fonts_[i]);
        fonts_[i] = font;
    }
    const ui::Role roles[4] = {ui::Role::Window, ui::Role::Input, ui::Role::Card, ui::Role::Sidebar};
    for (int i = 0; i < 4; ++i) {
        if (brushes_[i]) DeleteObject(brushes_[i]);
        brushes_[i] = CreateSolidBrush(palette[roles[i]]);
    }
    if (window) applyFrameAttributes(window, *this);
}

void ThemeInstance::deleteReplacedFonts() {
    for (HFONT font : replaced_) DeleteObject(font);
    replaced_.clear();
}

ThemeInstance& themeOf(HWND window) {
    Shell& s = shell();
    HWND root = window ? GetAncestor(window, GA_ROOT) : nullptr;
    if (root == nullptr) root = window;
    wchar_t name[64] = {};
    if (root) GetClassNameW(root, name, 64);
    if (std::wstring_view(name) == kViewerClass) return s.viewerTheme;
    if (std::wstring_view(name) == kStreamSettingsClass) return s.dialogTheme;
    return s.mainTheme;
}

ui::Palette systemPalette() {
    std::optional<std::uint32_t> light;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                     L"AppsUseLightTheme", RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS) {
        light = value;
    }
    std::optional<ui::SystemColours> contrast;
    HIGHCONTRASTW highContrast{};
    highContrast.cbSize = sizeof highContrast;
    if (SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof highContrast, &highContrast, 0) &&
        (highContrast.dwFlags & HCF_HIGHCONTRASTON) != 0) {
        contrast = ui::SystemColours{GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT),
                                     GetSysColor(COLOR_HIGHLIGHT), GetSysColor(COLOR_HIGHLIGHTTEXT),
                                     GetSysColor(COLOR_GRAYTEXT)};
    }
    return ui::selectPalette(light, contrast);
}

void applyFrameAttributes(HWND window, const ThemeInstance& theme) {
    const BOOL dark = theme.palette.dark && !theme.palette.highContrast;
    DwmSetWindowAttribute(window, kDwmUseImmersiveDarkMode, &dark, sizeof dark);
    const COLORREF caption = theme.palette.highContrast ? kDwmColourDefault : theme.colour(ui::Role::Window);
    DwmSetWindowAttribute(window, kDwmCaptionColour, &caption, sizeof caption);
}

void rebuildTheme(HWND window, ThemeInstance& theme) {
    theme.build(window);
    EnumChildWindows(
        window,
        [](HWND child, LPARAM context) -> BOOL {
            const auto* owner = reinterpret_cast<const ThemeInstance*>(context);
            const auto stored = reinterpret_cast<INT_PTR>(GetPropW(child, kFontProperty));
            if (stored > 0 && stored <= ui::kFontRoleCount) {
                SendMessageW(child, WM_SETFONT,
                             reinterpret_cast<WPARAM>(owner->font(static_cast<ui::FontRole>(stored - 1))), FALSE);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&theme));
    theme.deleteReplacedFonts();
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

std::wstring wide(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), result.data(), length);
    return result;
}

HWND createControl(HWND parent, const wchar_t* className, std::wstring_view text, int id, DWORD style,
                   ui::FontRole font) {
    const std::wstring caption(text);
    HWND control = CreateWindowExW(0, className, caption.c_str(), style | WS_CHILD, 0, 0, 1, 1, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), shell().instance, nullptr);
    if (control == nullptr) throw ProtocolError("Could not create a Windows interface control");
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(themeOf(parent).font(font)), FALSE);
    SetPropW(control, kFontProperty, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(static_cast<int>(font) + 1)));
    SetWindowSubclass(control, subclassProcedure, kSubclassId, 0);
    const bool edit = _wcsicmp(className, L"EDIT") == 0;
    const bool checkBox = _wcsicmp(className, L"BUTTON") == 0 && (style & BS_TYPEMASK) == BS_AUTOCHECKBOX;
    if (edit || checkBox) SetWindowTheme(control, L"", L"");
    return control;
}

HWND createOwnerButton(HWND parent, std::wstring_view label, int id, bool primary, bool danger) {
    HWND button = createControl(parent, L"BUTTON", label, id, WS_TABSTOP | BS_OWNERDRAW, ui::FontRole::Body);
    buttons()[button] = ButtonRecord{std::wstring(label), primary, danger, false};
    return button;
}

void setButtonLabel(HWND button, std::wstring_view label) {
    ButtonRecord* record = recordOf(button);
    if (record == nullptr || record->label == label) return;
    record->label = std::wstring(label);
    InvalidateRect(button, nullptr, FALSE);
}

std::wstring buttonLabel(HWND button) {
    const ButtonRecord* record = recordOf(button);
    return record ? record->label : std::wstring();
}

std::wstring windowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(std::max(length, 0)) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return text;
}

void setText(HWND window, std::wstring_view text) {
    if (window == nullptr || windowText(window) == text) return;
    SetWindowTextW(window, std::wstring(text).c_str());
}

std::string narrow(std::wstring_view text) {
    if (text.empty()) return {};
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length, nullptr,
                        nullptr);
    return result;
}

bool isOwnerButton(HWND window) { return recordOf(window) != nullptr; }

ui::ControlClass controlClassOf(HWND control) {
    wchar_t name[32] = {};
    GetClassNameW(control, name, 32);
    if (_wcsicmp(name, L"Edit") == 0) return ui::ControlClass::Edit;
    if (_wcsicmp(name, L"ListBox") == 0 || _wcsicmp(name, L"ComboLBox") == 0) return ui::ControlClass::ListBox;
    if (_wcsicmp(name, L"ComboBox") == 0) return ui::ControlClass::ComboBox;
    if (_wcsicmp(name, L"Button") == 0) return ui::ControlClass::Button;
    return ui::ControlClass::Static;
}

ui::FontRole fontRoleOf(HWND control) {
    const auto stored = reinterpret_cast<INT_PTR>(GetPropW(control, kFontProperty));
    if (stored <= 0 || stored > ui::kFontRoleCount) return ui::FontRole::Body;
    return static_cast<ui::FontRole>(stored - 1);
}

ui::Size96 clientSize96(HWND window, int dpi) {
    RECT client{};
    GetClientRect(window, &client);
    return {ui::unscale(client.right, dpi), ui::unscale(client.bottom, dpi)};
}

bool moveChild(HWND parent, HWND child, const RECT& target, UINT extraFlags) {
    if (child == nullptr) return false;
    RECT current{};
    GetWindowRect(child, &current);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&current), 2);
    if (EqualRect(&current, &target)) return false;
    SetWindowPos(child, nullptr, target.left, target.top, target.right - target.left, target.bottom - target.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | extraFlags);
    return true;
}

void moveToSuggestedRect(HWND window, LPARAM suggested) {
    const RECT* r = reinterpret_cast<const RECT*>(suggested);
    SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void drawOwnerButton(const DRAWITEMSTRUCT& item, bool inDeviceList) {
    const ButtonRecord* record = recordOf(item.hwndItem);
    if (record == nullptr) return;
    const ThemeInstance& theme = themeOf(item.hwndItem);
    ui::ButtonState state;
    state.disabled = (item.itemState & ODS_DISABLED) != 0;
    state.pressed = (item.itemState & ODS_SELECTED) != 0;
    state.focused = (item.itemState & ODS_FOCUS) != 0;
    state.hover = record->hover;
    const ui::ButtonLook look =
        ui::buttonLook(static_cast<int>(item.CtlID), inDeviceList, record->primary, record->danger, state);

    HDC dc = item.hDC;
    const RECT bounds = item.rcItem;
    HBRUSH surround = CreateSolidBrush(theme.colour(look.surround));
    FillRect(dc, &bounds, surround);
    DeleteObject(surround);
    const ui::Colour outline = theme.colour(look.outline);
    fillPixels(dc, bounds, theme.colour(look.fill), ui::mulDiv(2 * look.radius, theme.dpi, ui::kBaseDpi) / 2,
               look.outlined ? &outline : nullptr, theme.dpi);

    RECT textRect = bounds;
    textRect.left += theme.px(look.textMargin);
    textRect.right -= theme.px(look.textMargin);
    HGDIOBJ previous = SelectObject(dc, theme.font(look.font));
    SetTextColor(dc, theme.colour(look.text));
    SetBkMode(dc, TRANSPARENT);
    DrawTextW(dc, record->label.c_str(), static_cast<int>(record->label.size()), &textRect,
              DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX | (look.centred ? DT_CENTER : DT_LEFT));
    SelectObject(dc, previous);
    if (state.focused) {
        RECT focus = bounds;
        InflateRect(&focus, -theme.px(look.focusInsetX), -theme.px(look.focusInsetY));
        DrawFocusRect(dc, &focus);
    }
}

LRESULT controlColour(HDC dc, HWND control, ui::ControlClass kind) {
    const Shell& s = shell();
    const ThemeInstance& theme = themeOf(control);
    ui::ControlFacts facts;
    facts.id = GetDlgCtrlID(control);
    facts.kind = kind;
    facts.inDeviceList = s.hostList != nullptr && GetParent(control) == s.hostList;
    facts.font = fontRoleOf(control);
    facts.disabled = !IsWindowEnabled(control);
    facts.errorShown = (facts.id == 112 && s.lineError) || (facts.id == 139 && s.dialogMessageError);
    const ui::ControlLook look = ui::controlLook(facts);
    SetTextColor(dc, theme.colour(look.text));
    SetBkColor(dc, theme.colour(look.background));
    return reinterpret_cast<LRESULT>(theme.brush(look.background));
}

DoubleBuffer::DoubleBuffer(HWND window, HDC target, HBRUSH background) : target_(target) {
    GetClientRect(window, &client_);
    const int width = std::max<int>(1, client_.right - client_.left);
    const int height = std::max<int>(1, client_.bottom - client_.top);
    memory_ = CreateCompatibleDC(target);
    if (memory_) {
        bitmap_ = CreateCompatibleBitmap(target, width, height);
        if (bitmap_ == nullptr) {
            DeleteDC(memory_);
            memory_ = nullptr;
        } else {
            previous_ = SelectObject(memory_, bitmap_);
        }
    }
    FillRect(dc(), &client_, background);
}

DoubleBuffer::~DoubleBuffer() {
    if (memory_ == nullptr) return;
    BitBlt(target_, 0, 0, std::max<int>(1, client_.right), std::max<int>(1, client_.bottom), memory_, 0, 0, SRCCOPY);
    SelectObject(memory_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(memory_);
}

void fillPixels(HDC dc, const RECT& r, ui::Colour fill, int radiusPixels, const ui::Colour* outline, int dpi) {
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    if (width <= 1 || height <= 1) return;
    if (radiusPixels == 0 && outline == nullptr) {
        HBRUSH brush = CreateSolidBrush(fill);
        FillRect(dc, &r, brush);
        DeleteObject(brush);
        return;
    }
    Gdiplus::Graphics graphics(dc);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    // With the default pixel offset, pixel centres lie on whole coordinates: an outline whose
    // centre line runs through the outermost pixels stays inside the rectangle on every side (half
    // a pixel further in, the right and bottom edges fall between two pixels and outside a
    // button's clip).
    const Gdiplus::REAL x = static_cast<Gdiplus::REAL>(r.left);
    const Gdiplus::REAL y = static_cast<Gdiplus::REAL>(r.top);
    const Gdiplus::REAL w = static_cast<Gdiplus::REAL>(width - 1);
    const Gdiplus::REAL h = static_cast<Gdiplus::REAL>(height - 1);
    const Gdiplus::REAL d = static_cast<Gdiplus::REAL>(std::min(2 * radiusPixels, std::min(width - 1, height - 1)));
    Gdiplus::GraphicsPath path;
    if (d <= 0) {
        path.AddRectangle(Gdiplus::RectF(x, y, w, h));
    } else {
        path.AddArc(x, y, d, d, 180, 90);
        path.AddArc(x + w - d, y, d, d, 270, 90);
        path.AddArc(x + w - d, y + h - d, d, d, 0, 90);
        path.AddArc(x, y + h - d, d, d, 90, 90);
        path.CloseFigure();
    }
    Gdiplus::SolidBrush brush(gdiplusColour(fill));
    graphics.FillPath(&brush, &path);
    if (outline) {
        Gdiplus::Pen pen(gdiplusColour(*outline), static_cast<Gdiplus::REAL>(std::max(1, ui::scale(1, dpi))));
        graphics.DrawPath(&pen, &path);
    }
}

void fillRect(HDC dc, const ThemeInstance& theme, const ui::Rect& r, ui::Colour fill, int radius,
              const ui::Colour* outline) {
    fillPixels(dc, theme.rect(r), fill, ui::mulDiv(2 * radius, theme.dpi, ui::kBaseDpi) / 2, outline, theme.dpi);
}

void drawLine(HDC dc, const ThemeInstance& theme, int x1, int y1, int x2, int y2, ui::Colour colour, int width) {
    HPEN pen = CreatePen(PS_SOLID, std::max(1, theme.px(width)), colour);
    HGDIOBJ previous = SelectObject(dc, pen);
    MoveToEx(dc, theme.px(x1), theme.px(y1), nullptr);
    LineTo(dc, theme.px(x2), theme.px(y2));
    SelectObject(dc, previous);
    DeleteObject(pen);
}

void drawText(HDC dc, const ThemeInstance& theme, std::wstring_view text, const ui::Rect& r, ui::FontRole font,
              ui::Colour colour, UINT format) {
    RECT rect = theme.rect(r);
    HGDIOBJ previous = SelectObject(dc, theme.font(font));
    SetTextColor(dc, colour);
    SetBkMode(dc, TRANSPARENT);
    DrawTextW(dc, text.data(), static_cast<int>(text.size()), &rect, format | DT_NOPREFIX);
    SelectObject(dc, previous);
}

void drawGlyph(HDC dc, const ThemeInstance& theme, const ui::Rect& box, ui::Colour colour) {
    const ui::GlyphGeometry g = ui::productGlyph(box.x, box.y, box.w, box.h);
    fillRect(dc, theme, {g.screenX, g.screenY, g.screenW, g.screenH}, theme.colour(ui::Role::AccentTint), 5, &colour);
    drawLine(dc, theme, g.standX, g.standTop, g.standX, g.standBottom, colour);
    drawLine(dc, theme, g.baseLeft, g.baseY, g.baseRight, g.baseY, colour);
}

}  // namespace murel::win
