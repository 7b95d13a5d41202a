// The interface's windows in-process under Wine, over a scripted Controller: failures inside
// window procedures, the account form, device rows and the list's scrolling, the viewer's input
// (keys, pointer, wheel, the keys the interface keeps), the stream settings dialog and the
// shutdown that waits for the worker.

#include "ui/win/Shell.hpp"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <gdiplus.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "input/InputMessage.hpp"
#include "ui/ControlIds.hpp"
#include "ui/DeviceList.hpp"
#include "ui/UiText.hpp"

namespace murel::win {
namespace {

using namespace std::chrono_literals;

class ScriptedController final : public ui::ControllerPort {
public:
    bool post(app::Command command) override {
        posted.push_back(command);
        return accept;
    }
    app::Status snapshot() const override {
        ++polls;
        if (failSnapshot) throw ProtocolError("Scripted snapshot failure");
        return status;
    }
    void requestStop() override { stopRequested = true; }
    bool workerStopped() const override {
        // The worker takes a few polls to finish its session and release what it holds.
        if (stopRequested && ++stopChecks > stopAfterChecks) stopped = true;
        return stopped;
    }

    std::vector<app::Command> ofKind(app::CommandKind kind) const {
        std::vector<app::Command> out;
        for (const app::Command& command : posted)
            if (command.kind == kind) out.push_back(command);
        return out;
    }

    app::Status status = ui::initialStatus();
    std::vector<app::Command> posted;
    bool accept = true;
    bool failSnapshot = false;
    bool stopRequested = false;
    int stopAfterChecks = 5;
    mutable int stopChecks = 0;
    mutable bool stopped = false;
    mutable int polls = 0;
};

void pumpOnce() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) continue;
        routeMessage(message);
    }
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pumpOnce();
        if (done()) return true;
        MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    pumpOnce();
    return done();
}

void pumpFor(std::chrono::milliseconds duration) {
    pumpUntil([] { return false; }, duration);
}

std::wstring w(std::string_view utf8) { return wide(utf8); }

HWND mainItem(int id) { return GetDlgItem(shell().main, id); }

void press(HWND button) { SendMessageW(button, BM_CLICK, 0, 0); }

void sendKey(WORD virtualKey, bool down) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    SendInput(1, &input, sizeof input);
}

void tapKey(WORD virtualKey) {
    sendKey(virtualKey, true);
    sendKey(virtualKey, false);
}

// Moves the pointer to a client point of the window (absolute, across the virtual screen).
void pointerTo(HWND window, int x, int y) {
    POINT point{x, y};
    ClientToScreen(window, &point);
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = MulDiv(point.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = MulDiv(point.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input, sizeof input);
}

void mouseButton(bool down) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
    SendInput(1, &input, sizeof input);
}

void wheel(int delta) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_WHEEL;
    input.mi.mouseData = static_cast<DWORD>(delta);
    SendInput(1, &input, sizeof input);
}

HostInfo host(std::string id, std::string name, bool online, bool ready, bool busy = false) {
    return HostInfo{std::move(id), std::move(name), "windows", online, ready, busy, online ? "Ready" : ""};
}

