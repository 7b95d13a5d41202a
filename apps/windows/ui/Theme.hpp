#pragma once
// The palette, the fonts and the colour rules of the hand-painted interface, as plain values.
// Colours are 0x00BBGGRR, the layout of the system's COLORREF.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace murel::ui {

using Colour = std::uint32_t;

constexpr Colour rgb(unsigned r, unsigned g, unsigned b) { return (r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16); }
constexpr unsigned redOf(Colour c) { return c & 0xFF; }
constexpr unsigned greenOf(Colour c) { return (c >> 8) & 0xFF; }
constexpr unsigned blueOf(Colour c) { return (c >> 16) & 0xFF; }

enum class Role : int {
    Window,
    Sidebar,
    AccentTint,
    Card,
    Input,
    Border,
    Text,
    SecondaryText,
    Accent,
    OnAccent,
    AccentLight,
    Success,
    Error,
    Disabled,
};
inline constexpr int kRoleCount = 14;

struct Palette {
    std::array<Colour, kRoleCount> colours{};
    bool dark = false;
    bool highContrast = false;

    Colour operator[](Role role) const { return colours[static_cast<int>(role)]; }
    bool operator==(const Palette&) const = default;
};

Palette lightPalette();
Palette darkPalette();

// The system colours high contrast draws with.
struct SystemColours {
    Colour window = 0;
    Colour windowText = 0;
    Colour highlight = 0;
    Colour highlightText = 0;
    Colour grayText = 0;
};

// appsUseLightTheme: the registry value (nothing when it is missing, which counts as light; 0 is
// dark). highContrast: the system colours when high contrast is on.
Palette selectPalette(std::optional<std::uint32_t> appsUseLightTheme, const std::optional<SystemColours>& highContrast);

// (3 x card + border) / 4 per channel; the border itself in high contrast.
Colour dividerColour(const Palette& palette);

enum class FontRole : int { Body, Small, Caption, Heading, Title, Display, Logo };
inline constexpr int kFontRoleCount = 7;

struct FontStyle {
    std::string_view face;
    int size = 0;  // pixels at 96 dpi
    int weight = 0;
};

FontStyle fontStyle(FontRole role);
// The height handed to font creation: negative (character height) pixels at the DPI.
int fontHeight(FontRole role, int dpi);

// Owner-drawn buttons.
enum class ButtonKind { Primary, Secondary, Link };

struct ButtonState {
    bool disabled = false;
    bool pressed = false;
    bool hover = false;
    bool focused = false;
};

struct ButtonLook {
    Role surround = Role::Window;  // what the button's rectangle is cleared to first
    Role fill = Role::Window;
    Role outline = Role::Window;
    bool outlined = false;
    Role text = Role::Text;
    int radius = 0;       // 96-dpi units
    FontRole font = FontRole::Body;
    int textMargin = 0;   // horizontal, 96-dpi units
    bool centred = true;  // links are left-aligned
    int focusInsetX = 0;  // focus rectangle inset, 96-dpi units
    int focusInsetY = 0;
};

// Link buttons are 107, 108, 109 and 113.
bool isLinkButton(int id);
// What surrounds a button: card in the device list and for 111, accent light for 125 and 126,
// sidebar for 109, window otherwise.
Role buttonSurround(int id, bool inDeviceList);
ButtonLook buttonLook(int id, bool inDeviceList, bool primary, bool danger, const ButtonState& state);

// The colours a child control is drawn with (the answer to the control-colour messages).
enum class ControlClass { Edit, ListBox, Static, Button, ComboBox };

struct ControlLook {
    Role background = Role::Window;
    Role text = Role::SecondaryText;
};

struct ControlFacts {
    int id = 0;
    ControlClass kind = ControlClass::Static;
    bool inDeviceList = false;
    FontRole font = FontRole::Body;
    bool disabled = false;
    bool errorShown = false;  // 112 / 139: a local message or the snapshot's error is shown
};

ControlLook controlLook(const ControlFacts& facts);

// The product glyph's parts inside a box, 96-dpi units.
struct GlyphGeometry {
    int screenX = 0, screenY = 0, screenW = 0, screenH = 0;
    int standX = 0, standTop = 0, standBottom = 0;
    int baseLeft = 0, baseRight = 0, baseY = 0;
};
GlyphGeometry productGlyph(int x, int y, int w, int h);

}  // namespace murel::ui
