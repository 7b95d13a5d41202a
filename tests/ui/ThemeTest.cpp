// Palette selection, fonts, owner-drawn button looks and the control colour rules.
#include <gtest/gtest.h>

#include "ui/Geometry.hpp"
#include "ui/Theme.hpp"

namespace murel::ui {
namespace {

TEST(Theme, PaletteFollowsTheAppSetting) {
    EXPECT_EQ(selectPalette(std::nullopt, std::nullopt), lightPalette());
    EXPECT_EQ(selectPalette(1, std::nullopt), lightPalette());
    EXPECT_EQ(selectPalette(7, std::nullopt), lightPalette());
    const Palette dark = selectPalette(0, std::nullopt);
    EXPECT_TRUE(dark.dark);
    EXPECT_FALSE(dark.highContrast);
    EXPECT_EQ(dark[Role::Window], rgb(0x1D, 0x1E, 0x21));
    EXPECT_EQ(dark[Role::Accent], rgb(0x67, 0xA6, 0xFF));
    EXPECT_EQ(dark[Role::Disabled], rgb(0x7C, 0x84, 0x91));
    const Palette light = lightPalette();
    EXPECT_EQ(light[Role::Window], rgb(0xFA, 0xFB, 0xFD));
    EXPECT_EQ(light[Role::Success], rgb(0x18, 0x75, 0x46));
    EXPECT_EQ(light[Role::Error], rgb(0xB1, 0x26, 0x31));
    EXPECT_EQ(rgb(0x12, 0x34, 0x56), 0x563412u);  // the system's byte order
}

TEST(Theme, HighContrastUsesSystemColours) {
    const SystemColours system{rgb(0, 0, 0), rgb(255, 255, 0), rgb(0, 255, 255), rgb(1, 2, 3), rgb(9, 9, 9)};
    const Palette p = selectPalette(0, system);
    EXPECT_TRUE(p.highContrast);
    for (Role r : {Role::Window, Role::Sidebar, Role::AccentTint, Role::Card, Role::Input}) EXPECT_EQ(p[r], system.window);
    for (Role r : {Role::Text, Role::SecondaryText, Role::Success, Role::Error, Role::Border}) {
        EXPECT_EQ(p[r], system.windowText);
    }
    EXPECT_EQ(p[Role::Accent], system.highlight);
    EXPECT_EQ(p[Role::AccentLight], system.highlight);
    EXPECT_EQ(p[Role::OnAccent], system.highlightText);
    EXPECT_EQ(p[Role::Disabled], system.grayText);
    EXPECT_EQ(dividerColour(p), system.windowText);
}

TEST(Theme, DividerBlendsCardAndBorder) {
    EXPECT_EQ(dividerColour(lightPalette()), rgb(0xDF, 0xE2, 0xE5));
    EXPECT_EQ(dividerColour(darkPalette()), rgb(0x37, 0x3B, 0x42));
}

TEST(Theme, FontsScaleWithDpi) {
    EXPECT_EQ(fontHeight(FontRole::Body, 96), -14);
    EXPECT_EQ(fontHeight(FontRole::Body, 144), -21);
    EXPECT_EQ(fontHeight(FontRole::Caption, 144), -17);  // 16.5 rounds away from zero
    EXPECT_EQ(fontHeight(FontRole::Display, 0), -48);    // an unknown DPI counts as 96
    EXPECT_EQ(fontStyle(FontRole::Logo).face, "Consolas");
    EXPECT_EQ(fontStyle(FontRole::Heading).weight, 600);
    EXPECT_EQ(mulDiv(7, 3, 2), 11);
    EXPECT_EQ(mulDiv(-7, 3, 2), -11);
    EXPECT_EQ(mulDiv(1, 1, 0), -1);
    EXPECT_EQ(scale(Rect{10, 20, 30, 40}, 144), (Rect{15, 30, 45, 60}));
    EXPECT_EQ(unscale(1680, 144), 1120);
}

TEST(Theme, OwnerButtonLooks) {
    // A disabled primary button is not drawn in the accent colour.
    ButtonLook look = buttonLook(106, false, true, false, {.disabled = true});
    EXPECT_EQ(look.fill, Role::Sidebar);
    EXPECT_EQ(look.outline, Role::Border);
    EXPECT_EQ(look.text, Role::Disabled);
    look = buttonLook(106, false, true, false, {});
    EXPECT_EQ(look.fill, Role::Accent);
    EXPECT_EQ(look.text, Role::OnAccent);
    look = buttonLook(106, false, true, false, {.pressed = true});
    EXPECT_EQ(look.fill, Role::SecondaryText);

    look = buttonLook(126, false, false, true, {});
    EXPECT_EQ(look.surround, Role::AccentLight);
    EXPECT_EQ(look.fill, Role::Card);
    EXPECT_EQ(look.text, Role::Error);
    look = buttonLook(126, false, false, true, {.hover = true});
    EXPECT_EQ(look.fill, Role::AccentLight);
    EXPECT_EQ(look.text, Role::Error);

    look = buttonLook(109, false, false, false, {});
    EXPECT_EQ(look.surround, Role::Sidebar);
    EXPECT_FALSE(look.centred);
    EXPECT_EQ(look.font, FontRole::Small);
    EXPECT_EQ(look.fill, Role::Sidebar);
    EXPECT_EQ(look.text, Role::Accent);
    EXPECT_EQ(buttonLook(109, false, false, false, {.hover = true}).fill, Role::AccentLight);
    EXPECT_EQ(buttonLook(109, false, false, false, {.disabled = true, .hover = true}).fill, Role::Sidebar);
    EXPECT_EQ(buttonLook(109, false, false, false, {.disabled = true}).text, Role::Disabled);

    // A device-list button numbered like a link is still a button on a card.
    look = buttonLook(107, true, true, false, {});
    EXPECT_EQ(look.surround, Role::Card);
    EXPECT_TRUE(look.centred);
    EXPECT_EQ(buttonSurround(111, false), Role::Card);
    EXPECT_EQ(buttonSurround(110, false), Role::Window);
}

TEST(Theme, ControlColours) {
    EXPECT_EQ(controlLook({.id = 102, .kind = ControlClass::Edit}).background, Role::Input);
    EXPECT_EQ(controlLook({.id = 134, .kind = ControlClass::ComboBox}).background, Role::Input);
    ControlLook l = controlLook({.id = 5000, .kind = ControlClass::Static, .inDeviceList = true,
                                 .font = FontRole::Heading});
    EXPECT_EQ(l.background, Role::Card);
    EXPECT_EQ(l.text, Role::Text);
    l = controlLook({.id = 5001, .kind = ControlClass::Static, .inDeviceList = true, .font = FontRole::Small});
    EXPECT_EQ(l.text, Role::SecondaryText);
    EXPECT_EQ(controlLook({.id = 121}).text, Role::Text);
    EXPECT_EQ(controlLook({.id = 122}).background, Role::Card);
    EXPECT_EQ(controlLook({.id = 122}).text, Role::SecondaryText);
    EXPECT_EQ(controlLook({.id = 123}).background, Role::Sidebar);
    EXPECT_EQ(controlLook({.id = 116}).text, Role::Text);
    EXPECT_EQ(controlLook({.id = 105, .kind = ControlClass::Button}).text, Role::Text);
    EXPECT_EQ(controlLook({.id = 119}).text, Role::SecondaryText);
    EXPECT_EQ(controlLook({.id = 112}).text, Role::SecondaryText);
    EXPECT_EQ(controlLook({.id = 112, .errorShown = true}).text, Role::Error);
    EXPECT_EQ(controlLook({.id = 139, .errorShown = true}).text, Role::Error);
    EXPECT_EQ(controlLook({.id = 116, .disabled = true}).text, Role::Disabled);
}

TEST(Theme, ProductGlyph) {
    GlyphGeometry g = productGlyph(0, 0, 58, 58);  // g = 7
    EXPECT_EQ(g.screenX, 7);
    EXPECT_EQ(g.screenW, 44);
    EXPECT_EQ(g.screenH, 34);
    EXPECT_EQ(g.standTop, 41);
    EXPECT_EQ(g.baseY, 51);
    EXPECT_EQ(g.baseLeft, 14);
    EXPECT_EQ(g.baseRight, 43);
    g = productGlyph(0, 0, 16, 16);  // 16 / 8 = 2, below 3: 2
    EXPECT_EQ(g.screenX, 2);
    g = productGlyph(0, 0, 8, 8);  // 1 -> 2
    EXPECT_EQ(g.screenX, 2);
}

}  // namespace
}  // namespace murel::ui