class Windows : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&gdiplus_, &input, nullptr), Gdiplus::Ok);
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&controls);
        shell().instance = GetModuleHandleW(nullptr);
        ASSERT_TRUE(registerWindowClasses(shell().instance));
    }
    static void TearDownTestSuite() { Gdiplus::GdiplusShutdown(gdiplus_); }

    void SetUp() override {
        Shell& s = shell();
        s.controller = &controller;
        s.errorSink = [this](const std::wstring& text) { failures.push_back(text); };
        ASSERT_NE(createMainWindow(), nullptr);
        ShowWindow(s.main, SW_SHOW);
        SetForegroundWindow(s.main);
        pumpFor(100ms);
    }

    void TearDown() override {
        Shell& s = shell();
        if (s.viewer) DestroyWindow(s.viewer);
        if (s.main) DestroyWindow(s.main);
        pumpOnce();
        s.controller = nullptr;
        s.errorSink = nullptr;
        s.status = ui::initialStatus();
        s.panel = {};
        s.panelLayout = {};
        s.dialogState = {};
        s.scroll = 0;
        s.fullscreen = false;
        s.forwarding = true;
        s.lineError = false;
        EXPECT_TRUE(failures.empty()) << "unexpected failure: " << narrow(failures.front());
        failures.clear();
    }

    // Publishes a new snapshot and waits until the interface has taken it.
    void publish(const app::Status& status) {
        controller.status = status;
        const int seen = controller.polls;
        ASSERT_TRUE(pumpUntil([&] { return controller.polls > seen + 1; }));
    }

    app::Status signedIn() {
        app::Status s = ui::initialStatus();
        s.signedIn = true;
        s.online = true;
        s.hostProfile = true;
        s.deviceId = "me";
        s.deviceName = "Wine PC";
        s.accountEmail = "me@example.com";
        return s;
    }

    // A session whose picture shows, in the rectangle (100, 50, 800, 450) of the surface.
    app::Status viewing() {
        app::Status s = signedIn();
        s.hosts = {host("h1", "Desk", true, true)};
        return s;
    }

    void openViewer() {
        publish(viewing());
        press(shell().rows.at(0).button);
        ASSERT_NE(shell().viewer, nullptr);
        app::Status s = viewing();
        s.completedOperations = 1;  // the connect has completed
        s.sessionActive = true;
        s.viewerInputActive = true;
        s.framesPresented = 1;
        s.videoRect = {100, 50, 800, 450};
        publish(s);
        controller.posted.clear();
        SetForegroundWindow(shell().viewer);
        SetFocus(shell().surface);
        pumpFor(50ms);
    }

    std::vector<app::Command> keyInputs() const {
        std::vector<app::Command> keys;
        for (const app::Command& command : controller.ofKind(app::CommandKind::Input))
            if (command.message.value("kind", "") == "key") keys.push_back(command);
        return keys;
    }

    ScriptedController controller;
    std::vector<std::wstring> failures;
    static inline ULONG_PTR gdiplus_ = 0;
};

TEST_F(Windows, AFailureInAWindowProcedureIsShownAndDoesNotCrossTheDispatch) {
    controller.failSnapshot = true;
    ASSERT_TRUE(pumpUntil([&] { return !failures.empty(); }));
    EXPECT_EQ(failures.front(), L"Scripted snapshot failure");
    // The window lives on and keeps polling once the failure is gone.
    controller.failSnapshot = false;
    failures.clear();
    app::Status s = signedIn();
    publish(s);
    EXPECT_TRUE(IsWindowVisible(mainItem(ui::kIdThisPcName)));
    EXPECT_TRUE(IsWindow(shell().main));
}

TEST_F(Windows, SignUpRefusesAnElevenBytePasswordAndSignInPostsIt) {
    SetWindowTextW(mainItem(ui::kIdServer), L"http://127.0.0.1:8480");
    SetWindowTextW(mainItem(ui::kIdEmail), L"me@example.com");
    SetWindowTextW(mainItem(ui::kIdPassword), L"elevenbytes");
    press(mainItem(ui::kIdToggleSignUp));
    EXPECT_EQ(buttonLabel(mainItem(ui::kIdSubmit)), w(ui::text::kCreateAccount));
    press(mainItem(ui::kIdSubmit));
    pumpFor(50ms);
    EXPECT_TRUE(controller.posted.empty());
    EXPECT_EQ(windowText(mainItem(ui::kIdLine)), w(ui::text::kPasswordLength));
    EXPECT_EQ(GetFocus(), mainItem(ui::kIdPassword));

    press(mainItem(ui::kIdToggleSignUp));
    press(mainItem(ui::kIdSubmit));
    ASSERT_EQ(controller.posted.size(), 1u);
    const app::Command& command = controller.posted[0];
    EXPECT_EQ(command.kind, app::CommandKind::SignIn);
    EXPECT_EQ(command.server, "http://127.0.0.1:8480");
    EXPECT_EQ(command.email, "me@example.com");
    EXPECT_EQ(command.password, "elevenbytes");
    EXPECT_EQ(command.deviceName, "Windows PC");
    EXPECT_TRUE(command.hostRole);
    EXPECT_EQ(windowText(mainItem(ui::kIdLine)), L"");

    // In flight: a second press posts nothing and the button says so.
    press(mainItem(ui::kIdSubmit));
    EXPECT_EQ(controller.posted.size(), 1u);
    EXPECT_EQ(buttonLabel(mainItem(ui::kIdSubmit)), w(ui::text::kConnecting));
    EXPECT_FALSE(IsWindowEnabled(mainItem(ui::kIdEmail)));
    app::Status done = ui::initialStatus();
    done.completedOperations = 1;
    done.error = "Invalid e-mail or password";
    publish(done);
    EXPECT_EQ(buttonLabel(mainItem(ui::kIdSubmit)), w(ui::text::kSignIn));
    EXPECT_EQ(windowText(mainItem(ui::kIdLine)), L"Invalid e-mail or password");
    EXPECT_TRUE(shell().lineError);
}

