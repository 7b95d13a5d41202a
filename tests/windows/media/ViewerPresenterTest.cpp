// The flip-model presenter on a real Wine window and device, over a scripted swap chain whose back
// buffer is read back to check what was drawn.
#include "media/win/DxgiViewerPresenter.hpp"

#include <gtest/gtest.h>

#include "FakeSwapChain.hpp"
#include "MediaTestSupport.hpp"
#include "media/MediaError.hpp"
#include "media/win/D3D11Picture.hpp"

namespace murel::test {
namespace {

using win::DxgiViewerPresenter;

constexpr std::uint32_t kBlack = 0xFF000000;
constexpr std::uint32_t kFrameColour = 0xFF30A050;

// A borderless window whose client area is exactly the size asked for. One for all tests: making
// and destroying windows is slow under Wine.
class TestWindow {
public:
    static TestWindow& shared() {
        static TestWindow window(1000, 1000);
        return window;
    }
    // Visible, 1000 x 1000.
    void reset() {
        ShowWindow(window_, SW_SHOWNOACTIVATE);
        resize(1000, 1000);
    }

    TestWindow(int width, int height) {
        static const ATOM windowClass = [] {
            WNDCLASSW description{};
            description.lpfnWndProc = DefWindowProcW;
            description.hInstance = GetModuleHandleW(nullptr);
            description.lpszClassName = L"MurelPresenterTest";
            return RegisterClassW(&description);
        }();
        (void)windowClass;
        window_ = CreateWindowExW(0, L"MurelPresenterTest", L"presenter", WS_POPUP | WS_VISIBLE, 0, 0, width, height,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~TestWindow() { DestroyWindow(window_); }
    HWND handle() const { return window_; }
    void resize(int width, int height) {
        SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

private:
    HWND window_;
};

PictureHandle bgraPicture(UINT width, UINT height, std::uint32_t colour = kFrameColour) {
    return std::make_shared<win::D3D11Picture>(makeTexture(DXGI_FORMAT_B8G8R8A8_UNORM, width, height, 1,
                                                           D3D11_BIND_SHADER_RESOURCE, colour));
}

class ViewerPresenterTest : public ::testing::Test {
protected:
    std::unique_ptr<DxgiViewerPresenter> makePresenter() {
        return std::make_unique<DxgiViewerPresenter>(graphics, window.handle(),
                                                     ComRef<IDXGISwapChain1>::share(chain.get()));
    }
    // The back buffer's pixel at (x, y) of each point, read back once.
    std::vector<std::uint32_t> pixels(std::initializer_list<POINT> points) {
        const std::vector<std::uint32_t> all = readPixels(chain->backBuffer.get());
        D3D11_TEXTURE2D_DESC description{};
        chain->backBuffer->GetDesc(&description);
        std::vector<std::uint32_t> picked;
        for (const POINT& point : points) {
            picked.push_back(all.at(static_cast<std::size_t>(point.y) * description.Width + point.x));
        }
        return picked;
    }

    win::D3D11GraphicsDevice& graphics = sharedGraphicsDevice();
    void SetUp() override { window.reset(); }

    TestWindow& window = TestWindow::shared();
    ComRef<FakeSwapChain> chain = FakeSwapChain::make();
};

TEST_F(ViewerPresenterTest, ShaderTextIsTheBuiltInOne) {
    EXPECT_EQ(win::kViewerShaderText.size(), 371u);
    EXPECT_EQ(win::kViewerShaderText.front(), '\n');
    EXPECT_EQ(win::kViewerShaderText.substr(win::kViewerShaderText.size() - 3), "\n  ");
}

TEST_F(ViewerPresenterTest, CreationBoundsTheQueueAndFailsCleanly) {
    {
        auto presenter = makePresenter();  // compiles both shaders of the built-in text on Wine
        EXPECT_EQ(chain->maximumFrameLatency, 1u);
        EXPECT_EQ(presenter->destination(), FrameRect{});
    }
    // The waitable object belongs to the presenter and goes with it.
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(chain->handedOutWaitable, &flags));
    EXPECT_EQ(referencesOf(static_cast<IDXGISwapChain2*>(chain.get())), 1u);

    // A null waitable object is a COM failure, not the thread's stale Windows error.
    chain->nullWaitable = true;
    EXPECT_EQ(messageOf([&] { makePresenter(); }), "Get viewer frame availability failed (HRESULT 2147500037)");
    EXPECT_EQ(referencesOf(static_cast<IDXGISwapChain2*>(chain.get())), 1u) << "a failed presenter kept its chain";

    chain->nullWaitable = false;
    chain->exposePacing = false;
    EXPECT_EQ(messageOf([&] { makePresenter(); }), "Get viewer frame pacing failed (HRESULT 2147500034)");
    EXPECT_EQ(referencesOf(static_cast<IDXGISwapChain2*>(chain.get())), 1u);

    // Wine's own flip-model chain has no frame latency control either.
    EXPECT_EQ(messageOf([&] { DxgiViewerPresenter real(graphics, window.handle()); }),
              "Get viewer frame pacing failed (HRESULT 2147500034)");
}

TEST_F(ViewerPresenterTest, PictureIsLetterboxedOnBlack) {
    auto presenter = makePresenter();
    chain->frameDone();
    // 1920 x 1080 in shape, into 1000 x 1000.
    const PresentResult result = presenter->present(bgraPicture(192, 108));
    EXPECT_EQ(result, (PresentResult{PresentStatus::Presented, true}));
    EXPECT_EQ(presenter->destination(), (FrameRect{0, 218.75, 1000, 562.5}));
    ASSERT_EQ(chain->presentFlags.size(), 1u);
    EXPECT_EQ(chain->presentFlags.front(), static_cast<UINT>(DXGI_PRESENT_DO_NOT_WAIT));
    EXPECT_EQ(chain->presentIntervals.front(), 0u);
    EXPECT_EQ(chain->resizeFlags, static_cast<UINT>(DXGI_SWAP_CHAIN_FLAG_FRAME_LATENCY_WAITABLE_OBJECT));

    EXPECT_EQ(pixels({{500, 100}, {500, 210}, {500, 230}, {10, 500}, {990, 770}, {500, 790}}),
              (std::vector<std::uint32_t>{kBlack, kBlack, kFrameColour, kFrameColour, kFrameColour, kBlack}));
}

TEST_F(ViewerPresenterTest, BusyChainKeepsThePictureUnlessTheWindowChanged) {
    auto presenter = makePresenter();
    chain->frameDone();
    ASSERT_EQ(presenter->present(bgraPicture(192, 108)).status, PresentStatus::Presented);
    const FrameRect shown = presenter->destination();

    // Not ready and the same size: not consumed, the last picture's place stays in force.
    EXPECT_FALSE(presenter->present(bgraPicture(192, 108)).consumed);
    EXPECT_EQ(presenter->destination(), shown);
    EXPECT_EQ(chain->presentFlags.size(), 1u);

    // Not ready after a resize: consumed as not shown, nothing drawn.
    window.resize(800, 600);
    EXPECT_EQ(presenter->present(bgraPicture(192, 108)), (PresentResult{PresentStatus::NotShown, true}));
    EXPECT_EQ(presenter->destination(), FrameRect{});
    EXPECT_EQ(chain->presentFlags.size(), 1u);

    // Ready again: the buffers follow the window.
    chain->frameDone();
    EXPECT_EQ(presenter->present(bgraPicture(192, 108)).status, PresentStatus::Presented);
    EXPECT_EQ(presenter->destination(), (FrameRect{0, 75, 800, 450}));
    EXPECT_EQ(chain->resizes, 2);
}

TEST_F(ViewerPresenterTest, PresentResultsOfTheChain) {
    auto presenter = makePresenter();
    chain->frameDone();
    ASSERT_EQ(presenter->present(bgraPicture(192, 108)).status, PresentStatus::Presented);
    const FrameRect shown = presenter->destination();

    // Still drawing, same size: kept by the caller; readiness is not used up.
    chain->frameDone();
    chain->presentResults = {DXGI_ERROR_WAS_STILL_DRAWING, DXGI_STATUS_OCCLUDED, DXGI_STATUS_MODE_CHANGED,
                             DXGI_ERROR_DEVICE_REMOVED};
    EXPECT_FALSE(presenter->present(bgraPicture(100, 100)).consumed);
    EXPECT_EQ(presenter->destination(), shown);

    EXPECT_EQ(presenter->present(bgraPicture(100, 100)), (PresentResult{PresentStatus::Occluded, true}));
    EXPECT_EQ(presenter->destination(), FrameRect{});
    chain->frameDone();
    EXPECT_EQ(presenter->present(bgraPicture(100, 100)), (PresentResult{PresentStatus::NotShown, true}));
    EXPECT_EQ(presenter->destination(), FrameRect{});
    chain->frameDone();
    EXPECT_EQ(messageOf([&] { presenter->present(bgraPicture(100, 100)); }),
              "Present remote frame failed (HRESULT 2289696773)");

    // Still drawing after this very call resized the buffers: the old place means nothing now.
    window.resize(800, 600);
    chain->presentResults = {DXGI_ERROR_WAS_STILL_DRAWING};
    EXPECT_EQ(presenter->present(bgraPicture(100, 100)), (PresentResult{PresentStatus::NotShown, true}));
    EXPECT_EQ(presenter->destination(), FrameRect{});
}

TEST_F(ViewerPresenterTest, HiddenOrMinimisedWindowsConsumeWithoutDrawing) {
    auto presenter = makePresenter();
    chain->frameDone();
    // The states are set on the style directly: Wine without a window manager waits two seconds
    // for each minimise or hide to reach the X server.
    const LONG_PTR style = GetWindowLongPtrW(window.handle(), GWL_STYLE);
    SetWindowLongPtrW(window.handle(), GWL_STYLE, style | WS_MINIMIZE);
    ASSERT_TRUE(IsIconic(window.handle()));
    EXPECT_EQ(presenter->present(bgraPicture(64, 64)), (PresentResult{PresentStatus::NotShown, true}));
    presenter->presentEmpty();
    SetWindowLongPtrW(window.handle(), GWL_STYLE, style & ~static_cast<LONG_PTR>(WS_VISIBLE));
    ASSERT_FALSE(IsWindowVisible(window.handle()));
    EXPECT_EQ(presenter->present(bgraPicture(64, 64)), (PresentResult{PresentStatus::NotShown, true}));
    presenter->presentEmpty();
    SetWindowLongPtrW(window.handle(), GWL_STYLE, style);
    EXPECT_TRUE(chain->presentFlags.empty());
    EXPECT_EQ(messageOf([&] { presenter->present(nullptr); }), media_text::kPresentAbsent);
}

TEST_F(ViewerPresenterTest, OnlyOneSliceBgraPicturesArePresented) {
    auto presenter = makePresenter();
    chain->frameDone();
    auto nv12 = std::make_shared<win::D3D11Picture>(makeTexture(DXGI_FORMAT_NV12, 64, 64));
    auto array = std::make_shared<win::D3D11Picture>(
        makeTexture(DXGI_FORMAT_B8G8R8A8_UNORM, 64, 64, 2, D3D11_BIND_SHADER_RESOURCE));
    EXPECT_EQ(messageOf([&] { presenter->present(nv12); }), media_text::kPresentNeedsBgra);
    EXPECT_EQ(messageOf([&] { presenter->present(array); }), media_text::kPresentNeedsBgra);
    EXPECT_TRUE(chain->presentFlags.empty());
}

TEST_F(ViewerPresenterTest, EmptyPresentClearsToBlack) {
    auto presenter = makePresenter();
    chain->frameDone();
    ASSERT_EQ(presenter->present(bgraPicture(192, 108)).status, PresentStatus::Presented);
    EXPECT_EQ(pixels({{500, 500}}), std::vector<std::uint32_t>{kFrameColour});

    presenter->presentEmpty();  // busy: nothing happens
    EXPECT_EQ(chain->presentFlags.size(), 1u);
    chain->frameDone();
    presenter->presentEmpty();
    EXPECT_EQ(presenter->destination(), FrameRect{});
    ASSERT_EQ(chain->presentFlags.size(), 2u);
    EXPECT_EQ(chain->presentFlags.back(), static_cast<UINT>(DXGI_PRESENT_DO_NOT_WAIT));
    EXPECT_EQ(pixels({{500, 500}}), std::vector<std::uint32_t>{kBlack});

    chain->frameDone();
    chain->presentResults = {DXGI_ERROR_WAS_STILL_DRAWING, DXGI_ERROR_DEVICE_REMOVED};
    EXPECT_NO_THROW(presenter->presentEmpty());
    EXPECT_EQ(messageOf([&] { presenter->presentEmpty(); }), "Present empty viewer failed (HRESULT 2289696773)");
}

}  // namespace
}  // namespace murel::test
