#pragma once
// The palette, fonts and brushes of one top-level window kind, the control factory, the owner-drawn
// buttons and the drawing helpers of the Win32 interface.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "ui/Geometry.hpp"
#include "ui/Theme.hpp"

namespace murel::win {

// One per top-level window kind (main window with its device list, viewer with its surface, stream
// settings dialog). Owns its GDI objects.
class ThemeInstance {
public:
    ThemeInstance() = default;
    ~ThemeInstance();
    ThemeInstance(const ThemeInstance&) = delete;
    ThemeInstance& operator=(const ThemeInstance&) = delete;

    int dpi = ui::kBaseDpi;
    ui::Palette palette = ui::lightPalette();

    ui::Colour colour(ui::Role role) const { return palette[role]; }
    HFONT font(ui::FontRole role) const { return fonts_[static_cast<int>(role)]; }
    // Brushes exist for the four background roles (window, input, card, sidebar); other roles get
    // the window brush.
    HBRUSH brush(ui::Role role) const;
    int px(int units) const { return ui::scale(units, dpi); }
    RECT rect(const ui::Rect& r) const;

    // Reads the palette and the window's DPI, creates fonts and brushes (old fonts are kept until
    // deleteReplacedFonts), applies the frame colours.
    void build(HWND window);
    void deleteReplacedFonts();

private:
    std::array<HFONT, ui::kFontRoleCount> fonts_{};
    std::array<HBRUSH, 4> brushes_{};
    std::vector<HFONT> replaced_;
};

// The theme of the window's top-level ancestor.
ThemeInstance& themeOf(HWND window);

// The palette the system asks for now (registry "AppsUseLightTheme" and high contrast).
ui::Palette systemPalette();

// Dark title bar and caption colour through DWM; failures are ignored (older systems, Wine).
void applyFrameAttributes(HWND window, const ThemeInstance& theme);

// Build theme, hand every child its font again, delete the fonts it replaced, redraw.
void rebuildTheme(HWND window, ThemeInstance& theme);

// UTF-8 to UTF-16 for display; text that is not valid UTF-8 is shown with replacement characters
// rather than failing a paint.
std::wstring wide(std::string_view utf8);

// A child control with the role's font, subclassed for focus repainting and hover. Throws
// "Could not create a Windows interface control".
HWND createControl(HWND parent, const wchar_t* className, std::wstring_view text, int id, DWORD style,
                   ui::FontRole font);
// An owner-drawn button (body font, tab stop); the caller shows it.
HWND createOwnerButton(HWND parent, std::wstring_view label, int id, bool primary, bool danger);
void setButtonLabel(HWND button, std::wstring_view label);
std::wstring buttonLabel(HWND button);
// SetWindowTextW only when the text differs (avoids flicker and needless notifications).
void setText(HWND window, std::wstring_view text);
std::wstring windowText(HWND window);
// UTF-16 to UTF-8 for texts that are only shown or compared (lone surrogates become U+FFFD).
std::string narrow(std::wstring_view text);
ui::FontRole fontRoleOf(HWND control);
bool isOwnerButton(HWND window);
// What the control-colour rules take a child for, by its window class.
ui::ControlClass controlClassOf(HWND control);

// The client area in 96-dpi units.
ui::Size96 clientSize96(HWND window, int dpi);
// Moves a child to `target` (client pixels of its parent) unless it is there; true when it moved.
bool moveChild(HWND parent, HWND child, const RECT& target, UINT extraFlags = 0);
// WM_DPICHANGED: takes the rectangle the system suggests (lParam).
void moveToSuggestedRect(HWND window, LPARAM suggested);

// WM_DRAWITEM of a parent for its owner buttons.
void drawOwnerButton(const DRAWITEMSTRUCT& item, bool inDeviceList);

// WM_CTLCOLOR* of a parent: sets the DC's colours and returns the background brush.
LRESULT controlColour(HDC dc, HWND control, ui::ControlClass kind);

// Paint helpers; coordinates in 96-dpi units of the theme.
class DoubleBuffer {
public:
    DoubleBuffer(HWND window, HDC target, HBRUSH background);
    ~DoubleBuffer();
    DoubleBuffer(const DoubleBuffer&) = delete;
    DoubleBuffer& operator=(const DoubleBuffer&) = delete;
    HDC dc() const { return memory_ ? memory_ : target_; }

private:
    HDC target_;
    HDC memory_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    RECT client_{};
};

void fillRect(HDC dc, const ThemeInstance& theme, const ui::Rect& r, ui::Colour fill, int radius = 0,
              const ui::Colour* outline = nullptr);
void fillPixels(HDC dc, const RECT& r, ui::Colour fill, int radiusPixels, const ui::Colour* outline, int dpi);
void drawLine(HDC dc, const ThemeInstance& theme, int x1, int y1, int x2, int y2, ui::Colour colour, int width = 1);
void drawText(HDC dc, const ThemeInstance& theme, std::wstring_view text, const ui::Rect& r, ui::FontRole font,
              ui::Colour colour, UINT format);
void drawGlyph(HDC dc, const ThemeInstance& theme, const ui::Rect& box, ui::Colour colour);

}  // namespace murel::win
