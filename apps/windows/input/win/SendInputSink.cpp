#include "input/win/SendInputSink.hpp"

#include <windows.h>

namespace murel::win {
namespace {

bool sendOne(INPUT& input) { return SendInput(1, &input, sizeof(INPUT)) == 1; }

bool sendMouse(LONG dx, LONG dy, DWORD data, DWORD flags) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = dx;
    input.mi.dy = dy;
    input.mi.mouseData = data;
    input.mi.dwFlags = flags;
    return sendOne(input);
}

bool sendKey(WORD scan, DWORD flags) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = 0;
    input.ki.wScan = scan;
    input.ki.dwFlags = flags;
    return sendOne(input);
}

bool typeUnit(WORD unit) {
    return sendKey(unit, KEYEVENTF_UNICODE) && sendKey(unit, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP);
}

}  // namespace

DesktopRect SendInputSink::virtualDesktop() {
    return {static_cast<double>(GetSystemMetrics(SM_XVIRTUALSCREEN)),
            static_cast<double>(GetSystemMetrics(SM_YVIRTUALSCREEN)),
            static_cast<double>(GetSystemMetrics(SM_CXVIRTUALSCREEN)),
            static_cast<double>(GetSystemMetrics(SM_CYVIRTUALSCREEN))};
}

bool SendInputSink::moveTo(std::int32_t ax, std::int32_t ay) {
    return sendMouse(ax, ay, 0, MOUSEEVENTF_MOVE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_ABSOLUTE);
}

bool SendInputSink::button(MouseButton button, bool down) {
    DWORD flags = 0;
    switch (button) {
    case MouseButton::Left:
        flags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
        break;
    case MouseButton::Right:
        flags = down ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_RIGHTUP;
        break;
    case MouseButton::Middle:
        flags = down ? MOUSEEVENTF_MIDDLEDOWN : MOUSEEVENTF_MIDDLEUP;
        break;
    default:
        return false;
    }
    return sendMouse(0, 0, 0, flags);
}

bool SendInputSink::key(ScanKey key, bool down) {
    DWORD flags = KEYEVENTF_SCANCODE;
    if (key.extended) flags |= KEYEVENTF_EXTENDEDKEY;
    if (!down) flags |= KEYEVENTF_KEYUP;
    return sendKey(key.scanCode, flags);
}

bool SendInputSink::wheel(std::int32_t amount) {
    // mouseData carries the signed amount in its DWORD.
    return sendMouse(0, 0, static_cast<DWORD>(amount), MOUSEEVENTF_WHEEL);
}

bool SendInputSink::character(char32_t codePoint) {
    if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return false;
    if (codePoint < 0x10000) return typeUnit(static_cast<WORD>(codePoint));
    const char32_t v = codePoint - 0x10000;
    return typeUnit(static_cast<WORD>(0xD800 + (v >> 10))) && typeUnit(static_cast<WORD>(0xDC00 + (v & 0x3FF)));
}

}  // namespace murel::win
