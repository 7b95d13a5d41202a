#include "input/ViewerInputCapture.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "input/InputMessage.hpp"
#include "input/InputText.hpp"

namespace murel {
namespace {

constexpr std::uint32_t kNumLockScan = 0x45;

}  // namespace

LocalKey windowsKeyRole(std::uint32_t virtualKey) {
    switch (virtualKey) {
    case 0x1B:
        return LocalKey::Escape;
    case 0x73:
        return LocalKey::F4;
    case 0x7A:
        return LocalKey::F11;
    case 0x15:  // Kana / Hangul
    case 0x16:  // IME on
    case 0x1A:  // IME off
    case 0xE5:  // the input method is processing the key
        return LocalKey::InputMethod;
    default:
        break;
    }
    if (virtualKey == 0x20 || (virtualKey >= 0x30 && virtualKey <= 0x39) ||
        (virtualKey >= 0x41 && virtualKey <= 0x5A) || (virtualKey >= 0xBA && virtualKey <= 0xDF) ||
        virtualKey == 0xE2) {
        return LocalKey::Character;
    }
    return LocalKey::Other;
}

KeyEvent windowsKeyEvent(std::uint32_t virtualKey, std::uint32_t lParam, bool down, bool ctrlHeld,
                         bool altHeld, bool inputMethodNative) {
    KeyEvent key;
    key.scanCode = (lParam >> 16) & 0xFF;
    key.extended = (lParam >> 24) & 1;
    key.altContext = (lParam >> 29) & 1;
    key.repeat = down && ((lParam >> 30) & 1);
    key.down = down;
    key.ctrlHeld = ctrlHeld;
    key.altHeld = altHeld;
    key.inputMethodNative = inputMethodNative;
    key.role = windowsKeyRole(virtualKey);
    return key;
}

std::optional<int> keyCodeForKeyMessage(std::uint32_t scanCode, bool extended) {
    // Keyboard messages set the extended flag for Num Lock and report Pause with Num Lock's
    // plain scan code; the table holds Num Lock as the keyboard sends it (plain).
    if (scanCode == kNumLockScan) {
        if (!extended) return std::nullopt;
        return keyCodeForScan(kNumLockScan, false);
    }
    return keyCodeForScan(scanCode, extended);
}

std::optional<std::pair<double, double>> mapToFrame(double px, double py, const app::VideoRect& rect) {
    if (!std::isfinite(rect.x) || !std::isfinite(rect.y) || !std::isfinite(rect.w) ||
        !std::isfinite(rect.h) || !(rect.w > 0) || !(rect.h > 0) || !std::isfinite(px) ||
        !std::isfinite(py)) {
        return std::nullopt;
    }
    if (px < rect.x || py < rect.y || px > rect.x + rect.w || py > rect.y + rect.h) return std::nullopt;
    // The edges belong to the picture; rounding must not carry a point on them past 1.
    const double x = std::fmin((px - rect.x) / rect.w, 1.0);
    const double y = std::fmin((py - rect.y) / rect.h, 1.0);
    return std::make_pair(x, y);
}

ViewerInputCapture::ViewerInputCapture(ViewerInputPort& port, bool forwarding)
    : port_(port), forwarding_(forwarding) {}

void ViewerInputCapture::startViewing() { pointerSequence_ = 0; }

void ViewerInputCapture::sessionChanged(bool viewerInputActive, const app::VideoRect& videoRect) {
    viewerInputActive_ = viewerInputActive;
    videoRect_ = videoRect;
}

bool ViewerInputCapture::sending() {
    return forwarding_ && viewerInputActive_ && port_.surfaceHasFocus();
}

void ViewerInputCapture::postInput(Json message, int channel) {
    app::Command command(app::CommandKind::Input);
    command.message = std::move(message);
    command.channel = channel;
    port_.post(std::move(command));
}

void ViewerInputCapture::pointerMoved(double px, double py) {
    if (!sending()) {
        // Nothing can be forwarded any more, so a held button would keep the mouse captured
        // with nobody to release it.
        if (heldButtons_ != 0) releaseAll();
        return;
    }
    const auto point = mapToFrame(px, py, videoRect_);
    if (!point) {
        if (heldButtons_ != 0) releaseAll();
        return;
    }
    postInput(makeMoveInput(++pointerSequence_, point->first, point->second), kPointerChannel);
}

void ViewerInputCapture::buttonChanged(int button, bool down, double px, double py) {
    if (button < 0 || button > 2) return;
    if (down) port_.focusSurface();
    if (!sending()) {
        if (heldButtons_ != 0) releaseAll();
        return;
    }
    const auto point = mapToFrame(px, py, videoRect_);
    if (!point) {
        releaseAll();
        return;
    }
    const std::uint32_t bit = 1u << button;
    Json message = makeButtonInput(button, down, point->first, point->second, ++pointerSequence_);
    if (down) {
        heldButtons_ |= bit;
        port_.captureMouse();
    } else {
        heldButtons_ &= ~bit;
    }
    postInput(std::move(message), kControlChannel);
    if (!down && heldButtons_ == 0) port_.releaseMouse();
}

void ViewerInputCapture::wheelTurned(double px, double py, int wheelDelta) {
    if (!sending()) return;
    if (!mapToFrame(px, py, videoRect_)) return;
    postInput(makeScrollInput(wheelDelta * 40.0 / 120.0), kControlChannel);
}

void ViewerInputCapture::keyChanged(const KeyEvent& key) {
    if (key.down) {
        if (key.role == LocalKey::Escape && key.ctrlHeld && key.altHeld) {
            releaseAll();
            port_.focusForwardingToggle();
            return;
        }
        const bool escapeLeavesFullscreen = key.role == LocalKey::Escape && port_.isFullscreen();
        if (key.role == LocalKey::F11 || escapeLeavesFullscreen) {
            if (!key.repeat) {
                port_.toggleFullscreen();
                swallowedKeys_.insert(key.role);
            }
            return;
        }
    }
    if (swallowedKeys_.count(key.role) != 0) {
        if (!key.down) swallowedKeys_.erase(key.role);
        return;
    }
    if (key.role == LocalKey::InputMethod) return;
    if (key.role == LocalKey::F4 && key.altContext) {
        if (key.down) port_.closeViewer();
        return;
    }
    if (key.role == LocalKey::Character && key.inputMethodNative) return;
    if (!sending()) return;
    const auto code = keyCodeForKeyMessage(key.scanCode, key.extended);
    if (!code) return;
    postInput(makeKeyInput(*code, key.down), kControlChannel);
}

void ViewerInputCapture::textEntered(std::string_view utf8) {
    if (!sending()) return;
    for (std::string& piece : splitInputText(utf8)) {
        app::Command command(app::CommandKind::Input);
        command.message = makeTextInput(piece);
        command.channel = kControlChannel;
        // A refused piece ends the text: later pieces alone would type a garbled remainder.
        if (!port_.post(std::move(command))) break;
    }
}

void ViewerInputCapture::focusLost() {
    releaseAll();
    swallowedKeys_.clear();
}

void ViewerInputCapture::captureLost() {
    if (heldButtons_ != 0) releaseAll();
}

void ViewerInputCapture::forwardingToggled(bool checked) {
    releaseAll();
    forwarding_ = checked;
    port_.focusSurface();
}

void ViewerInputCapture::releaseAll() {
    heldButtons_ = 0;
    port_.post(app::Command(app::CommandKind::ReleaseInput));
    port_.releaseMouse();
}

}  // namespace murel
