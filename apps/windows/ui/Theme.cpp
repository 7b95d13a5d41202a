#include "ui/Theme.hpp"

#include "ui/Geometry.hpp"

namespace murel::ui {

Palette lightPalette() {
    Palette p;
    p.colours = {rgb(0xFA, 0xFB, 0xFD), rgb(0xF1, 0xF3, 0xF7), rgb(0xEE, 0xF4, 0xFD), rgb(0xFF, 0xFF, 0xFF),
                 rgb(0xFF, 0xFF, 0xFF), rgb(0x80, 0x8B, 0x9A), rgb(0x1C, 0x20, 0x28), rgb(0x58, 0x62, 0x71),
                 rgb(0x00, 0x5F, 0xCC), rgb(0xFF, 0xFF, 0xFF), rgb(0xDB, 0xE9, 0xFD), rgb(0x18, 0x75, 0x46),
                 rgb(0xB1, 0x26, 0x31), rgb(0x72, 0x7A, 0x88)};
    return p;
}

Palette darkPalette() {
    Palette p;
    p.colours = {rgb(0x1D, 0x1E, 0x21), rgb(0x24, 0x26, 0x2A), rgb(0x22, 0x27, 0x2F), rgb(0x27, 0x29, 0x2E),
                 rgb(0x22, 0x24, 0x29), rgb(0x69, 0x72, 0x7F), rgb(0xF4, 0xF5, 0xF7), rgb(0xAD, 0xB4, 0xBF),
                 rgb(0x67, 0xA6, 0xFF), rgb(0x0C, 0x19, 0x2D), rgb(0x27, 0x3B, 0x58), rgb(0x68, 0xD5, 0x9B),
                 rgb(0xFF, 0x8B, 0x8D), rgb(0x7C, 0x84, 0x91)};
    p.dark = true;
    return p;
}

Palette selectPalette(std::optional<std::uint32_t> appsUseLightTheme, const std::optional<SystemColours>& highContrast) {
    Palette p = appsUseLightTheme.value_or(1) == 0 ? darkPalette() : lightPalette();
    if (highContrast) {
        const SystemColours& s = *highContrast;
        auto set = [&p](Role role, Colour colour) { p.colours[static_cast<int>(role)] = colour; };
        for (Role role : {Role::Window, Role::Sidebar, Role::AccentTint, Role::Card, Role::Input}) set(role, s.window);
        for (Role role : {Role::Text, Role::SecondaryText, Role::Success, Role::Error, Role::Border}) {
            set(role, s.windowText);
        }
        set(Role::Accent, s.highlight);
        set(Role::AccentLight, s.highlight);
        set(Role::OnAccent, s.highlightText);
        set(Role::Disabled, s.grayText);
        p.highContrast = true;
    }
    return p;
}

Colour dividerColour(const Palette& palette) {
    if (palette.highContrast) return palette[Role::Border];
    const Colour card = palette[Role::Card];
    const Colour border = palette[Role::Border];
    return rgb((3 * redOf(card) + redOf(border)) / 4, (3 * greenOf(card) + greenOf(border)) / 4,
               (3 * blueOf(card) + blueOf(border)) / 4);
}

FontStyle fontStyle(FontRole role) {
    switch (role) {
    case FontRole::Body: return {"Segoe UI", 14, 400};
    case FontRole::Small: return {"Segoe UI", 12, 400};
    case FontRole::Caption: return {"Segoe UI", 11, 400};
    case FontRole::Heading: return {"Segoe UI", 18, 600};
    case FontRole::Title: return {"Segoe UI", 28, 600};
    case FontRole::Display: return {"Segoe UI", 48, 600};
    case FontRole::Logo: return {"Consolas", 16, 600};
    }
    return {"Segoe UI", 14, 400};
}

int fontHeight(FontRole role, int dpi) { return -scale(fontStyle(role).size, dpi); }

bool isLinkButton(int id) { return id == 107 || id == 108 || id == 109 || id == 113; }

Role buttonSurround(int id, bool inDeviceList) {
    if (inDeviceList || id == 111) return Role::Card;
    if (id == 125 || id == 126) return Role::AccentLight;
    if (id == 109) return Role::Sidebar;
    return Role::Window;
}

ButtonLook buttonLook(int id, bool inDeviceList, bool primary, bool danger, const ButtonState& state) {
    ButtonLook look;
    look.surround = buttonSurround(id, inDeviceList);
    if (!inDeviceList && isLinkButton(id)) {
        look.fill = state.hover && !state.disabled ? Role::AccentLight : look.surround;
        look.outline = look.fill;
        look.outlined = false;
        look.text = state.disabled ? Role::Disabled : Role::Accent;
        look.radius = 6;
        look.font = FontRole::Small;
        look.textMargin = 4;
        look.centred = false;
        look.focusInsetX = 1;
        look.focusInsetY = 2;
        return look;
    }
    look.radius = 8;
    look.font = FontRole::Body;
    look.textMargin = 8;
    look.focusInsetX = 4;
    look.focusInsetY = 4;
    look.outlined = true;
    if (state.disabled) {
        look.fill = Role::Sidebar;
        look.outline = Role::Border;
        look.text = Role::Disabled;
    } else if (primary) {
        look.fill = state.pressed ? Role::SecondaryText : Role::Accent;
        look.outline = look.fill;
        look.text = Role::OnAccent;
    } else {
        look.fill = state.hover || state.pressed ? Role::AccentLight : Role::Card;
        look.outline = Role::Border;
        look.text = danger ? Role::Error : Role::Text;
    }
    return look;
}

ControlLook controlLook(const ControlFacts& f) {
    ControlLook look;
    const bool inputControl = f.kind == ControlClass::Edit || f.kind == ControlClass::ListBox ||
                              (f.id >= 101 && f.id <= 104) || f.id == 134;
    if (inputControl) {
        look = {Role::Input, Role::Text};
    } else if (f.inDeviceList || f.id == 121 || f.id == 122) {
        look.background = Role::Card;
        look.text = (f.id == 121 || f.font == FontRole::Heading) ? Role::Text : Role::SecondaryText;
    } else if (f.id == 123) {
        look = {Role::Sidebar, Role::SecondaryText};
    } else {
        look.background = Role::Window;
        const bool strong = f.id == 105 || (f.id >= 115 && f.id <= 118) || f.id == 131 || f.id == 133;
        look.text = strong ? Role::Text : Role::SecondaryText;
    }
    if ((f.id == 112 || f.id == 139) && f.errorShown) look.text = Role::Error;
    if (f.disabled) look.text = Role::Disabled;
    return look;
}

GlyphGeometry productGlyph(int x, int y, int w, int h) {
    int g = w / 8;
    if (g < 3) g = 2;
    GlyphGeometry geometry;
    geometry.screenX = x + g;
    geometry.screenY = y + g;
    geometry.screenW = w - 2 * g;
    geometry.screenH = h * 3 / 5;
    geometry.standX = x + w / 2;
    geometry.standTop = y + g + h * 3 / 5;
    geometry.standBottom = y + h - g;
    geometry.baseLeft = x + w / 4;
    geometry.baseRight = x + 3 * w / 4;
    geometry.baseY = y + h - g;
    return geometry;
}

}  // namespace murel::ui