TEST_F(Windows, EnterPressesTheDefaultButtonOfTheScreen) {
    SetWindowTextW(mainItem(ui::kIdEmail), L"");
    SetFocus(mainItem(ui::kIdEmail));
    tapKey(VK_RETURN);
    ASSERT_TRUE(pumpUntil([] { return windowText(mainItem(ui::kIdLine)) == w(ui::text::kEnterEmail); }));
    press(mainItem(ui::kIdOpenSettings));
    EXPECT_EQ(GetFocus(), mainItem(ui::kIdServer));
    tapKey(VK_RETURN);  // 완료
    ASSERT_TRUE(pumpUntil([] { return IsWindowVisible(mainItem(ui::kIdEmail)) != FALSE; }));
    EXPECT_FALSE(IsWindowVisible(mainItem(ui::kIdServer)));
    EXPECT_TRUE(controller.posted.empty());
}

TEST_F(Windows, DeviceRowsKeepTheirAmpersandAndARefusedConnectLeavesNoViewer) {
    app::Status s = signedIn();
    s.hosts = {host("me", "Wine PC", true, false), host("h1", "Studio & Co", true, true),
               host("h2", "Attic", false, false)};
    publish(s);
    ASSERT_EQ(shell().rows.size(), 3u);
    const DeviceRowWindows& studio = shell().rows[1];
    EXPECT_EQ(windowText(studio.name), L"Studio & Co");
    EXPECT_NE(GetWindowLongPtrW(studio.name, GWL_STYLE) & SS_NOPREFIX, 0);
    EXPECT_EQ(windowText(studio.button), L"Studio & Co에 연결");
    EXPECT_EQ(buttonLabel(studio.button), w(ui::text::kConnect));
    EXPECT_TRUE(IsWindowEnabled(studio.button));
    EXPECT_FALSE(IsWindowEnabled(shell().rows[0].button));
    EXPECT_EQ(buttonLabel(shell().rows[0].button), w(ui::text::kThisDevice));
    EXPECT_EQ(windowText(shell().rows[0].state), L"호스트 꺼짐 · Windows · 이 기기");
    EXPECT_FALSE(IsWindowEnabled(shell().rows[2].button));
    EXPECT_EQ(windowText(shell().rows[2].detail), L"");

    // The same list again rebuilds nothing: the focused button keeps its focus.
    SetFocus(studio.button);
    const HWND before = studio.button;
    publish(s);
    EXPECT_EQ(shell().rows[1].button, before);
    EXPECT_EQ(GetFocus(), before);

    controller.accept = false;
    press(studio.button);
    ASSERT_EQ(controller.ofKind(app::CommandKind::Connect).size(), 1u);
    ASSERT_NE(shell().viewer, nullptr);
    EXPECT_FALSE(IsWindowVisible(shell().viewer));
    EXPECT_EQ(windowText(mainItem(ui::kIdLine)), w(ui::text::kPostRefused));

    controller.accept = true;
    controller.posted.clear();
    press(studio.button);
    const auto connects = controller.ofKind(app::CommandKind::Connect);
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].hostId, "h1");
    EXPECT_EQ(connects[0].surface, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(shell().surface)));
    EXPECT_TRUE(IsWindowVisible(shell().viewer));
    EXPECT_EQ(windowText(shell().viewer), L"Murel · Studio & Co");
}

