// Host input through SendInput, run under Wine: the injector drives the SendInput sink and a
// top-level window of this process, covering the whole virtual desktop and in the foreground,
// reports what its window procedure receives.

#include "SinkBehaviour.hpp"
#include "input/win/SendInputSink.hpp"

#include <windows.h>
#include <windowsx.h>

namespace murel::test {
namespace {

class WindowsRig final : public InputRig {
public:
    WindowsRig() : window_(sharedWindow()) {
        // What earlier tests left in the queue is not for this one.
        pump();
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetForegroundWindow(window_);
        SetFocus(window_);
        // Until the window system has made it the foreground window, input goes elsewhere.
        waitUntil([this](const std::vector<Arrived>&) { return GetForegroundWindow() == window_ && GetFocus() == window_; },
                  std::chrono::seconds(10));
    }
    ~WindowsRig() override { SetWindowLongPtrW(window_, GWLP_USERDATA, 0); }

    std::shared_ptr<InputSink> sink() override { return sink_; }

    // The union of the monitors, found without GetSystemMetrics.
    DesktopRect screen() override {
        RECT all{0, 0, 0, 0};
        EnumDisplayMonitors(
            nullptr, nullptr,
            [](HMONITOR, HDC, LPRECT rect, LPARAM data) -> BOOL {
                RECT* u = reinterpret_cast<RECT*>(data);
                UnionRect(u, u, rect);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&all));
        return {static_cast<double>(all.left), static_cast<double>(all.top), static_cast<double>(all.right - all.left),
                static_cast<double>(all.bottom - all.top)};
    }

    bool waitUntil(const std::function<bool(const std::vector<Arrived>&)>& enough,
                   std::chrono::milliseconds timeout) override {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (true) {
            pump();
            if (enough(arrived_)) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<long long>(left.count(), 50)),
                                      QS_ALLINPUT);
        }
    }
    const std::vector<Arrived>& arrived() const override { return arrived_; }

private:
    static void pump() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    // One window for the whole run: destroying the foreground window costs Wine two seconds.
    static HWND sharedWindow() {
        static const HWND window = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = &WindowsRig::procedure;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"MurelInputTestWindow";
            wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
            if (!RegisterClassW(&wc)) throw std::runtime_error("RegisterClassW failed");
            const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
            const HWND created = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"murel input test",
                                                 WS_POPUP | WS_VISIBLE, x, y, GetSystemMetrics(SM_CXVIRTUALSCREEN),
                                                 GetSystemMetrics(SM_CYVIRTUALSCREEN), nullptr, nullptr,
                                                 wc.hInstance, nullptr);
            if (!created) throw std::runtime_error("CreateWindowExW failed");
            return created;
        }();
        return window;
    }

    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* rig = reinterpret_cast<WindowsRig*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (rig && rig->handle(message, wParam, lParam)) return 0;
        return DefWindowProcW(window, message, wParam, lParam);
    }

    void buttonAt(int button, bool down, LPARAM lParam) {
        POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ClientToScreen(window_, &p);
        arrived_.push_back(down ? Arrived::buttonDown(button, p.x, p.y) : Arrived::buttonUp(button, p.x, p.y));
    }

    bool handle(UINT message, WPARAM wParam, LPARAM lParam) {
        const auto bits = static_cast<std::uint32_t>(lParam);
        const ScanKey key{static_cast<std::uint16_t>((bits >> 16) & 0xFF), ((bits >> 24) & 1) != 0};
        switch (message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            packet_ = wParam == VK_PACKET;
            if (!packet_) arrived_.push_back(Arrived::keyDown(key));
            return true;
        case WM_KEYUP:
        case WM_SYSKEYUP:
            if (wParam != VK_PACKET) arrived_.push_back(Arrived::keyUp(key));
            return true;
        case WM_CHAR:
        case WM_SYSCHAR: {
            // Only text typed as characters counts; a key's own character is not typed text.
            if (!packet_) return true;
            const auto unit = static_cast<char32_t>(wParam & 0xFFFF);
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                highSurrogate_ = unit;
            } else if (unit >= 0xDC00 && unit <= 0xDFFF && highSurrogate_ != 0) {
                arrived_.push_back(Arrived::typed(0x10000 + ((highSurrogate_ - 0xD800) << 10) + (unit - 0xDC00)));
                highSurrogate_ = 0;
            } else {
                arrived_.push_back(Arrived::typed(unit));
            }
            return true;
        }
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
            buttonAt(0, message == WM_LBUTTONDOWN, lParam);
            return true;
        case WM_RBUTTONDOWN:
        case WM_RBUTTONUP:
            buttonAt(1, message == WM_RBUTTONDOWN, lParam);
            return true;
        case WM_MBUTTONDOWN:
        case WM_MBUTTONUP:
            buttonAt(2, message == WM_MBUTTONDOWN, lParam);
            return true;
        case WM_MOUSEWHEEL:
            wheel_.add(GET_WHEEL_DELTA_WPARAM(wParam), arrived_);
            return true;
        default:
            return false;
        }
    }

    HWND window_;
    std::shared_ptr<win::SendInputSink> sink_ = std::make_shared<win::SendInputSink>();
    std::vector<Arrived> arrived_;
    bool packet_ = false;
    char32_t highSurrogate_ = 0;
    NotchCounter wheel_;
};

struct SendInputBackend {
    static std::unique_ptr<InputRig> makeRig() { return std::make_unique<WindowsRig>(); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(SendInput, SinkBehaviour, SendInputBackend);

TEST(SendInputSink, VirtualDesktopComesFromTheSystemMetrics) {
    win::SendInputSink sink;
    const DesktopRect desktop = sink.virtualDesktop();
    EXPECT_EQ(desktop.x, GetSystemMetrics(SM_XVIRTUALSCREEN));
    EXPECT_EQ(desktop.y, GetSystemMetrics(SM_YVIRTUALSCREEN));
    EXPECT_EQ(desktop.width, GetSystemMetrics(SM_CXVIRTUALSCREEN));
    EXPECT_EQ(desktop.height, GetSystemMetrics(SM_CYVIRTUALSCREEN));
    // One monitor here: the virtual desktop is the primary screen.
    EXPECT_EQ(desktop.width, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(desktop.height, GetSystemMetrics(SM_CYSCREEN));
}

TEST(SendInputSink, TheRightHandKeysKeepTheirExtendedFlag) {
    WindowsRig rig;
    ASSERT_TRUE(rig.sink()->key({29, true}, true));   // right Ctrl
    ASSERT_TRUE(rig.sink()->key({29, true}, false));
    ASSERT_TRUE(rig.sink()->key({29, false}, true));  // left Ctrl
    ASSERT_TRUE(rig.sink()->key({29, false}, false));
    rig.waitUntil([](const std::vector<Arrived>& all) { return only(all, isKey).size() >= 4; }, std::chrono::seconds(10));
    EXPECT_EQ(only(rig.arrived(), isKey),
              (std::vector<Arrived>{Arrived::keyDown({29, true}), Arrived::keyUp({29, true}),
                                    Arrived::keyDown({29, false}), Arrived::keyUp({29, false})}));
}

TEST(SendInputSink, RefusesWhatIsNoCharacter) {
    win::SendInputSink sink;
    EXPECT_FALSE(sink.character(0xDC00));
    EXPECT_FALSE(sink.character(0x110000));
}

}  // namespace
}  // namespace murel::test
