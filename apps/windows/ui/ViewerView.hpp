#pragma once
// The viewer window's layout and texts, the stream settings dialog's control rectangles, and the
// message loop's routing of keys between the windows. Sizes are 96-dpi units.

#include <string>

#include "app/Status.hpp"
#include "ui/Geometry.hpp"

namespace murel::ui {

inline constexpr int kViewerMinWidth = 680;
inline constexpr int kViewerMinHeight = 420;
inline constexpr int kViewerWidth = 1280;  // not scaled by DPI
inline constexpr int kViewerHeight = 810;
inline constexpr int kDialogWidth = 520;
inline constexpr int kDialogHeight = 460;

struct ViewerLayout {
    Rect status;
    Rect forwarding;  // 127
    Rect settings;    // 130
    Rect fullscreen;  // 128
    Rect close;       // 129
    Rect surface;
    Rect footer;
    Rect header;
    Rect footerBand;
};
ViewerLayout viewerLayout(int width, int height);

// The header's status text: "연결됨 · 원격 화면" while the picture shows and input may flow, else
// the Controller's status line.
std::string viewerStatusText(const app::Status& status);

// The surface's texts before the first presented frame.
struct SurfaceWaitRects {
    Rect title;
    Rect detail;
};
SurfaceWaitRects surfaceWaitRects(int width, int height);

// Rectangles of the stream settings dialog's controls, by id (131..140 and 2); the combo box's
// height is its closed height (its list drops 260 units further).
Rect dialogControlRect(int id);
inline constexpr int kComboDropHeight = 260;
inline constexpr int kComboItemHeight = 28;

// Virtual-key codes the routing looks at.
inline constexpr unsigned kVkEscape = 0x1B;
inline constexpr unsigned kVkF11 = 0x7A;

// Where the message loop sends one message.
enum class LoopTarget {
    SettingsDialog,  // the stream settings dialog or one of its children
    Surface,         // the remote video surface
    Viewer,          // the viewer window or one of its other children
    Other,           // the main window, its children, anything else
};
enum class LoopAction {
    SettingsDialogMessage,  // IsDialogMessage(dialog), else translate and dispatch
    DispatchDirectly,       // translate and dispatch, no dialog processing
    ToggleFullscreen,       // toggle, remember the key as swallowed, do not dispatch
    Drop,                   // an auto-repeated fullscreen key: nothing
    ViewerDialogMessage,    // IsDialogMessage(viewer), else translate and dispatch
    MainDialogMessage,      // IsDialogMessage(main window), else translate and dispatch
};
struct LoopKey {
    bool keyDown = false;  // WM_KEYDOWN exactly
    unsigned virtualKey = 0;
    bool autoRepeat = false;  // bit 30 of lParam
    bool ctrlDown = false;
    bool altDown = false;
};
LoopAction routeLoopMessage(LoopTarget target, const LoopKey& key, bool fullscreen);

}  // namespace murel::ui