TEST_F(Windows, TwentyRowsScrollByWheelAndByFocus) {
    // A client 681 units high gives the list 681 - 129 - 52 = 500 units.
    RECT frame{0, 0, 1120, 681};
    AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(shell().main, GWL_STYLE)), FALSE,
                             static_cast<DWORD>(GetWindowLongPtrW(shell().main, GWL_EXSTYLE)),
                             GetDpiForWindow(shell().main));
    SetWindowPos(shell().main, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    app::Status s = signedIn();
    for (int i = 0; i < 20; ++i) s.hosts.push_back(host("h" + std::to_string(i), "Host " + std::to_string(i), true, true));
    publish(s);
    ASSERT_EQ(GetDpiForWindow(shell().main), 96u) << "the window tests expect a 96 dpi prefix";
    RECT list{};
    GetClientRect(shell().hostList, &list);
    ASSERT_EQ(list.bottom, 500);

    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    GetScrollInfo(shell().hostList, SB_VERT, &info);
    EXPECT_EQ(info.nMin, 0);
    EXPECT_EQ(info.nMax, 2239);
    EXPECT_EQ(info.nPage, 500u);
    EXPECT_EQ(ui::maxScroll(20, 500), 1740);

    SendMessageW(shell().hostList, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)), 0);
    EXPECT_EQ(shell().scroll, 72);
    // Focus on the last button scrolls just far enough to show its card (the gap below it stays
    // out of view); the end of the list is 8 units further.
    SetFocus(shell().rows.back().button);
    pumpOnce();
    EXPECT_EQ(shell().scroll, 19 * 112 + 104 - 500);
    GetScrollInfo(shell().hostList, SB_VERT, &info);
    EXPECT_EQ(info.nPos, 19 * 112 + 104 - 500);
    SendMessageW(shell().hostList, WM_VSCROLL, SB_BOTTOM, 0);
    EXPECT_EQ(shell().scroll, 1740);
    // The last card's button is inside the list now.
    RECT button{};
    GetWindowRect(shell().rows.back().button, &button);
    MapWindowPoints(HWND_DESKTOP, shell().hostList, reinterpret_cast<POINT*>(&button), 2);
    EXPECT_GE(button.top, 0);
    EXPECT_LE(button.bottom, 500);
    SendMessageW(shell().hostList, WM_VSCROLL, SB_TOP, 0);
    EXPECT_EQ(shell().scroll, 0);
}

TEST_F(Windows, TheMainWindowCannotBeMadeSmallerThanItsMinimum) {
    SetWindowPos(shell().main, nullptr, 0, 0, 300, 200, SWP_NOMOVE | SWP_NOZORDER);
    MINMAXINFO info{};
    SendMessageW(shell().main, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    RECT frame{0, 0, ui::kMainMinWidth, ui::kMainMinHeight};
    AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(shell().main, GWL_STYLE)), FALSE,
                             static_cast<DWORD>(GetWindowLongPtrW(shell().main, GWL_EXSTYLE)), 96);
    EXPECT_EQ(info.ptMinTrackSize.x, frame.right - frame.left);
    EXPECT_EQ(info.ptMinTrackSize.y, frame.bottom - frame.top);
}

TEST_F(Windows, ClicksMapIntoThePictureAndLeavingItReleases) {
    openViewer();
    HWND surface = shell().surface;
    pointerTo(surface, 500, 275);
    mouseButton(true);
    mouseButton(false);
    ASSERT_TRUE(pumpUntil([&] { return controller.ofKind(app::CommandKind::Input).size() >= 2; }));
    std::vector<app::Command> buttons;
    for (const app::Command& command : controller.ofKind(app::CommandKind::Input))
        if (command.message.value("kind", "") == "button") buttons.push_back(command);
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].message["x"], 0.5);
    EXPECT_EQ(buttons[0].message["y"], 0.5);
    EXPECT_EQ(buttons[0].message["down"], true);
    EXPECT_EQ(buttons[1].message["down"], false);
    EXPECT_EQ(buttons[0].channel, kControlChannel);

    // A press outside the picture sends no button and releases everything.
    controller.posted.clear();
    pointerTo(surface, 901, 275);
    mouseButton(true);
    mouseButton(false);
    ASSERT_TRUE(pumpUntil([&] { return !controller.ofKind(app::CommandKind::ReleaseInput).empty(); }));
    for (const app::Command& command : controller.ofKind(app::CommandKind::Input))
        EXPECT_NE(command.message.value("kind", ""), "button");

    // Dragging out of the picture with the button held releases on the first move outside.
    controller.posted.clear();
    pointerTo(surface, 400, 200);
    mouseButton(true);
    ASSERT_TRUE(pumpUntil([] { return GetCapture() == shell().surface; }));
    pointerTo(surface, 950, 200);
    ASSERT_TRUE(pumpUntil([&] { return !controller.ofKind(app::CommandKind::ReleaseInput).empty(); }));
    EXPECT_NE(GetCapture(), surface);
    mouseButton(false);
    pumpFor(50ms);

    // One notch towards the user scrolls by -40.
    controller.posted.clear();
    pointerTo(surface, 500, 275);
    pumpFor(50ms);
    wheel(-WHEEL_DELTA);
    ASSERT_TRUE(pumpUntil([&] {
        for (const app::Command& command : controller.ofKind(app::CommandKind::Input))
            if (command.message.value("kind", "") == "scroll") return true;
        return false;
    }));
    for (const app::Command& command : controller.ofKind(app::CommandKind::Input)) {
        if (command.message.value("kind", "") == "scroll") {
            EXPECT_EQ(command.message["delta"], -40.0);
        }
    }
}

