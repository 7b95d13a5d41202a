// The viewer's layout and texts, the dialog's rectangles and the message loop's key routing.
#include <gtest/gtest.h>

#include "ui/ControlIds.hpp"
#include "ui/UiText.hpp"
#include "ui/ViewerView.hpp"

namespace murel::ui {
namespace {

TEST(ViewerView, Layout) {
    const ViewerLayout l = viewerLayout(1264, 771);
    EXPECT_EQ(l.status, (Rect{16, 12, 754, 32}));
    EXPECT_EQ(l.forwarding, (Rect{782, 12, 110, 32}));
    EXPECT_EQ(l.settings, (Rect{902, 10, 108, 36}));
    EXPECT_EQ(l.fullscreen, (Rect{1022, 10, 106, 36}));
    EXPECT_EQ(l.close, (Rect{1140, 10, 108, 36}));
    EXPECT_EQ(l.surface, (Rect{0, 58, 1264, 681}));
    EXPECT_EQ(l.footer, (Rect{16, 743, 1232, 24}));
    const ViewerLayout tiny = viewerLayout(10, 20);
    EXPECT_EQ(tiny.status.w, 0);
    EXPECT_EQ(tiny.surface.h, 0);
    EXPECT_EQ(tiny.footer.w, 0);
    // At the minimum size the header's controls do not overlap.
    const ViewerLayout min = viewerLayout(kViewerMinWidth, kViewerMinHeight);
    EXPECT_LE(min.status.x + min.status.w, min.forwarding.x);
    EXPECT_LE(min.forwarding.x + min.forwarding.w, min.settings.x);
    EXPECT_LE(min.fullscreen.x + min.fullscreen.w, min.close.x);
}

TEST(ViewerView, StatusText) {
    app::Status s;
    s.message = "Waiting for the host";
    EXPECT_EQ(viewerStatusText(s), "Waiting for the host");
    s.viewerInputActive = true;
    EXPECT_EQ(viewerStatusText(s), std::string(text::kConnectedStatus));
    const SurfaceWaitRects r = surfaceWaitRects(1264, 681);
    EXPECT_EQ(r.title, (Rect{24, 316, 1216, 40}));
    EXPECT_EQ(r.detail, (Rect{24, 364, 1216, 28}));
}

TEST(ViewerView, DialogRectangles) {
    EXPECT_EQ(dialogControlRect(kIdModeCombo), (Rect{24, 138, 472, 36}));
    EXPECT_EQ(dialogControlRect(kIdApply), (Rect{392, 408, 104, 36}));
    EXPECT_EQ(dialogControlRect(kIdDialogClose), (Rect{276, 408, 104, 36}));
    for (int id : {kIdDialogTitle, kIdNativeLine, kIdModeLabel, kIdModeCombo, kIdModeHint, kIdRequestedLine,
                   kIdReceivedLine, kIdPresentedLine, kIdDialogMessage, kIdDialogClose, kIdApply}) {
        const Rect r = dialogControlRect(id);
        EXPECT_GT(r.w, 0) << id;
        EXPECT_LE(r.x + r.w, kDialogWidth) << id;
        EXPECT_LE(r.y + r.h, kDialogHeight) << id;
    }
}

TEST(ViewerView, LoopRouting) {
    const LoopKey f11{.keyDown = true, .virtualKey = kVkF11};
    const LoopKey f11Repeat{.keyDown = true, .virtualKey = kVkF11, .autoRepeat = true};
    const LoopKey esc{.keyDown = true, .virtualKey = kVkEscape};
    const LoopKey ctrlAltEsc{.keyDown = true, .virtualKey = kVkEscape, .ctrlDown = true, .altDown = true};
    const LoopKey ctrlEsc{.keyDown = true, .virtualKey = kVkEscape, .ctrlDown = true};
    const LoopKey f11Up{.keyDown = false, .virtualKey = kVkF11};
    const LoopKey tab{.keyDown = true, .virtualKey = 0x09};

    // F11 on a viewer button toggles once; holding it does not toggle again.
    EXPECT_EQ(routeLoopMessage(LoopTarget::Viewer, f11, false), LoopAction::ToggleFullscreen);
    EXPECT_EQ(routeLoopMessage(LoopTarget::Viewer, f11Repeat, false), LoopAction::Drop);
    EXPECT_EQ(routeLoopMessage(LoopTarget::Viewer, f11, true), LoopAction::ToggleFullscreen);
    EXPECT_EQ(routeLoopMessage(LoopTarget::Viewer, f11Up, true), LoopAction::ViewerDialogMessage);
    // Escape: ordinary dialog handling while windowed, leaves fullscreen, but not with Ctrl+Alt.
    EXPECT_EQ(routeLoopMessage(LoopTarget::Viewer, esc, false), LoopAction::ViewerDialogMessage);
    EXPECT_EQ(routeLoopMessage(LoopTarget::Viewer, esc, true), LoopAction::ToggleFullscreen);
    EXPECT_EQ(routeLoopMessage(LoopTarget::Viewer, ctrlAltEsc, true), LoopAction::ViewerDialogMessage);
    EXPECT_EQ(routeLoopMessage(LoopTarget::Viewer, ctrlEsc, true), LoopAction::ToggleFullscreen);
    // The surface gets every key unfiltered; the main window and the dialog do dialog navigation.
    EXPECT_EQ(routeLoopMessage(LoopTarget::Surface, f11, true), LoopAction::DispatchDirectly);
    EXPECT_EQ(routeLoopMessage(LoopTarget::Surface, tab, false), LoopAction::DispatchDirectly);
    EXPECT_EQ(routeLoopMessage(LoopTarget::Other, f11, false), LoopAction::MainDialogMessage);
    EXPECT_EQ(routeLoopMessage(LoopTarget::SettingsDialog, esc, true), LoopAction::SettingsDialogMessage);
}

}  // namespace
}  // namespace murel::ui
