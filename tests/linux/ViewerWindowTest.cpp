// The viewer's X11 window on a private Xvfb display, driven by xdotool as its user: what it posts
// to the Controller for clicks, keys, text and the keys it keeps for itself, and how it closes.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.hpp"
#include "ViewerWindow.hpp"
#include "XProbe.hpp"
#include "XvfbDisplay.hpp"
#include "input/InputMessage.hpp"

namespace murel::test {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 320;
constexpr int kHeight = 180;

class ViewerWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ViewerWindowOptions options;
        options.display = display_.name();
        options.width = 4000;  // shrunk to the screen
        options.height = 4000;
        options.title = "Murel: test";
        ViewerWindowHandlers handlers;
        handlers.post = [this](app::Command command) {
            posted_.push_back(std::move(command));
            return true;
        };
        handlers.nextMode = [this] { ++modeRequests_; };
        window_ = makeX11ViewerWindow(options, std::move(handlers));
        const auto found = probe_.findWindow("murel", 10s);
        ASSERT_TRUE(found);
        ASSERT_EQ(*found, window_->surface()) << "the surface is the window's own id";
        pumpFor(200ms);

        // The session shows the picture over the whole window and takes input.
        app::Status status;
        status.viewerInputActive = true;
        status.framesPresented = 1;
        status.videoRect = {0, 0, kWidth, kHeight};
        window_->update(status);
    }

    void pumpFor(std::chrono::milliseconds time) {
        const auto end = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < end) window_->pump(20ms);
    }

    // Runs xdotool as the user at the display while the window handles what it causes (as a
    // running viewer does: a character xdotool types exists in the keymap only while it types it).
    void user(std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/xdotool");
        ChildProcess tool(args, {{"DISPLAY", display_.name()}});
        std::optional<int> status;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!(status = tool.waitExit(0ms)) && std::chrono::steady_clock::now() < deadline) window_->pump(5ms);
        ASSERT_EQ(status, 0) << tool.output();
        pumpFor(300ms);
    }

    // The Input messages posted since the last call, as their JSON text, and the release requests.
    std::vector<std::string> take() {
        std::vector<std::string> texts;
        for (const app::Command& command : posted_) {
            if (command.kind == app::CommandKind::ReleaseInput) {
                texts.push_back("release");
            } else if (command.kind == app::CommandKind::Input) {
                Json message = command.message;
                texts.push_back(std::to_string(command.channel) + " " + message.dump());
            }
        }
        posted_.clear();
        return texts;
    }

    static std::string input(const Json& message, int channel = 0) { return std::to_string(channel) + " " + message.dump(); }

    XvfbDisplay display_{kWidth, kHeight};
    XProbe probe_{display_.name()};
    std::vector<app::Command> posted_;
    int modeRequests_ = 0;
    std::unique_ptr<ViewerWindow> window_;
};

TEST_F(ViewerWindowTest, ClickFocusesAndKeysGoByTheirPlace) {
    user({"mousemove", "160", "90"});
    EXPECT_TRUE(take().empty()) << "no input before the window has the keyboard";

    user({"click", "1"});
    EXPECT_EQ(take(), (std::vector<std::string>{input(makeButtonInput(0, true, 0.5, 0.5, 1)),
                                                input(makeButtonInput(0, false, 0.5, 0.5, 2))}));

    user({"mousemove", "0", "0"});
    EXPECT_EQ(take(), (std::vector<std::string>{input(makeMoveInput(3, 0, 0), 1)}));

    user({"key", "a"});
    const int a = *keyCodeForScan(0x1E, false);
    EXPECT_EQ(take(), (std::vector<std::string>{input(makeKeyInput(a, true)), input(makeKeyInput(a, false))}));

    user({"click", "4"});
    EXPECT_EQ(take(), (std::vector<std::string>{input(makeScrollInput(40.0))})) << "one notch away from the user";
}

TEST_F(ViewerWindowTest, TextWithoutAKeyTravelsAsText) {
    user({"click", "1"});
    take();
    // é and 한: the layout has no key for either; bound to spare keycodes, which have no place on a
    // keyboard the host knows.
    probe_.bindKeysyms({0xE9, 0x100D55C});
    pumpFor(100ms);
    user({"type", "--delay", "100", "\xC3\xA9\xED\x95\x9C"});
    EXPECT_EQ(take(), (std::vector<std::string>{input(makeTextInput("\xC3\xA9")), input(makeTextInput("\xED\x95\x9C"))}));
}

TEST_F(ViewerWindowTest, KeysTheViewerKeeps) {
    user({"click", "1"});
    take();

    // Ctrl+Alt+M asks for the next stream mode; M itself never reaches the host.
    user({"key", "ctrl+alt+m"});
    EXPECT_EQ(modeRequests_, 1);
    const int m = *keyCodeForScan(0x32, false);
    for (const std::string& text : take()) {
        EXPECT_EQ(text.find("\"code\":" + std::to_string(m) + ","), std::string::npos) << text;
    }

    // Ctrl+Alt+Esc lets the keyboard go: a release, then keys stay here and M asks for a mode.
    user({"key", "ctrl+alt+Escape"});
    const auto released = take();
    EXPECT_NE(std::find(released.begin(), released.end(), "release"), released.end());
    user({"key", "b"});
    EXPECT_TRUE(take().empty()) << "the keyboard was released";
    user({"key", "m"});
    EXPECT_EQ(modeRequests_, 2);
    // A click takes it back.
    user({"click", "1"});
    take();
    user({"key", "b"});
    EXPECT_EQ(take().size(), 2u);

    // F11 fills the screen (no window manager here: the window is moved and sized itself); its
    // key never reaches the host; Escape in full screen leaves it.
    user({"key", "F11"});
    const auto fullscreen = take();
    for (const std::string& text : fullscreen) EXPECT_EQ(text, "release");
    user({"key", "Escape"});
    for (const std::string& text : take()) EXPECT_EQ(text, "release") << "Escape left full screen, unsent";
    user({"key", "Escape"});
    const int escape = *keyCodeForScan(0x01, false);
    EXPECT_EQ(take(), (std::vector<std::string>{input(makeKeyInput(escape, true)), input(makeKeyInput(escape, false))}))
        << "in a window Escape is sent like any key";

    EXPECT_FALSE(window_->closed());
    user({"key", "alt+F4"});
    EXPECT_TRUE(window_->closed()) << "Alt+F4 closes the viewer";
}

TEST_F(ViewerWindowTest, TheCloseBoxClosesIt) {
    EXPECT_FALSE(window_->closed());
    probe_.requestClose(window_->surface());
    pumpFor(300ms);
    EXPECT_TRUE(window_->closed());
    window_.reset();
    EXPECT_FALSE(probe_.exists(probe_.findWindow("murel", 0ms).value_or(0)));
}

TEST_F(ViewerWindowTest, LosingTheFocusReleasesEverything) {
    user({"click", "1"});
    user({"mousedown", "1"});
    take();
    // Another program takes the keyboard while the button is held.
    probe_.dropFocus();
    pumpFor(300ms);
    EXPECT_EQ(take(), (std::vector<std::string>{"release"})) << "focus lost with a button held";
    user({"mouseup", "1"});
    EXPECT_TRUE(take().empty()) << "without the keyboard the release of the button is not sent";
    user({"key", "b"});
    EXPECT_TRUE(take().empty());
}

}  // namespace
}  // namespace murel::test