TEST_F(Windows, F11TogglesFullscreenOncePerPressWithoutReachingTheHost) {
    openViewer();
    RECT windowed{};
    GetWindowRect(shell().viewer, &windowed);
    // Held down on a viewer button: the auto-repeats do not toggle again.
    SetFocus(GetDlgItem(shell().viewer, ui::kIdFullscreen));
    sendKey(VK_F11, true);
    sendKey(VK_F11, true);
    sendKey(VK_F11, true);
    sendKey(VK_F11, false);
    ASSERT_TRUE(pumpUntil([] { return shell().fullscreen; }));
    pumpFor(200ms);
    EXPECT_TRUE(shell().fullscreen);
    EXPECT_EQ(buttonLabel(GetDlgItem(shell().viewer, ui::kIdFullscreen)), w(ui::text::kWindowed));
    EXPECT_EQ(windowText(GetDlgItem(shell().viewer, ui::kIdFullscreen)), w(ui::text::kWindowedTip));
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(shell().viewer, MONITOR_DEFAULTTONEAREST), &monitor);
    RECT full{};
    GetWindowRect(shell().viewer, &full);
    EXPECT_TRUE(EqualRect(&full, &monitor.rcMonitor));
    EXPECT_EQ(GetFocus(), shell().surface);
    EXPECT_TRUE(keyInputs().empty()) << "F11 reached the host";

    // On the surface: F11 again restores the window where it was.
    sendKey(VK_F11, true);
    sendKey(VK_F11, false);
    ASSERT_TRUE(pumpUntil([] { return !shell().fullscreen; }));
    pumpFor(100ms);
    RECT restored{};
    GetWindowRect(shell().viewer, &restored);
    EXPECT_TRUE(EqualRect(&restored, &windowed));
    EXPECT_TRUE(keyInputs().empty()) << "F11 reached the host";

    // Other keys on the surface are sent by their physical position.
    tapKey('A');
    ASSERT_TRUE(pumpUntil([&] { return keyInputs().size() == 2; }));
    EXPECT_EQ(keyInputs()[0].message["down"], true);
    EXPECT_EQ(keyInputs()[1].message["down"], false);
}

TEST_F(Windows, CtrlAltEscapeHandsTheKeyboardBackWithoutLeavingFullscreen) {
    openViewer();
    toggleFullscreen();
    pumpFor(50ms);
    SetFocus(shell().surface);
    controller.posted.clear();
    sendKey(VK_CONTROL, true);
    sendKey(VK_MENU, true);
    sendKey(VK_ESCAPE, true);
    sendKey(VK_ESCAPE, false);
    sendKey(VK_MENU, false);
    sendKey(VK_CONTROL, false);
    ASSERT_TRUE(pumpUntil([] { return GetFocus() == GetDlgItem(shell().viewer, ui::kIdForwarding); }));
    pumpFor(100ms);
    EXPECT_TRUE(shell().fullscreen);
    EXPECT_FALSE(controller.ofKind(app::CommandKind::ReleaseInput).empty());
    // Ctrl and Alt went down while the surface had the keyboard; nothing after Escape is sent.
    const auto escape = keyCodeForScan(0x01, false);
    ASSERT_TRUE(escape);
    for (const app::Command& key : keyInputs()) {
        EXPECT_EQ(key.message["down"], true);
        EXPECT_NE(key.message["code"], *escape);
    }
    EXPECT_LE(keyInputs().size(), 2u);
}

