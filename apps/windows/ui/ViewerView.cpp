#include "ui/ViewerView.hpp"

#include <algorithm>

#include "ui/ControlIds.hpp"
#include "ui/UiText.hpp"

namespace murel::ui {

ViewerLayout viewerLayout(int W, int H) {
    ViewerLayout l;
    l.status = {16, 12, std::max(W - 510, 0), 32};
    l.forwarding = {W - 482, 12, 110, 32};
    l.settings = {W - 362, 10, 108, 36};
    l.fullscreen = {W - 242, 10, 106, 36};
    l.close = {W - 124, 10, 108, 36};
    l.surface = {0, 58, W, std::max(H - 90, 0)};
    l.footer = {16, H - 28, std::max(W - 32, 0), 24};
    l.header = {0, 0, W, 58};
    l.footerBand = {0, H - 32, W, 32};
    return l;
}

std::string viewerStatusText(const app::Status& status) {
    return status.viewerInputActive ? std::string(text::kConnectedStatus) : status.message;
}

SurfaceWaitRects surfaceWaitRects(int W, int H) {
    return {{24, H / 2 - 24, W - 48, 40}, {24, H / 2 + 24, W - 48, 28}};
}

Rect dialogControlRect(int id) {
    switch (id) {
    case kIdDialogTitle: return {24, 20, 472, 36};
    case kIdNativeLine: return {24, 64, 472, 24};
    case kIdModeLabel: return {24, 108, 472, 24};
    case kIdModeCombo: return {24, 138, 472, 36};
    case kIdModeHint: return {24, 182, 472, 44};
    case kIdRequestedLine: return {24, 242, 472, 24};
    case kIdReceivedLine: return {24, 272, 472, 24};
    case kIdPresentedLine: return {24, 302, 472, 24};
    case kIdDialogMessage: return {24, 342, 472, 48};
    case kIdDialogClose: return {276, 408, 104, 36};
    case kIdApply: return {392, 408, 104, 36};
    default: return {};
    }
}

LoopAction routeLoopMessage(LoopTarget target, const LoopKey& key, bool fullscreen) {
    switch (target) {
    case LoopTarget::SettingsDialog: return LoopAction::SettingsDialogMessage;
    case LoopTarget::Surface: return LoopAction::DispatchDirectly;
    case LoopTarget::Viewer: {
        const bool fullscreenKey =
            key.keyDown && (key.virtualKey == kVkF11 ||
                            (key.virtualKey == kVkEscape && fullscreen && !(key.ctrlDown && key.altDown)));
        if (fullscreenKey) return key.autoRepeat ? LoopAction::Drop : LoopAction::ToggleFullscreen;
        return LoopAction::ViewerDialogMessage;
    }
    case LoopTarget::Other: return LoopAction::MainDialogMessage;
    }
    return LoopAction::MainDialogMessage;
}

}  // namespace murel::ui