TEST_F(Windows, AltF4OnTheSurfaceClosesTheViewer) {
    openViewer();
    sendKey(VK_MENU, true);
    sendKey(VK_F4, true);
    sendKey(VK_F4, false);
    sendKey(VK_MENU, false);
    ASSERT_TRUE(pumpUntil([] { return !IsWindowVisible(shell().viewer); }));
    EXPECT_EQ(controller.ofKind(app::CommandKind::EndSession).size(), 1u);
    const auto f4 = keyCodeForScan(0x3E, false);
    ASSERT_TRUE(f4);
    for (const app::Command& key : keyInputs()) EXPECT_NE(key.message["code"], *f4) << "F4 reached the host";
    // The viewer is kept for the next connection.
    EXPECT_NE(shell().viewer, nullptr);
}

TEST_F(Windows, TheSettingsDialogOffersEveryModeOfALaptopHost) {
    openViewer();
    app::Status s = controller.status;
    s.hostStreamSettingsKnown = true;
    s.hostStreamModes = buildStreamModes(1366, 768, 60);
    publish(s);
    press(GetDlgItem(shell().viewer, ui::kIdViewerSettings));
    ASSERT_NE(shell().dialog, nullptr);
    HWND combo = GetDlgItem(shell().dialog, ui::kIdModeCombo);
    ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 7);
    wchar_t label[128] = {};
    SendMessageW(combo, CB_GETLBTEXT, 6, reinterpret_cast<LPARAM>(label));
    EXPECT_STREQ(label, L"1366 × 768 (Native) · 240 FPS");
    EXPECT_EQ(windowText(GetDlgItem(shell().dialog, ui::kIdNativeLine)), L"Native · 1366 × 768 · 60 Hz");
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(shell().dialog, ui::kIdApply)));

    SendMessageW(combo, CB_SETCURSEL, 6, 0);
    SendMessageW(shell().dialog, WM_COMMAND, MAKEWPARAM(ui::kIdModeCombo, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
    ASSERT_TRUE(IsWindowEnabled(GetDlgItem(shell().dialog, ui::kIdApply)));
    press(GetDlgItem(shell().dialog, ui::kIdApply));
    const auto applied = controller.ofKind(app::CommandKind::ApplyStreamSettings);
    ASSERT_EQ(applied.size(), 1u);
    ASSERT_TRUE(applied[0].streamConfiguration);
    EXPECT_EQ(applied[0].streamConfiguration->width, 1366);
    EXPECT_EQ(applied[0].streamConfiguration->height, 768);
    EXPECT_EQ(applied[0].streamConfiguration->fps, 240);
    EXPECT_TRUE(applied[0].streamConfiguration->hasHeight);
    EXPECT_EQ(windowText(GetDlgItem(shell().dialog, ui::kIdDialogMessage)), w(ui::text::kApplying));
    EXPECT_FALSE(IsWindowEnabled(combo));

    // Hosting a session: the viewer's settings button is off.
    press(GetDlgItem(shell().dialog, ui::kIdDialogClose));
    EXPECT_EQ(shell().dialog, nullptr);
    s.hostsActiveSession = true;
    publish(s);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(shell().viewer, ui::kIdViewerSettings)));
}

TEST_F(Windows, ClosingPumpsUntilTheWorkerHasStopped) {
    openViewer();
    PostMessageW(shell().main, WM_CLOSE, 0, 0);
    bool quit = false;
    int quitAfterChecks = -1;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!quit && std::chrono::steady_clock::now() < deadline) {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitAfterChecks = controller.stopChecks;
                break;
            }
            routeMessage(message);
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    ASSERT_TRUE(quit);
    EXPECT_TRUE(controller.stopRequested);
    EXPECT_TRUE(controller.stopped);
    EXPECT_GT(quitAfterChecks, controller.stopAfterChecks);
    EXPECT_FALSE(IsWindowVisible(shell().viewer));
    EXPECT_FALSE(IsWindowEnabled(shell().main));
    EXPECT_FALSE(controller.ofKind(app::CommandKind::ReleaseInput).empty());
    // Commands are ignored from now on.
    const std::size_t posted = controller.posted.size();
    press(mainItem(ui::kIdRefresh));
    EXPECT_EQ(controller.posted.size(), posted);
}

}  // namespace
}  // namespace murel::win
